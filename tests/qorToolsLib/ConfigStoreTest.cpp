#include "qorToolsLib/ConfigStore.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Strings = std::vector<std::string>;

TEST(ConfigStore, ValueOfAnotherTypeGivesTheDefaultAndRefusesTheSetter) {
    ConfigStore store;
    ASSERT_EQ(1, store.SetString("config", "Timeout", "soon"));
    EXPECT_EQ(42, store.GetLong("config", "Timeout", 42));
    EXPECT_EQ(0, store.SetLong("config", "Timeout", 5));
    EXPECT_EQ("soon", store.GetString("config", "Timeout", ""));
    ASSERT_EQ(1, store.SetBool("config", "On", true));
    EXPECT_EQ("dflt", store.GetText("config", "On", "dflt"));
    EXPECT_EQ(0, store.SetString("config", "On", "x"));
    EXPECT_TRUE(store.GetBool("config", "On", false));
    EXPECT_TRUE(store.GetBool("missing", "On", true));
}

TEST(ConfigStore, SetterCreatesEveryKeyOfThePathButNotAnOverlyDeepOne) {
    ConfigStore store;
    ASSERT_EQ(1, store.SetString("a\\b\\c", "v", "x"));
    ConfigKey* c = store.FindKey("\\a\\b\\c\\");
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(c, store.FindKey("a\\b\\c"));
    EXPECT_EQ(c, store.CreateKey("\\\\a\\b\\c"));
    EXPECT_EQ(store.GetRoot(), store.FindKey("\\"));

    std::string deep;
    for (size_t i = 0; i <= ConfigStore::kMaxKeyDepth; ++i) {
        deep += "\\k";
    }
    EXPECT_EQ(nullptr, store.CreateKey(deep));
    EXPECT_EQ(0, store.SetString(deep, "v", "x"));
    EXPECT_FALSE(store.KeyExists("k"));
    EXPECT_NE(nullptr, store.CreateKey(deep.substr(2)));
}

TEST(ConfigStore, DeletesTouchOnlyWhatTheyName) {
    ConfigStore store;
    store.AddKey("a\\x\\target");
    EXPECT_FALSE(store.DeleteKey("a", "target"));
    EXPECT_TRUE(store.DeleteKey("a\\x", "target"));
    EXPECT_FALSE(store.KeyExists("a\\x\\target"));
    EXPECT_FALSE(store.DeleteKey("", ""));
    EXPECT_TRUE(store.DeleteKey("a", ""));
    EXPECT_FALSE(store.KeyExists("a\\x"));
    EXPECT_FALSE(store.DeleteSubKey("missing", "x"));

    store.SetLong("k\\sub", "n", 1);
    store.SetLong("k", "a", 1);
    store.SetLong("k", "b", 2);
    EXPECT_TRUE(store.DeleteValue("k", "a"));
    EXPECT_FALSE(store.DeleteValue("k", "a"));
    EXPECT_TRUE(store.Exists("k", "b"));
    store.ClearValues("k");
    EXPECT_FALSE(store.Exists("k", "b"));
    EXPECT_TRUE(store.KeyExists("k\\sub"));
    store.ClearSection("k");
    EXPECT_FALSE(store.KeyExists("k\\sub"));
}

TEST(ConfigStore, ListsKeepStoredOrderAndWriteNumbersInDecimal) {
    ConfigStore store;
    store.SetLong("k", "n", -7);
    store.SetBool("k", "b", true);
    store.SetString("k", "s", "t");
    store.AddKey("k\\z");
    store.AddKey("k\\a");
    Strings names, texts;
    ASSERT_TRUE(store.GetValueTexts("k", names, texts));
    EXPECT_EQ((Strings{"n", "b", "s"}), names);
    EXPECT_EQ((Strings{"-7", "1", "t"}), texts);
    EXPECT_FALSE(store.GetValueTexts("missing", names, texts));
    Strings keys;
    EXPECT_FALSE(store.GetSubKeyNames("k\\z", keys));
    ASSERT_TRUE(store.GetSubKeyNames("k", keys));
    EXPECT_EQ((Strings{"z", "a"}), keys);
}

TEST(ConfigStore, MoveAndMergeCarryTheWholeSubtreeButNeverIntoItself) {
    ConfigStore store;
    store.SetLong("src\\deep", "n", 3);
    store.SetLong("src", "n", 9);
    store.AddKey("dst");
    store.SetLong("dst", "n", 1);
    EXPECT_FALSE(store.MoveKey("src", "src\\deep"));
    EXPECT_FALSE(store.MoveKey("src", "src"));
    EXPECT_FALSE(store.MergeKey("", "src", false));
    EXPECT_FALSE(store.MoveKey("src", "missing"));
    ASSERT_TRUE(store.MoveKey("src", "dst"));
    EXPECT_FALSE(store.KeyExists("src"));
    EXPECT_EQ(3, store.GetLong("dst\\src\\deep", "n", 0));

    // Same-named values are updated, unless duplicates are asked for.
    ASSERT_TRUE(store.MergeKey("dst\\src", "dst", false));
    EXPECT_EQ(9, store.GetLong("dst", "n", 0));
    EXPECT_EQ(3, store.GetLong("dst\\deep", "n", 0));
    store.SetLong("again", "n", 5);
    ASSERT_TRUE(store.MergeKey("again", "dst", true));
    Strings names, texts;
    store.GetValueTexts("dst", names, texts);
    EXPECT_EQ((Strings{"9", "5"}), texts);
}

TEST(ConfigStore, KeyMovedOrRenamedOntoATakenPathStaysFindable) {
    ConfigStore store;
    store.SetLong("a\\b\\c", "n", 1);
    ASSERT_TRUE(store.MoveKey("a\\b", "a"));
    EXPECT_EQ(1, store.GetLong("a\\b\\c", "n", 0));

    store.SetLong("a\\x\\x", "n", 2);
    ASSERT_TRUE(store.MergeKey("a\\x", "a", false));
    EXPECT_EQ(2, store.GetLong("a\\x", "n", 0));

    ASSERT_TRUE(store.RenameKey("a\\b", "z"));
    EXPECT_EQ(1, store.GetLong("a\\z\\c", "n", 0));
    EXPECT_FALSE(store.KeyExists("a\\b\\c"));
    EXPECT_FALSE(store.RenameKey("a", "x\\y"));
    EXPECT_FALSE(store.RenameKey("", "root"));

    // A rename onto a taken name: the renamed key takes the path over once
    // the other goes.
    store.SetLong("y", "n", 3);
    ASSERT_TRUE(store.RenameKey("y", "a"));
    ASSERT_TRUE(store.DeleteKey("a", ""));
    EXPECT_EQ(3, store.GetLong("a", "n", 0));
}

TEST(ConfigStore, CopyToAnotherStoreReplacesTheKeyThere) {
    ConfigStore source;
    source.SetLong("a\\b", "n", 1);
    source.SetLong("a\\b\\c", "m", 2);
    ConfigStore target;
    target.SetLong("a\\b", "old", 3);
    target.SetLong("a", "kept", 4);
    ASSERT_TRUE(source.CopyKeyTo("a\\b", target));
    EXPECT_EQ(1, target.GetLong("a\\b", "n", 0));
    EXPECT_FALSE(target.Exists("a\\b", "old"));
    EXPECT_EQ(2, target.GetLong("a\\b\\c", "m", 0));
    EXPECT_EQ(4, target.GetLong("a", "kept", 0));
    ASSERT_TRUE(source.CopyKeyTo("a\\b", source));
    EXPECT_EQ(2, source.GetLong("a\\b\\c", "m", 0));
    ASSERT_TRUE(source.CopyKeyTo("", target));
    EXPECT_FALSE(target.Exists("a", "kept"));
    EXPECT_FALSE(source.CopyKeyTo("missing", target));
}

TEST(ConfigStore, DumpsOmitIndentation) {
    ConfigStore store;
    store.SetLong("a\\b", "n", 2);
    store.SetString("a", "s", "x;y");
    EXPECT_EQ("[\\a\\];\ns\t=S\tx;;y;\n[\\a\\b\\];\nn\t=L\t2;\n", store.DumpKey("a", true, true));
    EXPECT_EQ("[\\a\\];\n", store.DumpKey("a", false, false));
    EXPECT_EQ("[\\a\\b\\];\nn\t=L\t2;\n", store.DumpValue("a\\b", "n"));
    EXPECT_EQ("", store.DumpValue("missing", "n"));
}

TEST(ConfigStore, SortWithANameSortsTheFirstKeyOfThatName) {
    ConfigStore store;
    store.AddKey("r\\x\\b");
    store.AddKey("r\\x\\a");
    store.AddKey("r\\d");
    store.AddKey("r\\c");
    ASSERT_TRUE(store.Sort("r", "x"));
    Strings names;
    store.GetSubKeyNames("r\\x", names);
    store.GetSubKeyNames("r", names);
    EXPECT_EQ((Strings{"a", "b", "x", "d", "c"}), names);
    EXPECT_FALSE(store.Sort("missing", ""));
}
