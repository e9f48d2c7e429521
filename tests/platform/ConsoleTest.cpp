#include "platform/Console.h"

#include <gtest/gtest.h>

#include <string>

TEST(Console, SinkReceivesFormattedLinesAndCanBeRestored) {
    std::string seen;
    auto previous = plat::SetConsoleSink([&](std::string_view text) { seen.append(text); });
    plat::ConsolePrintf("RegExp Error: %s\n", "nested *?+");
    std::string longText(5000, 'x');
    plat::ConsolePrintf("%s", longText.c_str());
    plat::SetConsoleSink(std::move(previous));
    EXPECT_EQ("RegExp Error: nested *?+\n" + longText, seen);
}
