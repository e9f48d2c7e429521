#include "qorToolsLib/ConfigStore.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(ConfigStore, SetterCreatesEveryKeyOfThePath) {
    ConfigStore store;
    ASSERT_EQ(1, store.SetString("a\\b\\c", "v", "x"));
    ConfigKey* c = store.FindKey("\\a\\b\\c\\");
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(c, store.FindKey("a\\b\\c"));
    EXPECT_EQ(c, store.FindKey("\\a\\b\\c"));
    EXPECT_EQ(c, store.CreateKey("\\\\a\\b\\c"));
    EXPECT_TRUE(store.HasSubKeys("a"));
    EXPECT_FALSE(store.HasSubKeys("a\\b\\c"));
    EXPECT_EQ(store.GetRoot(), store.FindKey("\\"));
}

TEST(ConfigStore, OverlyDeepPathIsRefused) {
    ConfigStore store;
    std::string deep;
    for (size_t i = 0; i <= ConfigStore::kMaxKeyDepth; ++i) {
        deep += "\\k";
    }
    EXPECT_EQ(nullptr, store.CreateKey(deep));
    EXPECT_EQ(0, store.SetString(deep, "v", "x"));
    EXPECT_FALSE(store.HasSubKeys(""));
    EXPECT_NE(nullptr, store.CreateKey(deep.substr(2)));
}

TEST(ConfigStore, NamedDeleteTouchesDirectSubKeysOnly) {
    ConfigStore store;
    store.AddKey("a\\x\\target");
    EXPECT_FALSE(store.DeleteKey("a", "target"));
    EXPECT_TRUE(store.KeyExists("a\\x\\target"));
    EXPECT_TRUE(store.DeleteKey("a\\x", "target"));
    EXPECT_FALSE(store.KeyExists("a\\x\\target"));
    EXPECT_FALSE(store.DeleteKey("", ""));
    EXPECT_TRUE(store.DeleteKey("a", ""));
    EXPECT_FALSE(store.KeyExists("a\\x"));
    EXPECT_FALSE(store.DeleteSubKey("missing", "x"));
}

TEST(ConfigStore, ValueTextsWriteNumbersInDecimal) {
    ConfigStore store;
    store.SetLong("k", "n", -7);
    store.SetBool("k", "b", true);
    store.SetString("k", "s", "t");
    std::vector<std::string> names, texts;
    ASSERT_TRUE(store.GetValueTexts("k", names, texts));
    EXPECT_EQ((std::vector<std::string>{"n", "b", "s"}), names);
    EXPECT_EQ((std::vector<std::string>{"-7", "1", "t"}), texts);
    ConfigValueMap map;
    ASSERT_TRUE(store.GetValueMap("k", map, true));
    EXPECT_EQ(1, map["b"].lNumber);
    EXPECT_EQ("t", map["s"].strText);
    EXPECT_FALSE(store.GetValueTexts("missing", names, texts));
}

TEST(ConfigStore, SubKeyListsKeepStoredOrderAndAnswerFalseWhenEmpty) {
    ConfigStore store;
    store.AddKey("r\\z");
    store.AddKey("r\\a");
    ConfigStringList* list = store.NewSubKeyList("r");
    EXPECT_EQ((ConfigStringList{"z", "a"}), *list);
    store.DeleteSubKeyList(list);
    std::vector<std::string> names;
    EXPECT_FALSE(store.GetSubKeyNames("r\\z", names));
    EXPECT_FALSE(store.GetSubKeyNames("missing", names));
    EXPECT_TRUE(names.empty());
}

TEST(ConfigStore, SaveWithoutFileNameFailsAsAWriteError) {
    ConfigStore store;
    EXPECT_FALSE(store.Save());
    EXPECT_EQ(ConfigStore::kWriteError, store.GetErrorClass());
    EXPECT_EQ(QOR_E_NO_FILE_NAME, store.GetStatus());
}

TEST(ConfigStore, MoveCarriesTheWholeSubtreeAndItsPaths) {
    ConfigStore store;
    store.SetLong("src\\deep", "n", 3);
    store.SetString("src", "s", "x");
    store.AddKey("dst");
    ASSERT_TRUE(store.MoveKey("src", "dst"));
    EXPECT_FALSE(store.KeyExists("src"));
    EXPECT_EQ(3, store.GetLong("dst\\src\\deep", "n", 0));
    EXPECT_EQ("x", store.GetString("dst\\src", "s", ""));
}

TEST(ConfigStore, KeyMovedOntoItsOwnParentStaysFindable) {
    ConfigStore store;
    store.SetLong("a\\b\\c", "n", 1);
    ASSERT_TRUE(store.MoveKey("a\\b", "a"));
    EXPECT_EQ(1, store.GetLong("a\\b\\c", "n", 0));

    store.SetLong("a\\x\\x", "n", 2);
    ASSERT_TRUE(store.MergeKey("a\\x", "a", false));
    EXPECT_EQ(2, store.GetLong("a\\x", "n", 0));

    // A rename onto a taken name: the renamed key takes the path over once
    // the other goes.
    store.SetLong("y", "n", 3);
    ASSERT_TRUE(store.RenameKey("y", "a"));
    ASSERT_TRUE(store.DeleteKey("a", ""));
    EXPECT_EQ(3, store.GetLong("a", "n", 0));
}

TEST(ConfigStore, MoveOrMergeIntoItsOwnSubtreeIsRefused) {
    ConfigStore store;
    store.AddKey("a\\b");
    EXPECT_FALSE(store.MoveKey("a", "a\\b"));
    EXPECT_FALSE(store.MoveKey("a", "a"));
    EXPECT_FALSE(store.MergeKey("", "a", false));
    EXPECT_FALSE(store.MoveKey("a", "missing"));
    EXPECT_TRUE(store.KeyExists("a\\b"));
}

TEST(ConfigStore, MergeUpdatesSameNamedValuesUnlessDuplicating) {
    ConfigStore store;
    store.SetLong("src", "n", 9);
    store.SetString("src", "new", "v");
    store.AddKey("src\\child");
    store.SetLong("dst", "n", 1);
    ASSERT_TRUE(store.MergeKey("src", "dst", false));
    EXPECT_EQ(9, store.GetLong("dst", "n", 0));
    EXPECT_EQ("v", store.GetString("dst", "new", ""));
    EXPECT_TRUE(store.KeyExists("dst\\child"));
    EXPECT_FALSE(store.KeyExists("src"));

    store.SetLong("again", "n", 5);
    ASSERT_TRUE(store.MergeKey("again", "dst", true));
    std::vector<std::string> names, texts;
    store.GetValueTexts("dst", names, texts);
    EXPECT_EQ((std::vector<std::string>{"9", "v", "5"}), texts);
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
    EXPECT_EQ(0, target.GetLong("a\\b", "old", 0));
    EXPECT_EQ(2, target.GetLong("a\\b\\c", "m", 0));
    EXPECT_EQ(4, target.GetLong("a", "kept", 0));
    ASSERT_TRUE(source.CopyKeyTo("a\\b", source));
    EXPECT_EQ(2, source.GetLong("a\\b\\c", "m", 0));
    ASSERT_TRUE(source.CopyKeyTo("", target));
    EXPECT_EQ(0, target.GetLong("a", "kept", 0));
    EXPECT_EQ(1, target.GetLong("a\\b", "n", 0));
    EXPECT_FALSE(source.CopyKeyTo("missing", target));
}

TEST(ConfigStore, RenameReindexesEverythingBelow) {
    ConfigStore store;
    store.SetLong("a\\b\\c", "n", 1);
    ASSERT_TRUE(store.RenameKey("a\\b", "z"));
    EXPECT_EQ(1, store.GetLong("a\\z\\c", "n", 0));
    EXPECT_FALSE(store.KeyExists("a\\b\\c"));
    EXPECT_FALSE(store.RenameKey("a", "x\\y"));
    EXPECT_FALSE(store.RenameKey("", "root"));
}

TEST(ConfigStore, ClearAndDeleteValueFreeWhatTheyRemove) {
    ConfigStore store;
    store.SetLong("k\\sub", "n", 1);
    store.SetLong("k", "a", 1);
    store.SetLong("k", "b", 2);
    EXPECT_TRUE(store.DeleteValue("k", "a"));
    EXPECT_FALSE(store.DeleteValue("k", "a"));
    EXPECT_TRUE(store.Exists("k", "b"));
    store.ClearValues("k");
    EXPECT_FALSE(store.Exists("k", "b"));
    store.ClearSection("k");
    EXPECT_FALSE(store.KeyExists("k\\sub"));
    EXPECT_TRUE(store.Exists("k", ""));
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
    std::vector<std::string> names;
    store.GetSubKeyNames("r\\x", names);
    store.GetSubKeyNames("r", names);
    EXPECT_EQ((std::vector<std::string>{"a", "b", "x", "d", "c"}), names);
    EXPECT_FALSE(store.Sort("missing", ""));
}
