#include "platform/Console.h"

#include <stdlib.h>
#include <unistd.h>

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

// Gathered lines reach standard error whole and in order: when a line is
// written the ordinary way, when they are flushed, and never before.
TEST(Console, GatheredLinesGoOutBeforeTheNextOrdinaryLineAndAtAFlush) {
    char path[] = "/tmp/console_test_XXXXXX";
    const int file = ::mkstemp(path);
    ASSERT_GE(file, 0);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(file, STDERR_FILENO);
    auto Written = [&] {
        std::string text(static_cast<size_t>(::lseek(file, 0, SEEK_END)), '\0');
        ::pread(file, text.data(), text.size(), 0);
        return text;
    };
    plat::ConsoleWriteGathered("one\n");
    plat::ConsolePrintfGathered("%s\n", "two");
    const std::string before = Written();
    plat::ConsoleWrite("ordinary\n");
    const std::string ordered = Written();
    plat::ConsoleWriteGathered("three\n");
    plat::ConsoleFlush();
    const std::string flushed = Written();
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    ::close(file);
    ::unlink(path);
    EXPECT_EQ("", before);
    EXPECT_EQ("one\ntwo\nordinary\n", ordered);
    EXPECT_EQ("one\ntwo\nordinary\nthree\n", flushed);
}

// The host sets the echo before it loads the plug-in, whose own copy of
// the layer reads the choice from the environment when it is loaded.
TEST(Console, InputEchoChoiceIsKeptAndHandedOnThroughTheEnvironment) {
    const bool before = plat::InputEchoOn();
    plat::SetInputEcho(true);
    EXPECT_TRUE(plat::InputEchoOn());
    EXPECT_STREQ("1", ::getenv(plat::kInputEchoVariable));
    plat::SetInputEcho(false);
    EXPECT_FALSE(plat::InputEchoOn());
    EXPECT_STREQ("0", ::getenv(plat::kInputEchoVariable));
    plat::SetInputEcho(before);
}
