#include "HostStatusFile.h"

#include <gtest/gtest.h>

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
