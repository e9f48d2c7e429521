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
    EXPECT_EQ(250, plat::ParseSettingsLong("0XfA"));
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

TEST(SettingsText, HandlerCanEndTheReading) {
    Recorder recorder;
    plat::ReadSettingsText("skipped\n[stop];\nx\t=S\t1;", plat::SettingsFirstLine::kSkip, nullptr,
                           recorder);
    EXPECT_EQ((std::vector<std::string>{"S:[stop]"}), recorder.seen);
}

TEST(SettingsText, BracketInsideAValueLineKeepsItAValue) {
    Recorder recorder;
    plat::ReadSettingsText("[\\];\nx\t=S\tsee [1];", plat::SettingsFirstLine::kSkip, nullptr,
                           recorder);
    EXPECT_EQ((std::vector<std::string>{"V:x\t=S\tsee [1]"}), recorder.seen);
}

TEST(SettingsText, DiskTextDoublesOnlyLineFeedsAndStripsOnlyPairs) {
    std::string disk;
    plat::AppendDiskText(disk, "a\nb\r\rc\n");
    EXPECT_EQ("a\r\nb\r\rc\r\n", disk);
    std::string back = "a\r\nb\r\r\nc\rd\n";
    plat::StripDiskText(back);
    EXPECT_EQ("a\nb\r\nc\rd\n", back);
}
