#include "qorToolsLib/ConfigNode.h"

#include <gtest/gtest.h>

#include <string>

namespace {

ConfigValue* AddLong(ConfigNode& key, const std::string& name, int32_t value) {
    auto* v = new ConfigValue();
    v->SetName(name);
    v->SetLong(value);
    key.AddValue(v);
    return v;
}

ConfigValue* AddText(ConfigNode& key, const std::string& name, const std::string& text) {
    auto* v = new ConfigValue();
    v->SetName(name);
    v->SetString(text);
    key.AddValue(v);
    return v;
}

ConfigKey* AddKey(ConfigNode& parent, const std::string& name) {
    auto* key = new ConfigKey();
    key->SetName(name);
    parent.AddChild(key);
    return key;
}

std::string Names(const ConfigNodeList& list) {
    std::string names;
    for (const ConfigNode* node : list) {
        names += node->GetName() + ",";
    }
    return names;
}

}  // namespace

TEST(ConfigNode, WildcardEndsTheMatchedPartOfAValueName) {
    ConfigKey key;
    AddLong(key, "Interval", 1);
    ConfigValue* timeout = AddLong(key, "Timeout", 2);
    size_t position = 99;
    EXPECT_EQ(timeout, key.FindValue("Time*", &position));
    EXPECT_EQ(1u, position);
    EXPECT_EQ(timeout, key.FindValue("Time?x"));
    EXPECT_EQ(nullptr, key.FindValue("Tim"));
    EXPECT_EQ(nullptr, key.FindValue("timeout"));
    EXPECT_EQ(nullptr, key.FindValue("TimeoutLonger*"));
}

TEST(ConfigNode, TextSearchUsesTheStoredTextAsPatternUpToTheDelimiter) {
    ConfigKey root(ConfigNode::kRoot);
    ConfigKey* rules = AddKey(root, "Rules");
    ConfigValue* exact = AddText(*rules, "Pattern", "sudo|ignored");
    ConfigValue* wild = AddText(*rules, "Other", "log?");
    EXPECT_EQ(nullptr, root.FindValue("sudo", nullptr, true, false, '|'));
    EXPECT_EQ(exact, root.FindValue("sudo", nullptr, true, true, '|'));
    EXPECT_EQ(nullptr, root.FindValue("sudo", nullptr, true, true, 0));
    EXPECT_EQ(wild, root.FindValue("login", nullptr, true, true, 0));
    EXPECT_EQ(nullptr, root.FindValue("login", nullptr, true, true, 0, "Pattern"));
    EXPECT_EQ(nullptr, root.FindValue("lo", nullptr, true, true, 0));
}

TEST(ConfigNode, PathLookupAddsSeparatorsKeepsCaseAndFollowsTheBase) {
    ConfigKey root(ConfigNode::kRoot);
    ConfigKey* b = AddKey(*AddKey(root, "a"), "b");
    EXPECT_EQ("\\a\\b\\", b->GetFullPath());
    EXPECT_EQ(b, root.FindNode("a\\b"));
    EXPECT_EQ(b, root.FindNode("\\a\\b\\"));
    EXPECT_EQ(&root, root.FindNode(""));
    EXPECT_EQ(nullptr, root.FindNode("A\\b"));
    b->SetBase(&root);
    EXPECT_EQ("a\\b\\", b->GetFullPath());
    b->SetBase(b);
    EXPECT_EQ("\\", b->GetFullPath());
    EXPECT_EQ("b\\", b->PathFrom(root.FindNode("a")));
}

// The path index must follow every key that leaves, moves or shares a path,
// or lookups hand out freed keys.
TEST(ConfigNode, IndexFollowsKeysThatLeaveMoveOrShareAPath) {
    ConfigKey root(ConfigNode::kRoot);
    ConfigKey* a = AddKey(root, "a");
    ConfigKey* c = AddKey(*AddKey(*a, "b"), "c");
    ConfigKey* other = AddKey(root, "other");
    ASSERT_TRUE(root.RemoveChild(a));
    EXPECT_EQ(nullptr, root.FindNode("a\\b\\c"));
    other->AddChild(a);
    EXPECT_EQ(c, root.FindNode("other\\a\\b\\c"));
    ConfigKey* level = new ConfigKey();
    level->SetName("level");
    other->InsertParentLevel(level);
    EXPECT_EQ(c, root.FindNode("other\\level\\a\\b\\c"));
    ASSERT_TRUE(root.RemoveChild(other));
    delete other;
    EXPECT_EQ(nullptr, root.FindNode("other\\level\\a"));
    EXPECT_EQ(1u, root.GetIndex()->size());

    ConfigKey* first = AddKey(root, "same");
    ConfigKey* second = AddKey(root, "same");
    EXPECT_EQ(first, root.FindNode("same"));
    root.RemoveChild(second);
    delete second;
    EXPECT_EQ(first, root.FindNode("same"));
    root.RemoveChild(first);
    delete first;
    EXPECT_EQ(nullptr, root.FindNode("same"));
}

TEST(ConfigNode, SortIgnoresAsciiCaseAtEveryLevel) {
    ConfigKey root(ConfigNode::kRoot);
    AddLong(root, "b", 1);
    AddLong(root, "A", 2);
    AddLong(root, "c", 3);
    ConfigKey* z = AddKey(root, "z");
    AddKey(root, "Y");
    AddKey(*z, "q");
    AddKey(*z, "P");
    root.Sort();
    EXPECT_EQ("A,b,c,", Names(root.GetValues()));
    EXPECT_EQ("Y,z,", Names(root.GetChildren()));
    EXPECT_EQ("P,q,", Names(z->GetChildren()));
}

TEST(ConfigNode, DumpIndentsTwoSpacesPerLevelUpToFourteenLevels) {
    ConfigKey root(ConfigNode::kRoot);
    ConfigKey* b = AddKey(*AddKey(root, "a"), "b");
    AddLong(*b, "n", -4);
    std::string text;
    b->Dump(true, true, nullptr, &text, false);
    EXPECT_EQ("    [\\a\\b\\];\n      \tn\t=L\t-4;\n", text);
    text.clear();
    b->DumpToText(text, true, false, "Title", false);
    EXPECT_EQ("Title\n[\\a\\b\\];\nn\t=L\t-4;\n", text);

    ConfigNode* deep = b;
    for (int i = 0; i < 20; ++i) {
        deep = AddKey(*deep, "k");
    }
    text.clear();
    deep->Dump(false, true, nullptr, &text, false);
    EXPECT_EQ(std::string(28, ' ') + "[", text.substr(0, 29));
}

TEST(ConfigNode, DeepCopyIndexesEveryKeyAtItsFinalPath) {
    ConfigKey source(ConfigNode::kRoot);
    ConfigKey* a = AddKey(source, "a");
    AddLong(*AddKey(*a, "b"), "n", 7);
    AddKey(*a, "skip");

    ConfigKey target(ConfigNode::kRoot);
    ConfigKey* holder = AddKey(target, "holder");
    auto* copy = new ConfigKey();
    copy->SetParent(holder);
    copy->CopyFrom(*a, true, "skip");
    holder->AddChild(copy);
    ConfigNode* b = target.FindNode("holder\\a\\b");
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(nullptr, target.FindNode("holder\\a\\skip"));
    EXPECT_NE(nullptr, b->FindValue("n"));
    EXPECT_EQ(nullptr, source.FindNode("holder"));
}

TEST(ConfigNode, CopyValuesWithoutDuplicatesUpdatesOnlyTheSameType) {
    ConfigKey from;
    AddLong(from, "n", 5);
    AddText(from, "t", "new");
    ConfigKey to;
    ConfigValue* old = AddText(to, "n", "keep");
    to.CopyValues(from.GetValues(), "", false);
    EXPECT_EQ("n,t,", Names(to.GetValues()));
    EXPECT_EQ("keep", old->Text());
    to.CopyValues(from.GetValues(), "t", true);
    EXPECT_EQ("n,t,n,", Names(to.GetValues()));
}

TEST(ConfigNode, MatchingChildComparesPathTextsUpToTheWildcard) {
    ConfigKey root(ConfigNode::kRoot);
    ConfigKey* logs = AddKey(root, "logs");
    ConfigKey* web = AddKey(*logs, "web");
    web->SetPathText("/var/log/apache*");
    logs->SetPathText("/var/log/syslog");
    size_t position = 9;
    EXPECT_EQ(web, root.FindMatchingChild("/var/log/apache2/error.log", &position));
    EXPECT_EQ(0u, position);
    EXPECT_EQ(logs, root.FindMatchingChild("/var/log/syslog", nullptr));
    EXPECT_EQ(nullptr, root.FindMatchingChild("/var/log/apache", nullptr));
    root.UpdatePathText(true);
    EXPECT_EQ("\\logs\\web\\", web->GetPathText());
}
