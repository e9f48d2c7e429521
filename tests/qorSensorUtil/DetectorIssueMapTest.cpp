#include "qorSensorUtil/DetectorIssueMap.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/Process.h"
#include "support/TestUtil.h"

namespace {

// The rows are written by python's csv module, so the reader is checked
// against a real writer's quoting and its CR LF line ends.
const char kWriterScript[] = R"PY(
import csv, sys
blank = [""] * 6
rows = [
    ["2001", "Cmd_Exec", "a", "b", "c", "d", "e", "f", "Y", "n", "x"],
    ["7", "First, with a comma"] + blank + ["Yes", "Y", "", "", "42"],
    ["7", "Second seven"] + blank + ["N", "N", ""],
    ["8", 'Say "hello"'] + blank + ["y", "YES", ""],
    ["9", "two\nlines"] + blank + ["", "", "", "", "-5", "extra"],
    ["10", "ten fields only"] + blank + ["Y", "Y"],
    ["  -12", "Negative"] + blank + ["", "", ""],
    ["abc", "NoDigits"] + blank + ["", "", ""],
    ["13", "Cmd_Exec"] + blank + ["", "", ""],
]
with open(sys.argv[1], "w", newline="") as f:
    csv.writer(f).writerows(rows)
)PY";

class DetectorIssueMapTest : public ::testing::Test {
protected:
    std::string WriteWithPython() {
        std::string path = m_dir.File("issues.csv");
        auto python = plat::ChildProcess::Start("python3", {"python3", "-c", kWriterScript, path});
        EXPECT_NE(nullptr, python);
        if (python != nullptr) {
            EXPECT_TRUE(python->WaitForExit(120000));
            EXPECT_EQ(0, python->ExitStatus());
        }
        return path;
    }

    std::string WriteText(const std::string& name, const std::string& text) {
        std::string path = m_dir.File(name);
        hwtest::WriteWholeFile(path, text);
        return path;
    }

    hwtest::ScratchDirectory m_dir;
};

}  // namespace

TEST_F(DetectorIssueMapTest, LooksUpRecordsWrittenByPythonCsv) {
    DetectorIssueMap map;
    ASSERT_TRUE(map.LoadIssueFile(WriteWithPython()));
    EXPECT_EQ(8u, map.GetCount());

    EXPECT_EQ("Cmd_Exec", map.FindIssue(2001));
    EXPECT_EQ(2001, map.FindIssueId("Cmd_Exec"));
    DetectorIssue issue;
    ASSERT_TRUE(map.GetIssue(2001, issue));
    EXPECT_TRUE(issue.m_bFirstFlag);
    EXPECT_FALSE(issue.m_bSecondFlag);
    EXPECT_EQ(0, issue.m_nNumber);

    EXPECT_EQ("First, with a comma", map.FindIssue(7));
    EXPECT_EQ(7, map.FindIssueId("Second seven"));
    ASSERT_TRUE(map.GetIssue(7, issue));
    EXPECT_EQ(42, issue.m_nNumber);

    EXPECT_EQ("Say \"hello\"", map.FindIssue(8));
    ASSERT_TRUE(map.GetIssue(8, issue));
    EXPECT_FALSE(issue.m_bFirstFlag) << "a lower-case y is not yes";
    EXPECT_TRUE(issue.m_bSecondFlag);

    EXPECT_EQ("two\nlines", map.FindIssue(9));
    ASSERT_TRUE(map.GetIssue(9, issue));
    EXPECT_EQ(-5, issue.m_nNumber);

    EXPECT_EQ("", map.FindIssue(10)) << "a line of ten fields is skipped";
    EXPECT_EQ(-12, map.FindIssueId("Negative"));
    EXPECT_EQ(0, map.FindIssueId("NoDigits"));
    EXPECT_EQ("", map.FindIssue(404));
    EXPECT_EQ(-1, map.FindIssueId("cmd_exec"));
    EXPECT_EQ(-1, map.FindIssueId(""));
}

TEST_F(DetectorIssueMapTest, EmptyNameReloadsAndUnreadableFileKeepsTheOldRecords) {
    DetectorIssueMap map;
    EXPECT_EQ("issues.csv", map.GetFileName());
    std::string path = WriteText("named.csv", "5,Five,,,,,,,,,\n");
    ASSERT_TRUE(map.LoadIssueFile(path));
    WriteText("named.csv", "6,Six,,,,,,,,,\n");
    ASSERT_TRUE(map.LoadIssueFile(""));
    EXPECT_EQ("", map.FindIssue(5)) << "a reload replaces every record";
    EXPECT_EQ("Six", map.FindIssue(6));

    std::string missing = m_dir.File("missing.csv");
    EXPECT_FALSE(map.LoadIssueFile(missing));
    EXPECT_EQ("Six", map.FindIssue(6));
    EXPECT_EQ("DetectorIssueMap: " + missing + ": Failed to open file: " + missing, map.GetErrorText());
    EXPECT_FALSE(map.LoadIssueFile(WriteText("empty.csv", "")));
    EXPECT_TRUE(map.LoadIssueFile(WriteText("short.csv", "1,a,b,c,d,e,f,g,h,i\r\n2,b\r\n")));
    EXPECT_EQ(0u, map.GetCount());
}
