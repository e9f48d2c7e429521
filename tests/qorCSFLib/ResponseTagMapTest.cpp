#include "qorCSFLib/ResponseTagMap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Process.h"
#include "support/Watchdog.h"

namespace {

std::string Replace(const ResponseTagMap& tags, const char* pszTemplate) {
    std::string out;
    ReplaceResponseTags(tags, pszTemplate, out);
    return out;
}

std::string Line(const ResponseTagMap& tags, const char* pszTemplate) {
    std::string out;
    BuildParameterLine(tags, pszTemplate, out);
    return out;
}

}  // namespace

TEST(ReplaceResponseTags, EmptyValueShowsNotAvailableAndUnregisteredTagStays) {
    ResponseTagMap tags{{"<AlertName>", ""}, {"<Action>", "LOG"}};
    EXPECT_EQ("N/A did LOG; <Priority> stays", Replace(tags, "<AlertName> did <Action>; <Priority> stays"));
    EXPECT_EQ("no tags here", Replace(tags, "no tags here"));
}

TEST(ReplaceResponseTags, TagInsideAnEarlierValueIsReplacedOnlyWhenItSortsLater) {
    // "<AlertName>" sorts before "<SensorName>": the sensor tag inserted with
    // the alert name is replaced in its own turn.  "<Action>" sorts before
    // "<AlertName>", so an action tag inserted with the alert name stays.
    ResponseTagMap tags{{"<AlertName>", "X on <SensorName> <Action>"},
                        {"<SensorName>", "web1"},
                        {"<Action>", "LOG"}};
    EXPECT_EQ("X on web1 <Action>", Replace(tags, "<AlertName>"));
}

TEST(ReplaceResponseTags, ValueHoldingItsOwnTagEnds) {
    hwtest::Watchdog watchdog("replacing a tag whose value holds it", std::chrono::seconds(30));
    ResponseTagMap tags{{"<AlertName>", "<AlertName>!<AlertName>"}};
    EXPECT_EQ("<AlertName>!<AlertName> and <AlertName>!<AlertName>",
              Replace(tags, "<AlertName> and <AlertName>"));
}

TEST(BuildParameterLine, WordsAreRebuiltWithOneBlankAfterEach) {
    ResponseTagMap tags{{"<event>", "Port Scan"}, {"<srcaddr>", "10.1.2.3"}, {"<empty>", ""}};
    EXPECT_EQ("-n \"Port Scan\" -s \"10.1.2.3\" -x <unregistered> ",
              Line(tags, "-n <event>   -s <srcaddr> -x <unregistered>"));
    EXPECT_EQ("a b ", Line(tags, "  a  b  "));
    EXPECT_EQ("", Line(tags, ""));
    EXPECT_EQ("", Line(tags, "    "));
    EXPECT_EQ("\"\" ", Line(tags, "<empty>"));
    // A tag joined to other characters is another word.
    EXPECT_EQ("<srcaddr>, -s<srcaddr> <EVENT> <event>\tx ",
              Line(tags, "<srcaddr>, -s<srcaddr> <EVENT> <event>\tx"));
}

TEST(BuildParameterLine, AlertTextCannotInjectArguments) {
    const std::vector<std::string> hostile = {
        "say \"hi\" -rf /",
        "a; rm -rf / $(id) `id` | cat",
        "ends with backslash\\",
        "two\\\\",
        "odd\\\"quote",
        "line one\nline two\r\n",
        std::string("nul\0inside", 10),
        "<srcaddr>",
        "",
    };
    for (const std::string& value : hostile) {
        ResponseTagMap tags{{"<event>", value}, {"<srcaddr>", "10.0.0.1"}};
        std::vector<std::string> arguments =
            plat::SplitCommandLine(Line(tags, "-n <event> -s <srcaddr>"));
        std::string expected = value;
        for (char& c : expected) {
            if (c == '\r' || c == '\n' || c == '\0') {
                c = ' ';
            }
        }
        ASSERT_EQ(4u, arguments.size()) << value;
        EXPECT_EQ("-n", arguments[0]);
        EXPECT_EQ(expected, arguments[1]);
        EXPECT_EQ("-s", arguments[2]);
        EXPECT_EQ("10.0.0.1", arguments[3]);
    }
}
