#include "qorCSFLib/PluginPolicyContainer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/TestUtil.h"

#include "FakeHost.h"

namespace {

PolicyPtr NewContainer() { return PolicyPtr(CreatePluginPolicyContainer()); }

std::vector<std::string> Take(qgStringVector* list) {
    std::vector<std::string> items(list->Begin(), list->End());
    EXPECT_EQ(items.size(), list->GetCount());
    list->Release();
    return items;
}

const std::string kDefaultPolicy = std::string(HW_SOURCE_DIR) + "/examples/demo/Default.policy";
const std::string kSettingsData = std::string(HW_SOURCE_DIR) + "/tests/qorToolsLib/data/settings";

}  // namespace

TEST(PluginPolicyContainer, MissingKeyGivesAnEmptyListAndTrue) {
    PolicyPtr policy = NewContainer();
    qgStringVector* names = nullptr;
    ASSERT_TRUE(policy->GetSubKeyNames("\\Advanced\\Rules", &names));
    EXPECT_TRUE(Take(names).empty());
    qgStringVector* values = nullptr;
    qgStringVector* texts = nullptr;
    EXPECT_FALSE(policy->GetValueTexts("missing", &values, &texts));
    EXPECT_TRUE(Take(values).empty());
    EXPECT_TRUE(Take(texts).empty());
}

TEST(PluginPolicyContainer, ValueOfAnotherKindAnswersTheDefault) {
    PolicyPtr policy = NewContainer();
    ASSERT_EQ(1, policy->SetText("config", "ScriptEnabled", "yes"));
    bool yes = true;
    EXPECT_TRUE(policy->GetBool("config", "ScriptEnabled", &yes));
    uint32_t big = 0xFFFFFFFFu;
    ASSERT_EQ(1, policy->SetULong("config", "Size", &big));
    EXPECT_EQ(-1, policy->GetLong("config", "Size", nullptr));
    EXPECT_EQ(kPolicyValueLong, policy->GetValueType("config", "Size"));
    EXPECT_EQ(kPolicyValueText, policy->GetValueType("config", "ScriptEnabled"));
}

TEST(PluginPolicyContainer, GetTextResultBelongsToTheCallingThread) {
    PolicyPtr first = NewContainer();
    PolicyPtr second = NewContainer();
    first->SetText("k", "v", "alpha");
    second->SetText("k", "v", "beta");
    const char* mine = first->GetText("k", "v", "");
    std::string seen;
    std::thread other([&] {
        for (int i = 0; i < 1000; ++i) {
            seen = second->GetText("k", "v", "");
        }
    });
    other.join();
    EXPECT_EQ("beta", seen);
    EXPECT_STREQ("alpha", mine);
    // On one thread the next call replaces the text.
    const char* again = second->GetText("k", "missing", "default");
    EXPECT_STREQ("default", again);
    EXPECT_EQ(mine, again);
}

TEST(PluginPolicyContainer, MergeWithoutSaveChangesTheTreeButNotTheFile) {
    hwtest::ScratchDirectory dir;
    std::string current = dir.File("current.policy");
    std::string base = hwtest::ReadWholeFile(kSettingsData + "/policy_base.txt");
    hwtest::WriteWholeFile(current, base);
    PolicyPtr policy = NewContainer();
    ASSERT_EQ(0, policy->LoadFile(current.c_str(), "", "", false));

    std::string update = kSettingsData + "/policy_update.txt";
    ASSERT_TRUE(policy->MergeFile(update.c_str(), false));
    EXPECT_EQ(250, policy->GetInt("config", "Max Connections", nullptr));
    EXPECT_EQ(base, hwtest::ReadWholeFile(current));

    ASSERT_TRUE(policy->MergeFile(update.c_str(), true));
    std::string saved = hwtest::ReadWholeFile(current);
    EXPECT_NE(std::string::npos, saved.find("Max Connections\t=L\t250;\r\n")) << saved;
    EXPECT_FALSE(policy->MergeFile(dir.File("absent").c_str(), false));
}

TEST(PluginPolicyContainer, ContainerThatDoesNotOwnItsStoreLeavesItAlive) {
    ConfigStore store;
    auto* policy = new PluginPolicyContainer(&store, false);
    policy->SetText("k", "v", "kept");
    policy->Release();
    EXPECT_EQ("kept", store.GetString("k", "v", ""));
}

TEST(PluginPolicyContainer, MissingStoreAnswersDefaultsAndFailures) {
    PluginPolicyContainer policy(nullptr, true);
    int32_t seven = 7;
    EXPECT_EQ(7, policy.GetLong("k", "v", &seven));
    EXPECT_STREQ("d", policy.GetText("k", "v", "d"));
    EXPECT_EQ(0, policy.SetLong("k", "v", &seven));
    EXPECT_EQ(1, policy.LoadFile(kDefaultPolicy.c_str(), "", "", false));
    EXPECT_TRUE(policy.Save());
    qgStringVector* names = nullptr;
    ASSERT_TRUE(policy.GetSubKeyNames("", &names));
    EXPECT_TRUE(Take(names).empty());
}

TEST(PluginPolicyContainer, DemoDefaultPolicyReadsThroughTheContainerAndSavesAsTheSameBytes) {
    PolicyPtr policy = NewContainer();
    ASSERT_EQ(0, policy->LoadFile(kDefaultPolicy.c_str(), "", "", false));
    EXPECT_STREQ("REDUCE", policy->GetText("config", "BsmReducePolicy", ""));
    std::string rule = "\\Advanced\\Rules\\SysLog Rules\\Failed su";
    EXPECT_TRUE(policy->GetBool(rule.c_str(), "Enabled", nullptr));
    EXPECT_EQ(2, policy->GetInt(rule.c_str(), "Priority", nullptr));
    qgStringVector* infoNames = nullptr;
    qgStringVector* infoTexts = nullptr;
    ASSERT_TRUE(policy->GetValueTexts((rule + "\\Info").c_str(), &infoNames, &infoTexts));
    EXPECT_EQ((std::vector<std::string>{"User", "Sender"}), Take(infoNames));
    EXPECT_EQ((std::vector<std::string>{"ruser={!} |) {!} on", "@Remote"}), Take(infoTexts));

    // The file is in the writer's own form: saved again it is the same bytes.
    hwtest::ScratchDirectory dir;
    ASSERT_EQ(0, policy->SaveFile(dir.File("copy.policy").c_str(), "", 1));
    EXPECT_EQ(hwtest::ReadWholeFile(kDefaultPolicy), hwtest::ReadWholeFile(dir.File("copy.policy")));
}
