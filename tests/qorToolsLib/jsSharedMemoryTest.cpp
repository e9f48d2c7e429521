#include "qorToolsLib/jsSharedMemory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "NamedObjectPeer.h"
#include "platform/LastError.h"
#include "support/ConsoleCapture.h"

TEST(jsSharedMemory, MappingGainsAGranuleBeyondTheRequestedSize) {
    jsSharedMemory whole(hwtest::UniqueObjectName("whole").c_str());
    ASSERT_NE(nullptr, whole.Attach(65536));
    EXPECT_TRUE(whole.IsCreator());
    EXPECT_EQ(131072u, whole.MappingSize());
    EXPECT_EQ(65536u, whole.RequestedSize());

    jsSharedMemory small(hwtest::UniqueObjectName("small").c_str());
    ASSERT_NE(nullptr, small.Attach(100));
    EXPECT_EQ(65536u, small.MappingSize());
}

TEST(jsSharedMemory, MappingIsSharedWithinAndAcrossProcesses) {
    std::string name = hwtest::UniqueObjectName("shared");
    jsSharedMemory creator(name.c_str());
    auto* view = static_cast<char*>(creator.Attach(4096));
    ASSERT_NE(nullptr, view);
    std::strcpy(view, "hello from the creator");
    jsSharedMemory user(name.c_str());
    auto* other = static_cast<char*>(user.Attach(4096));
    ASSERT_NE(nullptr, other);
    EXPECT_FALSE(user.IsCreator());
    EXPECT_EQ(plat::kErrAlreadyExists, user.LastError());
    EXPECT_STREQ("hello from the creator", other);
    ASSERT_EQ(0, hwtest::RunPeer({"mapping-read", name, "hello from the creator"}));
    EXPECT_STREQ("reply from peer", view + 1024);
}

TEST(jsSharedMemory, MappingLeftByACrashedCreatorIsNeitherOpenedNorReused) {
    std::string name = hwtest::UniqueObjectName("crashed");
    ASSERT_EQ(128 + SIGKILL, hwtest::RunPeer({"mapping-create-and-crash", name, "stale bytes"}));
    {
        hwtest::ConsoleCapture console;
        jsSharedMemory opener(name.c_str());
        EXPECT_EQ(nullptr, opener.Attach(0));
        EXPECT_EQ("Create didn't work. error = 2. (No such file or directory)\n", console.Text());
    }
    ASSERT_EQ(128 + SIGKILL, hwtest::RunPeer({"mapping-create-and-crash", name, "stale bytes"}));
    jsSharedMemory creator(name.c_str());
    auto* view = static_cast<char*>(creator.Attach(4096));
    ASSERT_NE(nullptr, view);
    EXPECT_TRUE(creator.IsCreator());
    EXPECT_TRUE(std::all_of(view, view + creator.MappingSize(), [](char c) { return c == 0; }));
}

TEST(jsSharedMemory, TakenBaseAddressFailsWithAttachMessage) {
    jsSharedMemory first(hwtest::UniqueObjectName("first").c_str());
    void* taken = first.Attach(4096);
    ASSERT_NE(nullptr, taken);
    hwtest::ConsoleCapture console;
    jsSharedMemory second(hwtest::UniqueObjectName("second-base").c_str());
    EXPECT_EQ(nullptr, second.Attach(4096, taken));
    EXPECT_EQ(0u, console.Text().rfind("Attach didn't work. error = ", 0)) << console.Text();
}
