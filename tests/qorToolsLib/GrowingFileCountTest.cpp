// The count the flood tests poll an alert file with: it reads only what
// was added since its last count, and still finds every marker once,
// whether a writer's piece ends inside one or the reader's own chunk does.

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/NamespacedHost.h"
#include "support/TestUtil.h"

namespace {

void AppendBytes(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::app);
    file << bytes;
}

TEST(GrowingFileCountTest, MarkersSplitAcrossAppendsAndReadChunksAreEachCountedOnce) {
    hwtest::ScratchDirectory folder;
    const std::string path = folder.File("alerts.xml");
    hwtest::GrowingFileCount count(path, "</event>");
    EXPECT_EQ(0u, count.Count()) << "no file yet";

    AppendBytes(path, "<event>a</event><event>b</ev");
    EXPECT_EQ(1u, count.Count());
    AppendBytes(path, "ent>");
    EXPECT_EQ(2u, count.Count());
    AppendBytes(path, "</");
    EXPECT_EQ(2u, count.Count());
    AppendBytes(path, "event></event>");
    EXPECT_EQ(4u, count.Count());
    // Across the reader's own chunk of a mebibyte, read in one count.
    AppendBytes(path, std::string((1u << 20) - 3, 'x') + "</event>" + std::string((1u << 20) + 5, 'y') + "</event>");
    EXPECT_EQ(6u, count.Count());
    EXPECT_EQ(6u, count.Count()) << "nothing added";
    EXPECT_EQ(hwtest::CountOf(hwtest::ReadWholeFile(path), "</event>"), count.Count());
    EXPECT_FALSE(count.Shrunk());
}

TEST(GrowingFileCountTest, AFileCutShorterThanWhatWasReadIsSaidAndNotCountedAgain) {
    hwtest::ScratchDirectory folder;
    const std::string path = folder.File("alerts.xml");
    hwtest::GrowingFileCount count(path, "</event>");
    AppendBytes(path, "<event></event><event></event>");
    EXPECT_EQ(2u, count.Count());
    hwtest::WriteWholeFile(path, "<event></event>");
    EXPECT_EQ(2u, count.Count());
    EXPECT_TRUE(count.Shrunk());
}

}  // namespace

// What a test reads of an alert file the host is still writing: its whole
// documents only, whatever part of the last write it sees.
TEST(WholeAlertDocumentsTest, ADocumentStillBeingWrittenIsLeftOutUntilItIsWhole) {
    const std::string first = "<event id='1'>\n<param name='User' type='string' value='alice' />\n</event>\n";
    const std::string second = "<event id='2'>\n<param name='Request' type='string' value='qqqq' />\n</event>\n";
    EXPECT_EQ("", hwtest::WholeAlertDocuments(""));
    EXPECT_EQ(first, hwtest::WholeAlertDocuments(first));
    for (size_t cut = 0; cut < second.size(); ++cut) {
        EXPECT_EQ(first, hwtest::WholeAlertDocuments(first + second.substr(0, cut))) << cut;
    }
    EXPECT_EQ(first + second, hwtest::WholeAlertDocuments(first + second));
    EXPECT_EQ("", hwtest::WholeAlertDocuments(second.substr(0, 20)));
}
