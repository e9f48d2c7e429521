#include "platform/SettingsText.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> LogicalLines(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> lines;
    std::string line;
    while (plat::ReadSettingsLine(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

class Recorder : public plat::SettingsTextHandler {
public:
    bool OnSection(const std::string& line) override {
        seen.push_back("S:" + line);
        return line != "[stop]";
    }
    void OnValueLine(const std::string& line) override { seen.push_back("V:" + line); }
    std::vector<std::string> seen;
};

}  // namespace

TEST(SettingsText, DoubledSemicolonIsOneCharacterAndSingleEndsTheLine) {
    EXPECT_EQ((std::vector<std::string>{"a;b", "\nc;", "\nd"}), LogicalLines("a;;b;\nc;;;\nd"));
    EXPECT_EQ((std::vector<std::string>{";"}), LogicalLines(";;;"));
    EXPECT_EQ((std::vector<std::string>{"", "x"}), LogicalLines(";x;"));
    EXPECT_TRUE(LogicalLines("").empty());
}

TEST(SettingsText, ValueLineSplitTrimsEverythingButTheKeyValue) {
    std::string name, text;
    char letter = 0;
    ASSERT_TRUE(plat::SplitSettingsValueLine("\n  Timeout \t=L\t 30 \r", name, letter, text));
    EXPECT_EQ("Timeout", name);
    EXPECT_EQ('L', letter);
    EXPECT_EQ("30", text);
    ASSERT_TRUE(plat::SplitSettingsValueLine("\nkey\t=S\tabc ", name, letter, text));
    EXPECT_EQ("\tabc ", text);
    ASSERT_TRUE(plat::SplitSettingsValueLine("x=", name, letter, text));
    EXPECT_EQ('\0', letter);
    EXPECT_EQ("", text);
}

TEST(SettingsText, LongValuesFollowTheirBaseAndSaturate) {
    EXPECT_EQ(250, plat::ParseSettingsLong("0xFA"));
    EXPECT_EQ(8, plat::ParseSettingsLong("010"));
    EXPECT_EQ(-12, plat::ParseSettingsLong("  -12abc"));
    EXPECT_EQ(0, plat::ParseSettingsLong("none"));
    EXPECT_EQ(INT32_MAX, plat::ParseSettingsLong("99999999999999999999999"));
    EXPECT_EQ(INT32_MIN, plat::ParseSettingsLong("-3000000000"));
    EXPECT_FALSE(plat::ParseSettingsBool("true"));
    EXPECT_TRUE(plat::ParseSettingsBool(" 2"));
    EXPECT_FALSE(plat::ParseSettingsBool("0x1"));
}

TEST(SettingsText, HeaderIsTakenOnlyWhenTheFirstLineHasNoBracket) {
    Recorder withHeader;
    std::string header = "old";
    plat::ReadSettingsText("Title\n[\\a\\];\nx\t=S\t1;", plat::SettingsFirstLine::kHeaderUnlessSection,
                           &header, withHeader);
    EXPECT_EQ("Title", header);
    EXPECT_EQ((std::vector<std::string>{"S:[\\a\\]", "V:\nx\t=S\t1"}), withHeader.seen);

    Recorder sectionFirst;
    plat::ReadSettingsText("[\\a\\];\nx\t=S\t1;", plat::SettingsFirstLine::kHeaderUnlessSection,
                           &header, sectionFirst);
    EXPECT_EQ("", header);
    EXPECT_EQ("S:[\\a\\]", sectionFirst.seen.front());
}

TEST(SettingsText, BracketInsideAValueKeepsItAValueAndTheHandlerCanEndTheReading) {
    Recorder recorder;
    plat::ReadSettingsText("[\\];\nx\t=S\tsee [1];\n[stop];\ny\t=S\t1;", plat::SettingsFirstLine::kSkip,
                           nullptr, recorder);
    EXPECT_EQ((std::vector<std::string>{"V:x\t=S\tsee [1]", "S:[stop]"}), recorder.seen);
}

TEST(SettingsText, DiskTextDoublesOnlyLineFeedsAndStripsOnlyPairs) {
    std::string disk;
    plat::AppendDiskText(disk, "a\nb\r\rc\n");
    EXPECT_EQ("a\r\nb\r\rc\r\n", disk);
    std::string back = "a\r\nb\r\r\nc\rd\n";
    plat::StripDiskText(back);
    EXPECT_EQ("a\nb\r\nc\rd\n", back);
}

namespace {

struct Refusal {
    size_t m_nLine;
    std::string m_strReason;
};

Refusal Refused(const std::string& text,
                plat::SettingsFirstLine mode = plat::SettingsFirstLine::kHeaderUnlessSection) {
    plat::SettingsTextProblem problem;
    if (plat::CheckSettingsText(text, mode, problem)) {
        return {0, "<accepted>"};
    }
    return {problem.m_nLine, problem.m_strReason};
}

}  // namespace

TEST(SettingsTextCheck, WholeTextsAsTheWriterMakesThemPass) {
    const std::string texts[] = {
        // Title, root, values of every letter, a doubled ";", an empty text.
        "Title\n[\\];\n[\\a\\];\nName\t=S\tx;;y;\nN\t=L\t-12;\nH\t=L\t0x1F;\nOn\t=B\t1;\n"
        "Ptr\t=P\t0x1234;\nEmpty\t=S\t;\n",
        // No title, blank lines, no final line feed, white space at the end.
        "[\\];\n\n[\\a b\\];\n  x\t=S\tsee [1];\n\n  ",
        // A long binary text goes on with a tab; a plain text may span lines.
        "[\\];\nBlob\t=S\tabcdef\n\tghijkl\n\tmn;\nMulti\t=S\tline one\nline two;\n",
        // "key" keeps the tab after its letter.
        "[\\];\nkey\t=S\t\tV7qM;\nkey\t=L\t 30;\n",
    };
    for (const std::string& text : texts) {
        plat::SettingsTextProblem problem;
        EXPECT_TRUE(plat::CheckSettingsText(text, plat::SettingsFirstLine::kHeaderUnlessSection,
                                            problem))
            << plat::DescribeSettingsProblem(problem) << "\n" << text;
    }
    plat::SettingsTextProblem problem;
    EXPECT_TRUE(plat::CheckSettingsText("[\\stray\\];\n[\\];\nx\t=S\t1;",
                                        plat::SettingsFirstLine::kSkip, problem));
}

TEST(SettingsTextCheck, DamagedTextsAreRefusedWithTheLineAtFault) {
    const struct {
        std::string text;
        size_t line;
        const char* reason;
    } cases[] = {
        {"Title\n[\\];\nx\t=S\t1;\n[\\Advanced\\Ru", 4, "cut short"},
        {"[\\];\nName\t=S\tabc", 2, "cut short"},
        {"[\\a\\;\nx\t=S\t1;", 1, "not closed by \"]\""},
        {"[\\a\\[\\b\\];", 1, "second \"[\""},
        {"[\\];\nOn\t=B\t1\n[\\b\\];", 2, "\"On\" is not a number"},
        {"[\\];\nN\t=L\t12abc;", 2, "\"N\" is not a number"},
        {"[\\];\nPath\t=S\t/x\nNewestOnly\t=B\t0;", 2, "\"Path\" runs on into the next line"},
        {"[\\];\nPath\t=S\t/x\n\tNewestOnly\t=B\t0;", 2, "runs on into the next line"},
        {"[\\];\nstray\nx\t=S\t1;", 2, "line break inside a value's name"},
        {"[\\];\ngarbage;", 2, "has no \"=\""},
        {"[\\];\nx\t=Q\t1;", 2, "no type letter"},
        {"[\\];\nx\t=Sabc;", 2, "not followed by a tab"},
        {"[\\];\nx[1]\t=S\t1;", 2, "holds \"[\""},
        {"Title\nx\t=S\t1;\n[\\a\\];", 2, "before the first section"},
        {"x\t=S\t1;\n[\\a\\];", 1, "read as the file's title"},
        {std::string("[\\];\nx\t=S\tab\0c;", 15), 2, "NUL"},
        {"\xEF\xBB\xBF[\\];", 1, "byte-order mark"},
        {"", 0, "is empty"},
        {"Host Warden default policy\n", 0, "nothing but its title line"},
    };
    for (const auto& c : cases) {
        Refusal refusal = Refused(c.text);
        EXPECT_EQ(c.line, refusal.m_nLine) << c.text;
        EXPECT_NE(std::string::npos, refusal.m_strReason.find(c.reason))
            << c.text << " -> " << refusal.m_strReason;
    }
    // A merge never reads the first line: a section there leaves the values
    // that follow without one.
    EXPECT_EQ(2u, Refused("[\\a\\];\nx\t=S\t1;", plat::SettingsFirstLine::kSkip).m_nLine);
}
