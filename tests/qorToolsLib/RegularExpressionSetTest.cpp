#include "qorToolsLib/RegularExpressionSet.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/ConsoleCapture.h"

namespace {

using hwtest::ConsoleCapture;
using namespace std::string_literals;

struct Rules {
    std::vector<std::unique_ptr<RegularExpression>> owned;
    std::vector<const RegularExpression*> entries;

    void Add(const char* pattern, bool ignoreCase = false, bool invert = false) {
        owned.push_back(std::make_unique<RegularExpression>(pattern, ignoreCase, invert));
        entries.push_back(owned.back().get());
    }
    void AddNone() { entries.push_back(nullptr); }
};

// A text with its NUL bytes made visible.
std::string Shown(const std::string& text) {
    std::string shown;
    for (char c : text) {
        shown += c == '\0' ? std::string("\\0") : std::string(1, c);
    }
    return shown;
}

// Every entry must answer what its own expression answers.
void ExpectSameAnswers(const Rules& rules, const RegularExpressionSet& set,
                       const std::vector<std::string>& texts) {
    std::vector<uint8_t> hits;
    for (const std::string& text : texts) {
        set.Match(text, hits);
        ASSERT_EQ(rules.entries.size(), hits.size());
        for (size_t i = 0; i < rules.entries.size(); ++i) {
            const RegularExpression* expression = rules.entries[i];
            int expected = expression == nullptr ? 1 : expression->Match(text);
            ASSERT_EQ(expected, hits[i])
                << "entry " << i << " \"" << (expression ? expression->Pattern() : "(none)")
                << "\" ignore case " << (expression && expression->IgnoresCase())
                << " invert " << (expression && expression->Inverts()) << " text \"" << Shown(text)
                << "\"";
        }
    }
}

std::string RandomPattern(std::mt19937& random, int depth = 0) {
    static const char* const atoms[] = {"a",  "b",    "c",     "A",    "ab",   "Ba", ".",
                                        "^",  "$",    "[ab]",  "[^a]", "[A-c]", "\\.", "x",
                                        "\\", "[]a]", "[a-]",  "(",    ")",    "|",  "-",
                                        "\xe9", "[^\x80-\xfe]"};
    static const char* const repeats[] = {"", "", "", "*", "+", "?"};
    std::string pattern;
    for (int n = 1 + static_cast<int>(random() % 5); n > 0; --n) {
        if (depth < 2 && random() % 6 == 0) {
            pattern += "(" + RandomPattern(random, depth + 1) + ")";
        } else {
            pattern += atoms[random() % (sizeof atoms / sizeof atoms[0])];
        }
        pattern += repeats[random() % 6];
    }
    return pattern;
}

std::string RandomText(std::mt19937& random) {
    // NUL is a byte of the text like any other.
    static const char alphabet[] = "aAbBc.x-]\n\xe9\xff\0";
    std::string text;
    for (int n = static_cast<int>(random() % 24); n > 0; --n) {
        text += alphabet[random() % (sizeof alphabet)];
    }
    return text;
}

}  // namespace

TEST(RegularExpressionSet, EveryEntryAnswersAsItsOwnExpression) {
    Rules rules;
    rules.Add("Failed password for (invalid user )?[a-z_][a-z0-9_-]* from [0-9.]+");
    rules.Add("su(\\[[0-9]+\\])?: .*(authentication failure|FAILED SU)");
    rules.Add("ERROR", true);
    rules.Add("^<[0-9]+>");
    rules.Add("port [0-9]+$");
    rules.Add("debug", false, true);
    rules.Add("(unclosed", false, false);  // never matches, inverted or not
    rules.Add("(unclosed", false, true);
    rules.AddNone();                        // a rule without an expression
    rules.Add("", false, false);            // matches everything
    rules.Add("x*", false, true);           // matches nothing
    rules.Add("[^ -~]");
    rules.Add("(^|[^0-9])10\\.[0-9]+", false);
    ConsoleCapture quiet;
    RegularExpressionSet set;
    set.Assign(rules.entries);
    if (RegularExpressionSet::HasScanner()) {
        EXPECT_EQ(8u, set.ScreenedCount());
    }
    ExpectSameAnswers(rules, set,
                      {"", "sshd[1]: Failed password for invalid user bob from 10.0.0.1 port 22",
                       "su[42]: pam_unix(su:auth): authentication failure; user=root",
                       "su: FAILED SU (to root) alice", "disk Error on sda", "<13>debug: port 80",
                       "caf\xe9", "x10.1 but not x910.1", "10.2 at the start"});
}

TEST(RegularExpressionSet, RandomRuleTablesAgreeWithTheirExpressions) {
    std::mt19937 random(8080);
    ConsoleCapture quiet;
    for (int table = 0; table < 30; ++table) {
        Rules rules;
        for (int r = 0; r < 40; ++r) {
            std::string pattern = RandomPattern(random);
            rules.Add(pattern.c_str(), random() % 3 == 0, random() % 5 == 0);
        }
        RegularExpressionSet set;
        set.Assign(rules.entries);
        std::vector<std::string> texts;
        for (int t = 0; t < 60; ++t) {
            texts.push_back(RandomText(random));
        }
        ExpectSameAnswers(rules, set, texts);
    }
}

// The scanner's report is the answer, with no second look: constructs whose
// reading could drift between the two engines must still agree.
TEST(RegularExpressionSet, ScannerReportsAreTheExpressionsAnswers) {
    Rules rules;
    for (const char* pattern :
         {"a^b", "a$b", "(^|x)y", "x(y|$)", "(a|^)b$", "^(a|b)*$", "[]a]", "[^]a]x", "[a-]",
          "[--/]", "[a-c-e]", "\\[\\.\\]", "x+y", "^.*z$", "b*$", "[\x80-\xff]+", "\xe9.",
          "[^a-z]", "[A-z]", "A[^B]C"}) {
        rules.Add(pattern);
        rules.Add(pattern, true);
        rules.Add(pattern, false, true);
        rules.Add(pattern, true, true);
    }
    ConsoleCapture quiet;
    RegularExpressionSet set;
    set.Assign(rules.entries);
    if (RegularExpressionSet::HasScanner()) {
        EXPECT_GT(set.ScreenedCount(), rules.entries.size() / 2);
    }
    ExpectSameAnswers(rules, set,
                      {"", "a", "ab", "b", "y", "xy", "ay", "x", "ba", "bab", "]", "]x", "ax", "-",
                       ".", "/", "d", "[.]", "xxy", "z", "zz\n", "\xe9", "\xe9\xe9", "A_C",
                       "a_c", "AbC", "abc", "\x7f", "`", "[\\^_", "\0"s, "a\0b"s, "\0y"s,
                       "x\0y"s, "A\0C"s, "a\0"s, "]\0x"s, "z\0"s, "\0\0z"s, "\xe9\0"s});
}

// A NUL anywhere in the text hides nothing after it from any entry, screened
// or not, and "$" holds only at the text's real end.
TEST(RegularExpressionSet, NulBytesHideNothingFromAnyEntry) {
    Rules rules;
    rules.Add("Failed password for [a-z]+ from");
    rules.Add("FAILED", true);
    rules.Add("password$");
    rules.Add("^x.y");
    rules.Add("[^a-z ]Failed");
    rules.Add("Failed", false, true);
    ConsoleCapture quiet;
    RegularExpressionSet set;
    set.Assign(rules.entries);
    std::vector<uint8_t> hits;
    set.Match("x\0y Failed password for root from 10.0.0.1"s, hits);
    EXPECT_EQ((std::vector<uint8_t>{1, 1, 0, 1, 0, 0}), hits);
    set.Match(std::string(100, '\0') + "Failed password"s, hits);
    EXPECT_EQ((std::vector<uint8_t>{0, 1, 1, 0, 1, 0}), hits);
    set.Match("password\0"s, hits);
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 0, 1}), hits);
    ExpectSameAnswers(rules, set,
                      {"x\0y Failed password for root from 10.0.0.1"s, "\0password"s,
                       "password\0"s, std::string(100, '\0') + "Failed password"s});
}

TEST(RegularExpressionSet, OneThreadMovingAmongManySetsKeepsAnswering) {
    // More tables than one thread keeps its scanner work space ready for.
    constexpr int kTables = 11;
    std::vector<Rules> rules(kTables);
    std::vector<RegularExpressionSet> sets(kTables);
    for (int t = 0; t < kTables; ++t) {
        std::string word = "word" + std::to_string(t);
        rules[t].Add(word.c_str());
        rules[t].Add(("(" + word + "|other)+ [0-9]+ (x|y)*z").c_str(), true);
        sets[t].Assign(rules[t].entries);
    }
    std::vector<uint8_t> hits;
    for (int round = 0; round < 3; ++round) {
        for (int t = 0; t < kTables; ++t) {
            std::string line = "WORD" + std::to_string(t) + " 42 xyz";
            sets[t].Match(line.c_str(), hits);
            EXPECT_EQ((std::vector<uint8_t>{0, 1}), hits) << t;
            sets[t].Match(line.substr(4).c_str(), hits);
            EXPECT_EQ((std::vector<uint8_t>{0, 0}), hits) << t;
            sets[(t + 1) % kTables].Match(line.c_str(), hits);
            EXPECT_EQ((std::vector<uint8_t>{0, 0}), hits) << t;
        }
    }
}

TEST(RegularExpressionSet, ReassignedAndEmptySetsAnswerForTheirOwnEntries) {
    Rules first;
    first.Add("alpha");
    Rules second;
    second.Add("beta");
    second.Add("gamma");
    RegularExpressionSet set;
    std::vector<uint8_t> hits{7, 7, 7};
    set.Match("alpha beta", hits);
    EXPECT_TRUE(hits.empty());
    set.Assign(first.entries);
    set.Match("alpha beta", hits);
    EXPECT_EQ((std::vector<uint8_t>{1}), hits);
    set.Assign(second.entries);
    set.Match("alpha beta", hits);
    EXPECT_EQ((std::vector<uint8_t>{1, 0}), hits);
    set.Clear();
    EXPECT_EQ(0u, set.Size());
}

TEST(RegularExpressionSet, ThreadsMatchingOneSetGetTheirOwnAnswers) {
    Rules rules;
    rules.Add("(failed|invalid) password for [a-z]+", true);
    rules.Add("port 2+$");
    rules.Add("^sshd", false, true);
    RegularExpressionSet set;
    set.Assign(rules.entries);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            std::vector<uint8_t> hits;
            for (int i = 0; i < 2000; ++i) {
                set.Match("sshd[99]: Failed password for root from 10.1.2.3 port 22", hits);
                wrong += hits != std::vector<uint8_t>{1, 1, 0};
                set.Match("cron: Accepted password for root", hits);
                wrong += hits != std::vector<uint8_t>{0, 0, 1};
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, wrong.load());
}

// Stepping from hit to hit visits exactly the entries that matched, in
// order, wherever they lie among the runs of eight answers read at once.
TEST(RegularExpressionSet, NextHitStepsThroughExactlyTheEntriesThatMatched) {
    std::mt19937 random(7);
    for (const size_t nSize : {0u, 1u, 7u, 8u, 9u, 64u, 1000u}) {
        for (int nRound = 0; nRound < 20; ++nRound) {
            std::vector<uint8_t> hits(nSize);
            std::vector<size_t> expected;
            for (size_t n = 0; n < nSize; ++n) {
                hits[n] = random() % (nRound % 4 == 0 ? 2 : 97) == 0 ? 1 : 0;
                if (hits[n] != 0) {
                    expected.push_back(n);
                }
            }
            std::vector<size_t> visited;
            for (size_t n = RegularExpressionSet::NextHit(hits, 0); n < hits.size();
                 n = RegularExpressionSet::NextHit(hits, n + 1)) {
                visited.push_back(n);
            }
            EXPECT_EQ(visited, expected) << nSize << " entries, round " << nRound;
            EXPECT_EQ(RegularExpressionSet::NextHit(hits, nSize + 3), nSize);
        }
    }
}
