#include "HostStatusFile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TestUtil.h"

// The newest record follows what runs: its engines, state and later
// findings are rewritten in place, older records and the command's own
// fields stay, and a file removed by hand gets the record back.
TEST(HostStatusFile, NewestRecordIsRewrittenInPlace) {
    hwtest::ScratchDirectory root;
    HostStatusFile status(root.Path());
    const std::vector<std::string> none;
    ASSERT_FALSE(status.UpdateNewest({"E: 1 rule"}, "running", none));
    ASSERT_TRUE(status.Record("start-up", 1, 10, "accepted", none, {"E: 1 rule"}, "running", none));
    ASSERT_TRUE(status.Record("reload", 2, 20, "refused", {"ERROR: bad"}, {"E: 1 rule"}, "running",
                              none));
    ASSERT_TRUE(status.UpdateNewest({"E: 1 rule; paused: port 23", "x\ty\\z"}, "paused",
                                    {"ERROR: port 23 in use"}));

    std::vector<HostStatusRecord> records = status.Read();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("running", records[0].m_strState);
    EXPECT_TRUE(records[0].m_later.empty());
    const HostStatusRecord& newest = records[1];
    EXPECT_EQ(2u, newest.m_qwSequence);
    EXPECT_EQ("refused", newest.m_strText);
    EXPECT_EQ(std::vector<std::string>{"ERROR: bad"}, newest.m_findings);
    EXPECT_EQ((std::vector<std::string>{"E: 1 rule; paused: port 23", "x\ty\\z"}), newest.m_engines);
    EXPECT_EQ("paused", newest.m_strState);
    EXPECT_EQ(std::vector<std::string>{"ERROR: port 23 in use"}, newest.m_later);

    std::filesystem::remove(root.File(HostStatusFile::kFileName));
    ASSERT_TRUE(status.UpdateNewest({"E: 1 rule"}, "stopped", none));
    records = status.Read();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ(2u, records[0].m_qwSequence);
    EXPECT_EQ("stopped", records[0].m_strState);
}

// Records written before the later findings had a column still read.
TEST(HostStatusFile, RecordsOfOlderHostsStillRead) {
    hwtest::ScratchDirectory root;
    hwtest::WriteWholeFile(root.File(HostStatusFile::kFileName),
                           "1\tstart-up\t1\t5\t-\t-\t-\t-\taccepted\n"
                           "2\treload\t1\t6\t-\t-\t-\t-\taccepted\tWARNING: w\tE: 2 rules\trunning\n");
    std::vector<HostStatusRecord> records = HostStatusFile(root.Path()).Read();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("running", records[1].m_strState);
    EXPECT_EQ(std::vector<std::string>{"WARNING: w"}, records[1].m_findings);
    EXPECT_TRUE(records[1].m_later.empty());
}

// A record that cannot be written (here a folder where the file is made
// first) is kept and written at the first try a second after: the reason
// is given once for failures in a row, and their end is told once.
TEST(HostStatusFile, RecordThatCannotBeWrittenIsWrittenAgainOnceItCanBe) {
    hwtest::ScratchDirectory root;
    HostStatusFile status(root.Path());
    const std::vector<std::string> none;
    const std::string temporary = root.File(std::string(HostStatusFile::kFileName) + ".new");
    std::filesystem::create_directory(temporary);
    std::string problem;
    EXPECT_FALSE(status.Record("reload", 1, 10, "accepted", none, {"E: 1 rule"}, "running", none, &problem));
    EXPECT_NE("", problem);
    const auto now = std::chrono::steady_clock::now();
    EXPECT_FALSE(status.RewriteDue(now));
    EXPECT_TRUE(status.RewriteDue(now + HostStatusFile::kRetryInterval + std::chrono::milliseconds(10)));
    EXPECT_FALSE(status.UpdateNewest({"E: 1 rule"}, "paused", none, &problem));
    EXPECT_EQ("", problem) << "said once";
    EXPECT_FALSE(status.WrittenAgain());

    std::filesystem::remove(temporary);
    ASSERT_TRUE(status.UpdateNewest({"E: 1 rule"}, "paused", none, &problem));
    EXPECT_TRUE(status.WrittenAgain());
    EXPECT_FALSE(status.WrittenAgain());
    EXPECT_FALSE(status.RewriteDue(now + std::chrono::hours(1)));
    const std::vector<HostStatusRecord> records = status.Read();
    ASSERT_EQ(1u, records.size());
    EXPECT_EQ("reload", records[0].m_strCommand);
    EXPECT_EQ("paused", records[0].m_strState);
}

// A bound is a later finding with the count it had when first reached; the
// record keeps the count its line has now, for the sensor's bounds and the
// host's alike, and leaves every other finding as it is, what a bound left
// out during a load included.
TEST(HostStatusFile, LaterFindingOfABoundKeepsItsCurrentCount) {
    const std::vector<std::string> later = {
        "WARNING: Bound reached: log group Web (/srv/*.log): at most 512 files followed; 1 file left out "
        "(said again at most once a minute while it lasts)",
        "WARNING: Bound reached: correlation rule R: at most 1024 hits; kept; 3 hit values left out (said "
        "again at most once a minute while it lasts)",
        "ERROR: Decoy rule D: TCP port 23 is not watched: in use",
        "WARNING: Bound reached: log group Web (/srv/*.log): at most 512 files followed; 5 files left out during "
        "the reload"};
    const std::vector<std::string> engines = {
        "Text Log Monitor: 1 rule; log group Web",
        "Bound reached: log group Web (/srv/*.log): at most 512 files followed; 188 files left out",
        "Bound reached: correlation rule R: at most 1024 hits; kept; 4097 hit values left out"};
    const std::vector<std::string> bounds = HostStatusFile::BoundLines(engines);
    EXPECT_EQ(2u, bounds.size());
    EXPECT_EQ((std::vector<std::string>{
                  "WARNING: Bound reached: log group Web (/srv/*.log): at most 512 files followed; 188 files "
                  "left out (said again at most once a minute while it lasts)",
                  "WARNING: Bound reached: correlation rule R: at most 1024 hits; kept; 4097 hit values left "
                  "out (said again at most once a minute while it lasts)",
                  "ERROR: Decoy rule D: TCP port 23 is not watched: in use",
                  "WARNING: Bound reached: log group Web (/srv/*.log): at most 512 files followed; 5 files left out "
                  "during the reload"}),
              HostStatusFile::WithCurrentCounts(later, bounds));

    hwtest::ScratchDirectory root;
    HostStatusFile status(root.Path());
    ASSERT_TRUE(status.Record("start-up", 1, 10, "accepted", {}, engines, "running", later, nullptr, bounds));
    EXPECT_EQ(HostStatusFile::WithCurrentCounts(later, bounds), status.Read().back().m_later);
}
