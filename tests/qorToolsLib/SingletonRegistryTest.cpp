#include "qorToolsLib/SingletonRegistry.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "qorToolsLib/TraceInterface.h"
#include "support/ExternalCheck.h"
#include "support/TestUtil.h"

using testing_support::ScopedEnv;

namespace {

constexpr char kChildMarker[] = "HW_REGISTRY_CHILD";

std::string RegistryText(const void* address, long pid) {
    char text[64];
    std::snprintf(text, sizeof text, "%lx,%lx", reinterpret_cast<unsigned long>(address),
                  static_cast<unsigned long>(pid));
    return text;
}

}  // namespace

TEST(SingletonRegistry, PublishedRegistryIsFoundByAnotherModule) {
    PublishSingletonRegistry();
    const char* text = std::getenv(kSingletonRegistryVariable);
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(RegistryText(GetSingletonRegistry(), ::getpid()), text);
    EXPECT_EQ(GetSingletonRegistry(), FindPublishedSingletonRegistry());
}

TEST(SingletonRegistry, AddressNamingAnotherProcessIsIgnored) {
    SingletonRegistry other;
    ScopedEnv env(kSingletonRegistryVariable, RegistryText(&other, ::getpid() + 1));
    EXPECT_EQ(nullptr, FindPublishedSingletonRegistry());
    ScopedEnv garbage(kSingletonRegistryVariable, "not a registry");
    EXPECT_EQ(nullptr, FindPublishedSingletonRegistry());
}

// The parent hands down an address with the child's own process id, as a
// hostile environment could; the child must not follow it.
TEST(SingletonRegistry, InheritedAddressIsNeverFollowed) {
    hwtest::ScratchDirectory dir;
    std::string output = dir.File("child.txt");
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (std::freopen(output.c_str(), "w", stdout) == nullptr) {
            ::_exit(126);
        }
        std::string value = RegistryText(reinterpret_cast<void*>(0x10), ::getpid());
        ::setenv(kSingletonRegistryVariable, value.c_str(), 1);
        ::setenv(kChildMarker, "1", 1);
        char filter[] = "--gtest_filter=SingletonRegistry.ChildIgnoresInheritedAddress";
        char* argv[] = {const_cast<char*>("/proc/self/exe"), filter, nullptr};
        ::execv("/proc/self/exe", argv);
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    // A filter that matched nothing would pass as well.
    EXPECT_NE(std::string::npos, hwtest::ReadWholeFile(output).find("[  PASSED  ] 1 test."));
}

TEST(SingletonRegistry, ChildIgnoresInheritedAddress) {
    if (std::getenv(kChildMarker) == nullptr) {
        GTEST_SKIP() << "runs inside InheritedAddressIsNeverFollowed";
    }
    EXPECT_EQ(nullptr, FindPublishedSingletonRegistry());
    SingletonRegistry* registry = GetSingletonRegistry();
    ASSERT_NE(reinterpret_cast<SingletonRegistry*>(0x10), registry);
    int value = 0;
    RegisterSingleton("x", &value);
    EXPECT_EQ(&value, LookupSingleton("x"));
}

TEST(TraceInterface, OneSharedLoggerThatTracesNothingByDefaultAndComesBackAfterRelease) {
    TraceInterface* trace = GetTraceInterface();
    ASSERT_NE(nullptr, trace);
    EXPECT_EQ(trace, LookupSingleton(kTraceInterfaceName));
    EXPECT_FALSE(trace->Log(0x2000, 9, nullptr, "x"));
    ReleaseTraceInterface();
    EXPECT_EQ(nullptr, LookupSingleton(kTraceInterfaceName));
    TraceInterface* again = GetTraceInterface();
    EXPECT_EQ(again, LookupSingleton(kTraceInterfaceName));
}
