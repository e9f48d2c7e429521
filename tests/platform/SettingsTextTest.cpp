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
    bool OnSectionAt(const std::string& line, size_t lineNumber) override {
        sectionLines.push_back(lineNumber);
        return OnSection(line);
    }
    std::vector<size_t> sectionLines;
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

// The line a section stands on counts the title, the line ends inside
// texts and blank lines before it, whichever first line the reading skips.
TEST(SettingsText, SectionLinesAreNumberedAsTheFileShowsThem) {
    const std::string text = "Title\n[\\a\\];\nx\t=S\tone\ntwo;\n\n  [\\b\\];\n[\\c\\];\n";
    Recorder titled;
    plat::ReadSettingsText(text, plat::SettingsFirstLine::kHeaderUnlessSection, nullptr, titled);
    EXPECT_EQ((std::vector<size_t>{2, 6, 7}), titled.sectionLines);
    Recorder merged;
    plat::ReadSettingsText(text, plat::SettingsFirstLine::kSkip, nullptr, merged);
    EXPECT_EQ((std::vector<size_t>{2, 6, 7}), merged.sectionLines);
    Recorder untitled;
    plat::ReadSettingsText(text.substr(6), plat::SettingsFirstLine::kHeaderUnlessSection, nullptr, untitled);
    EXPECT_EQ((std::vector<size_t>{1, 5, 6}), untitled.sectionLines);
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
        // A text's lines hold anything: a script's own brackets, lines that
        // read like values or sections, carriage returns of its own.
        "[\\];\nScript\t=S\tif {$x} {\r\n[string trim $y]\r\nName\t=S\tz;;\r\n[\\a\\]\r\n};\n"
        "Next\t=L\t1;\n",
        // Any title, even one that reads like a value line.
        "Format=2;\n[\\];\n",
        "x\t=S\t1;\n[\\a\\];\n",
        "\xEF\xBB\xBFTitle\n[\\];\n",
    };
    for (const std::string& text : texts) {
        plat::SettingsTextProblem problem;
        EXPECT_TRUE(plat::CheckSettingsText(text, plat::SettingsFirstLine::kHeaderUnlessSection,
                                            problem))
            << plat::DescribeSettingsProblem(problem) << "\n" << text;
    }
    // A merge skips the first line: the title, or the root's own section
    // line, whose values then come first; an empty store has nothing more.
    for (const char* text : {"[\\stray\\];\n[\\];\nx\t=S\t1;\n", "[\\];\nx\t=S\t1;\n[\\a\\];\n",
                             "[\\];\n", "Format=2;\n[\\];\n"}) {
        plat::SettingsTextProblem problem;
        EXPECT_TRUE(plat::CheckSettingsText(text, plat::SettingsFirstLine::kSkip, problem))
            << plat::DescribeSettingsProblem(problem) << "\n" << text;
    }
}

TEST(SettingsTextCheck, DamagedTextsAreRefusedWithTheLineAtFault) {
    constexpr auto kLoad = plat::SettingsFirstLine::kHeaderUnlessSection;
    constexpr auto kMerge = plat::SettingsFirstLine::kSkip;
    const struct {
        std::string text;
        size_t line;
        const char* reason;
        plat::SettingsFirstLine mode = kLoad;
    } cases[] = {
        {"Title\n[\\];\nx\t=S\t1;\n[\\Advanced\\Ru", 4, "cut short"},
        {"[\\];\nName\t=S\tabc", 2, "cut short"},
        {"[\\a\\;\nx\t=S\t1;", 1, "not closed by \"]\""},
        {"[\\a\\[\\b\\];", 1, "second \"[\""},
        {"[\\];\nOn\t=B\t1\n[\\b\\];", 2, "\"On\" is not a number"},
        {"[\\];\nN\t=L\t12abc;", 2, "\"N\" is not a number"},
        // Cut at a line end: right after its ";", or between the carriage
        // return and the line feed that follow it.
        {"[\\];\nPath\t=S\t/x;\nNewestOnly\t=B\t0;", 3, "ends right after a \";\""},
        {"[\\];\nPath\t=S\t/x;\r", 2, "ends right after a \";\""},
        {"[\\];\nPath\t=S\ta;;", 2, "cut short"},
        {"[\\];\nstray\nx\t=S\t1;", 2, "line break inside a value's name"},
        {"[\\];\ngarbage;", 2, "has no \"=\""},
        {"[\\];\nx\t=Q\t1;", 2, "no type letter"},
        {"[\\];\nx\t=Sabc;", 2, "not followed by a tab"},
        {"[\\];\nx[1]\t=S\t1;", 2, "holds \"[\""},
        {"Title\nx\t=S\t1;\n[\\a\\];", 2, "before the first section"},
        {std::string("[\\];\nx\t=S\tab\0c;", 15), 2, "NUL"},
        {"\xEF\xBB\xBF[\\];", 1, "byte-order mark"},
        {"", 0, "is empty"},
        {"Host Warden default policy\n", 0, "nothing but its title line"},
        // A merge never reads the first line: a section there other than
        // the root's leaves the values that follow without one; a title
        // must be followed by a section line; the first line must be ended.
        {"[\\a\\];\nx\t=S\t1;\n", 2, "before the first section", kMerge},
        {"Title\nx\t=S\t1;\n[\\];\n", 2, "before the first section", kMerge},
        {"Title\n", 0, "nothing but its title line", kMerge},
        {"[\\];", 1, "first line is not ended", kMerge},
        {"[\\];\r", 1, "first line is not ended", kMerge},
        {"", 0, "is empty", kMerge},
        {"[\\];\nx\t=S\t1;\r", 2, "ends right after a \";\"", kMerge},
    };
    for (const auto& c : cases) {
        Refusal refusal = Refused(c.text, c.mode);
        EXPECT_EQ(c.line, refusal.m_nLine) << c.text;
        EXPECT_NE(std::string::npos, refusal.m_strReason.find(c.reason))
            << c.text << " -> " << refusal.m_strReason;
    }
}
