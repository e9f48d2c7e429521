#include "HwHostOptions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestUtil.h"

namespace {

bool Parse(std::vector<const char*> arguments, HwHostOptions& options, std::string& error) {
    arguments.insert(arguments.begin(), "hwhost");
    return ParseHwHostOptions(static_cast<int>(arguments.size()), arguments.data(), options, error);
}

}  // namespace

TEST(HwHostOptionsTest, RootGivesTheDefaultLogAndAnAbsolutePath) {
    hwtest::ScratchDirectory root;
    HwHostOptions options;
    std::string error;
    std::string withSlash = root.Path() + "/";

    ASSERT_TRUE(Parse({"run", "--root", withSlash.c_str()}, options, error)) << error;

    EXPECT_EQ(root.Path(), options.m_strRoot);
    EXPECT_EQ(root.Path() + "/logs/hwhost.log", options.m_strLog);
    EXPECT_FALSE(options.m_bEchoInput);
}

// The echo is asked for by a flag that takes no value, wherever it stands.
TEST(HwHostOptionsTest, EchoInputIsAFlagOfRunOnly) {
    hwtest::ScratchDirectory root;
    HwHostOptions options;
    std::string error;
    ASSERT_TRUE(Parse({"run", "--echo-input", "--root", root.Path().c_str(), "--for", "5"}, options,
                      error))
        << error;
    EXPECT_TRUE(options.m_bEchoInput);
    EXPECT_EQ(5u, options.m_dwForSeconds);
    HwHostOptions push;
    EXPECT_FALSE(Parse({"push", "--root", root.Path().c_str(), "--echo-input", "a.policy"}, push,
                       error));
    EXPECT_NE(std::string::npos, error.find("unknown option of push --echo-input")) << error;
}

TEST(HwHostOptionsTest, BadCommandLinesAreRefusedWithAReason) {
    hwtest::ScratchDirectory root;
    const char* dir = root.Path().c_str();
    struct Case {
        std::vector<const char*> arguments;
        const char* reason;
    };
    const Case cases[] = {
        {{}, "the commands are"},
        {{"start", "--root", dir}, "the commands are"},
        {{"run"}, "--root DIR is required"},
        {{"run", "--root", "/nonexistent/hw-root"}, "is not a directory"},
        {{"run", "--root", dir, "--for"}, "--for needs a value"},
        {{"run", "--root", dir, "--for", "0"}, "positive number"},
        {{"run", "--root", dir, "--for", "10s"}, "positive number"},
        {{"run", "--root", dir, "--snmp-manager", "localhost"}, "HOST:PORT"},
        {{"run", "--root", dir, "--snmp-manager", "localhost:+162"}, "HOST:PORT"},
        {{"run", "--root", dir, "--output-wait", "soon"}, "--output-wait needs a number"},
        {{"run", "--root", dir, "--verbose", "1"}, "unknown option --verbose"},
        // Unknown, not lacking a value, last on the line too.
        {{"run", "--root", dir, "--bogus"}, "unknown option --bogus"},
        {{"run", "--root", dir, "--echo-inputs"}, "unknown option --echo-inputs"},
        {{"run", "--echo-inputs", "--root", dir}, "unknown option --echo-inputs"},
        {{"run", "--root", dir, "--log"}, "--log needs a value"},
        {{"push", "--root", dir, "a.policy", "--wait"}, "--wait needs a value"},
        {{"push", "--root", dir, "a.policy", "--bogus"}, "unknown option of push --bogus"},
        {{"push", "--root", dir}, "needs the policy FILE"},
        {{"push", "--root", dir, "a.policy", "b.policy"}, "one policy file"},
        {{"push", "--root", dir, "--for", "5", "a.policy"}, "unknown option of push --for"},
        {{"push", "--root", dir, "--wait", "soon", "a.policy"}, "--wait needs a number"},
        {{"run", "--root", dir, "--web-group", "hw-no-such-group"},
         "the web-server group \"hw-no-such-group\" does not exist"},
    };
    for (const Case& c : cases) {
        HwHostOptions options;
        std::string error;
        EXPECT_FALSE(Parse(c.arguments, options, error)) << c.reason;
        EXPECT_NE(std::string::npos, error.find(c.reason)) << error;
        if (std::string(c.reason).rfind("unknown option", 0) == 0) {
            EXPECT_EQ(std::string::npos, error.find("needs a value")) << error;
        }
    }
}
