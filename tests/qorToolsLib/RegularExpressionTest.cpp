// g++ 12 warns falsely about std::function members inside <regex> at -O2
// with the sanitizers; the standard engine is only the reference here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "qorToolsLib/RegularExpression.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "qorToolsLib/reference/BacktrackingProgram.h"
#include "support/ConsoleCapture.h"

namespace {

using hwtest::ConsoleCapture;
using namespace std::string_literals;
using namespace std::string_view_literals;

struct MatchCase {
    const char* pattern;
    const char* text;
    int expected;
};

void ExpectMatches(const std::vector<MatchCase>& cases, bool ignoreCase = false) {
    for (const MatchCase& c : cases) {
        ConsoleCapture console;
        RegularExpression expression(c.pattern, ignoreCase, false);
        ASSERT_TRUE(expression.IsCompiled()) << c.pattern << ": " << console.Text();
        EXPECT_EQ(c.expected, expression.Match(c.text))
            << "pattern \"" << c.pattern << "\" text \"" << c.text << "\"";
    }
}

std::string CompileError(const char* pattern) {
    ConsoleCapture console;
    RegularExpression expression(pattern, false, false);
    EXPECT_FALSE(expression.IsCompiled()) << (pattern ? pattern : "(null)");
    EXPECT_EQ(0, expression.Match("anything"));
    return console.Text();
}

}  // namespace

// Only what the random comparisons below cannot reach: the dialect's own
// readings of literals, escapes, braces, anchors and brackets.
TEST(RegularExpression, OperatorsAtomsAndAnchorsFollowTheDialect) {
    ExpectMatches({
        {"a.c", "a\nc", 1},    {"a|", "zzz", 1},       {"()", "", 1},
        {"a^b", "a^b", 0},     {"a$b", "a$b", 0},      {"^?a", "ba", 1},
        // A repetition binds to the last character of a literal run only.
        {"abc*", "ab", 1},     {"abc*", "a", 0},       {"abc+d", "abcccd", 1},
        // A backslash takes the next character literally, letters included.
        {"\\d", "d", 1},        {"\\d", "5", 0},       {"\\\\", "a\\b", 1},
        {"a{2}", "a{2}", 1},   {"a{2}", "aa", 0},
        // The empty pattern matches every text; nine groups are allowed.
        {"", "anything", 1},   {"(a)(b)(c)(d)(e)(f)(g)(h)(i)", "xabcdefghi", 1},
    });
}

TEST(RegularExpression, BracketExpressionsKeepTheirLiteralRules) {
    ExpectMatches({
        {"[]a]", "]", 1},         {"[]a]", "b", 0},      {"[^]a]", "]", 0},
        {"[-a]", "-", 1},         {"[a-]", "-", 1},      {"[a-]", "b", 0},
        {"[.*]", "*", 1},         {"[\\]", "\\", 1},     {"[a-c-e]", "d", 1},
        {"[\x7f-\xff]", "caf\xe9", 1},                    {"[\x7f-\xff]", "cafe", 0},
    });
}

TEST(RegularExpression, IgnoreCaseFoldsPatternAndText) {
    ExpectMatches({{"ERROR", "disk error", 1}, {"[A-Z]", "q", 1}, {"error", "DISK ERROR", 1},
                   {"[a-z]+ FAILED", "Login Failed", 1}, {"[^A-Z]", "ABC", 0}},
                  true);
    ExpectMatches({{"ERROR", "disk error", 0}, {"", "X", 1}});
}

TEST(RegularExpression, InvertNegatesOnlyARealAnswer) {
    RegularExpression inverted("fail", false, true);
    EXPECT_EQ(0, inverted.Match("login failed"));
    EXPECT_EQ(1, inverted.Match("login ok"));

    ConsoleCapture console;
    RegularExpression broken("(fail", false, true);
    EXPECT_FALSE(broken.IsCompiled());
    EXPECT_EQ(0, broken.Match("login failed"));
    EXPECT_EQ(0, broken.Match("login ok"));
    EXPECT_EQ("RegExp Error: unmatched ()\n", console.Text());
}

TEST(RegularExpression, EveryReachableCompileErrorIsPrintedOnce) {
    struct ErrorCase {
        const char* pattern;
        const char* message;
    };
    const ErrorCase cases[] = {
        {"a**", "nested *?+"},
        {"(a)*+", "nested *?+"},
        {"(a", "unmatched ()"},
        {"a)", "unmatched ()"},
        {"ab\\", "trailing \\"},
        {"(a*)*", "*+ operand could be empty"},
        {"^+", "*+ operand could be empty"},
        {"($)*", "*+ operand could be empty"},
        {"[abc", "unmatched []"},
        {"[]", "unmatched []"},
        {"[z-a]", "invalid [] range"},
        {"*a", "?+* follows nothing"},
        {"(?a)", "?+* follows nothing"},
        {"(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)", "too many ()"},
        {"((((((((((a))))))))))", "too many ()"},
    };
    for (const ErrorCase& c : cases) {
        EXPECT_EQ(std::string("RegExp Error: ") + c.message + "\n", CompileError(c.pattern))
            << c.pattern;
    }
    EXPECT_EQ("RegExp Error: NULL argument\n", CompileError(nullptr));
}

// Whoever writes a text chooses its bytes: a NUL is one like any other, so
// it hides nothing after it, "." and "[^...]" take it, and "$" holds only
// at the real end.  Every road through the matcher: the machine made ahead
// of time or in a tiny cache, a long literal, a required literal.
TEST(RegularExpression, EveryByteOfTheTextIsMatchedANulLikeAnyOther) {
    const std::string longMarker(80, 'm');
    const struct {
        const char* pattern;
        std::string text;
        int expected;
    } cases[] = {
        {"Failed password", "x\0y Failed password"s, 1},
        {"Failed password", std::string(100, '\0') + "Failed password", 1},
        {"a.c", "a\0c"s, 1},
        {"a[^b]c", "a\0c"s, 1},
        {"^[^a-z]+$", "\0\0\0"s, 1},
        {"a$", "a\0"s, 0},
        {"a$", "\0a"s, 1},
        {"^a", "\0a"s, 0},
        {"^$", "\0"s, 0},
        {"su: .*FAILED SU", "su: \0 FAILED SU"s, 1},
        {"su: .*FAILED SU", "su: \0 FAILED S\0U"s, 0},
        {longMarker.c_str(), "\0"s + longMarker, 1},
        {longMarker.c_str(), longMarker.substr(1) + "\0m"s, 0},
    };
    RegexProgram::Options tiny;
    tiny.tableLimit = 1;
    for (const auto& c : cases) {
        for (const RegexProgram::Options& options : {RegexProgram::Options(), tiny}) {
            auto program = RegexProgram::Compile(c.pattern, options);
            ASSERT_NE(nullptr, program) << c.pattern;
            EXPECT_EQ(c.expected == 1 ? RegexResult::Match : RegexResult::NoMatch,
                      program->Execute(c.text))
                << c.pattern << " on " << c.text.size() << " bytes";
        }
        EXPECT_EQ(c.expected, RegularExpression(c.pattern, false, false).Match(c.text))
            << c.pattern;
        EXPECT_EQ(1 - c.expected, RegularExpression(c.pattern, false, true).Match(c.text))
            << c.pattern;
    }
    EXPECT_EQ(1, RegularExpression("FAILED", true, false).Match("\0disk \0failed"s));
}

// A view without data is the empty text, not an error.
TEST(RegularExpression, AViewWithoutDataIsTheEmptyText) {
    ConsoleCapture console;
    EXPECT_EQ(RegexResult::NoMatch, RegexProgram::Compile("abc")->Execute(std::string_view()));
    EXPECT_EQ(RegexResult::Match, RegexProgram::Compile("^$")->Execute(std::string_view()));
    EXPECT_EQ(1, RegularExpression("abc", false, true).Match(std::string_view()));
    EXPECT_EQ("", console.Text());
}

TEST(RegularExpression, ProgramSizeStopsJustBelow32767Bytes) {
    // Magic, branch, literal node with its NUL, end: 11 bytes around the text.
    std::string largest(RegexProgram::kMaxSize - 11, 'q');
    auto program = RegexProgram::Compile(largest.c_str());
    ASSERT_NE(nullptr, program);
    EXPECT_EQ(RegexProgram::kMaxSize, program->Bytes().size());
    EXPECT_EQ(RegexProgram::kMagic, program->Bytes()[0]);
    EXPECT_EQ(RegexResult::Match, program->Execute(largest.c_str()));

    std::string tooLarge = largest + "q";
    EXPECT_EQ("RegExp Error: regexp too big\n", CompileError(tooLarge.c_str()));
    // Ranges count as every member they expand to.
    std::string classes;
    for (int i = 0; i < 130; ++i) {
        classes += "[\x01-\xff]";
    }
    EXPECT_EQ("RegExp Error: regexp too big\n", CompileError(classes.c_str()));
    // A syntax error anywhere wins over the size.
    EXPECT_EQ("RegExp Error: unmatched ()\n", CompileError((tooLarge + "(").c_str()));
}

TEST(RegularExpression, CopiesRecompileOnlyWhatTheSourceCompiled) {
    RegularExpression source("ERR(OR)?", true, true);
    RegularExpression copy(source);
    EXPECT_EQ(0, copy.Match("an error"));
    EXPECT_EQ(1, copy.Match("fine"));
    RegularExpression assigned("other", false, false);
    assigned = source;
    EXPECT_EQ(0, assigned.Match("an error"));

    RegularExpression never;
    EXPECT_EQ(0, never.Match("anything"));
    EXPECT_FALSE(RegularExpression(never).IsCompiled());
    assigned = never;
    assigned = assigned;
    EXPECT_FALSE(assigned.IsCompiled());
    EXPECT_EQ(0, assigned.Match("anything"));
    copy.FreeProgram();
    EXPECT_EQ(0, copy.Match("fine"));
    EXPECT_TRUE(copy.Compile("fine", false, false));
    EXPECT_EQ(1, copy.Match("all fine"));
}

TEST(RegularExpression, LongTextOnASmallStackDoesNotOverflow) {
    std::string text;
    for (int i = 0; i < 200000; ++i) {
        text += "ab";
    }
    struct Job {
        const std::string* text;
        int withoutEnd = -1;
        int withEnd = -1;
    } job{&text};
    auto body = [](void* argument) -> void* {
        auto* work = static_cast<Job*>(argument);
        RegularExpression loop("^(a|b)*c", false, false);
        work->withoutEnd = loop.Match(work->text->c_str());
        std::string ended = *work->text + "c";
        work->withEnd = loop.Match(ended.c_str());
        return nullptr;
    };
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 256 * 1024);
    pthread_t thread;
    ASSERT_EQ(0, pthread_create(&thread, &attributes, body, &job));
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    EXPECT_EQ(0, job.withoutEnd);
    EXPECT_EQ(1, job.withEnd);
}

// Random patterns from the part of the dialect that the standard library's
// ECMAScript grammar reads the same way: no braces, no escapes inside
// brackets, anchors only at the ends of a branch, no repeated anchors.
class RandomPatterns {
public:
    explicit RandomPatterns(unsigned seed) : m_random(seed) {}

    int Pick(int n) { return static_cast<int>(m_random() % static_cast<unsigned>(n)); }

    std::string Alternation(int depth) {
        std::string text = Branch(depth);
        for (int more = Pick(3); more > 0; --more) {
            text += "|" + Branch(depth);
        }
        return text;
    }

    std::string Text(int maxLength, std::string_view alphabet) {
        std::string text;
        for (int n = Pick(maxLength + 1); n > 0; --n) {
            text += alphabet[Pick(static_cast<int>(alphabet.size()))];
        }
        return text;
    }

private:
    std::string Atom(int depth) {
        static const char* const simple[] = {"a",     "b",   "c",   "ab",   "ba",  ".",
                                             "[ab]",  "[^a]", "[a-b]", "\\.", "abc", "cab"};
        if (depth < 2 && Pick(5) == 0) {
            return "(" + Alternation(depth + 1) + ")";
        }
        return simple[Pick(12)];
    }

    std::string Branch(int depth) {
        std::string text = Pick(8) == 0 ? "^" : "";
        for (int pieces = 1 + Pick(4); pieces > 0; --pieces) {
            static const char* const repeats[] = {"", "", "", "*", "+", "?"};
            text += Atom(depth) + repeats[Pick(6)];
        }
        return text + (Pick(8) == 0 ? "$" : "");
    }

    std::mt19937 m_random;
};

TEST(RegularExpression, AgreesWithAnIndependentEngineOnRandomPatterns) {
    RandomPatterns random(20240611);
    int compared = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string pattern = random.Alternation(0);
        bool ignoreCase = round % 4 == 0;
        ConsoleCapture quiet;
        RegularExpression ours(pattern.c_str(), ignoreCase, false);
        if (!ours.IsCompiled()) {
            continue;
        }
        std::regex theirs(pattern, ignoreCase ? std::regex::ECMAScript | std::regex::icase
                                              : std::regex::ECMAScript);
        for (int t = 0; t < 16; ++t) {
            // Short texts: the reference engine is exponential on some of these.
            // NUL is a byte both engines must take like any other.
            std::string text = random.Text(t < 12 ? 8 : 14, ignoreCase ? "aBc.AC\0"sv : "abc.\0"sv);
            ASSERT_EQ(std::regex_search(text, theirs) ? 1 : 0, ours.Match(text))
                << "pattern \"" << pattern << "\" text \"" << text << "\"";
            ++compared;
        }
    }
    EXPECT_GT(compared, 30000);
}

// The backtracking matcher the rules were first matched with is the
// reference; the automaton must answer as it does, whether its states were
// made at compile time or while matching in a cache small enough to be
// emptied again and again.
TEST(RegularExpression, AnswersAsTheBacktrackingReferenceDoes) {
    RandomPatterns random(777);
    RegexProgram::Options tiny;
    tiny.tableLimit = 1;
    int compared = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string pattern = random.Alternation(0);
        ConsoleCapture quiet;
        auto reference = BacktrackingProgram::Compile(pattern.c_str());
        auto prebuilt = RegexProgram::Compile(pattern.c_str());
        auto cached = RegexProgram::Compile(pattern.c_str(), tiny);
        ASSERT_EQ(reference == nullptr, prebuilt == nullptr) << pattern;
        if (reference == nullptr) {
            continue;
        }
        for (int t = 0; t < 10; ++t) {
            std::string text = random.Text(t < 5 ? 12 : 200, t % 2 ? "abc.\0"sv : "aaab"sv);
            RegexResult expected = reference->Execute(text.data(), text.size());
            ASSERT_EQ(expected, prebuilt->Execute(text))
                << "pattern \"" << pattern << "\" text \"" << text << "\"";
            ASSERT_EQ(expected, cached->Execute(text))
                << "pattern \"" << pattern << "\" text \"" << text << "\"";
            ++compared;
        }
    }
    EXPECT_GT(compared, 20000);
}

// Unanchored search with a backtracking ".*" made these cost the square of
// the text; every one must now cost at most a few steps per text byte, and
// twice the text twice the steps.
TEST(RegularExpression, MatchingStaysLinearOnTextsThatMadeBacktrackingQuadratic) {
    struct Case {
        const char* pattern;
        std::string unit;
        int expected;
    };
    const Case cases[] = {
        {"su(\\[[0-9]+\\])?: .*(authentication failure|FAILED SU)", "su: ", 0},
        {"z|.*[^a];[^b][^c]:q", ";;;", 0},
        {"(a|a)*b$", "a", 0},
        {"a*a*a*a*a*c$", "a", 0},
        {".*x.*y.*z$", "xy", 0},
    };
    RegexProgram::Options tiny;
    tiny.tableLimit = 1;
    for (const Case& c : cases) {
        for (const RegexProgram::Options& options : {RegexProgram::Options(), tiny}) {
            auto program = RegexProgram::Compile(c.pattern, options);
            ASSERT_NE(nullptr, program) << c.pattern;
            size_t previous = 0;
            for (size_t units : {16384u, 32768u}) {
                std::string text;
                for (size_t i = 0; i < units; ++i) {
                    text += c.unit;
                }
                RegexStats stats;
                EXPECT_EQ(c.expected == 1 ? RegexResult::Match : RegexResult::NoMatch,
                          program->Execute(text, &stats));
                // Prebuilt: one step a byte.  Cached: each new state costs a
                // walk over the pattern's graph, never more than one a byte.
                size_t bound = options.tableLimit == 1 ? 200 * text.size() : text.size() + 1;
                EXPECT_LE(stats.steps, bound) << c.pattern << " on " << text.size() << " bytes";
                if (previous != 0) {
                    EXPECT_LE(stats.steps, 2 * previous + 1000) << c.pattern;
                }
                previous = stats.steps;
            }
        }
    }
}

TEST(RegularExpression, AnchorsHoldOnlyAtTheTextsEnds) {
    // "^" and "$" inside loops, alternatives and optional pieces.
    ExpectMatches({
        {"(^a|b)+c", "abbc", 1},  {"(^a|b)+c", "xabc", 1}, {"(^a|b)+c", "xaac", 0},
        {"x(a$|b)", "xa", 1},     {"x(a$|b)", "xab", 0},   {"x(a$|b)", "xbc", 1},
        {"^?$", "", 1},           {"$^", "", 1},           {"$^", "a", 0},
        {"(^|-)a", "-a", 1},      {"(^|-)a", "ba", 0},     {"a(b|$)", "xa", 1},
        {"^$|x", "", 1},          {"^$|x", "y", 0},        {"(a|^b)+c", "bac", 1},
    });
}

TEST(RegularExpression, FoldingTouchesOnlyAsciiCapitals) {
    // Every alignment of the folded copy, across the word-at-a-time path.
    std::string upper = "xxABCDEFGHIJKLMNOPQRSTUVWXYZ@[`{";
    RegularExpression letters("abcdefghijklmnopqrstuvwxyz@\\[`{", true, false);
    for (size_t shift = 0; shift < 9; ++shift) {
        std::string text = std::string(shift, '#') + upper;
        EXPECT_EQ(1, letters.Match(text.c_str())) << shift;
    }
    // Bytes with the high bit set are left alone.
    RegularExpression high("\xe1", true, false);
    EXPECT_EQ(0, high.Match("\xc1\xc1\xc1\xc1\xc1\xc1\xc1\xc1\xc1"));
    EXPECT_EQ(1, high.Match("\xc1\xc1\xc1\xc1\xc1\xc1\xc1\xc1\xe1"));
}

TEST(RegularExpression, ThreadsMatchingAndCompilingTogetherGetTheirOwnAnswers) {
    RegularExpression shared("(failed|invalid) password for [a-z]+ from [0-9.]+", true, false);
    const char* hit = "sshd[99]: Failed password for root from 10.1.2.3 port 22";
    const char* miss = "sshd[99]: Accepted password for root from 10.1.2.3 port 22";
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            RegularExpression own(t % 2 ? "port 2+$" : "^sshd", false, t % 3 == 0);
            for (int i = 0; i < 2000; ++i) {
                wrong += shared.Match(hit) != 1;
                wrong += shared.Match(miss) != 0;
                wrong += own.Match(hit) != (t % 3 == 0 ? 0 : 1);
                if (i % 100 == 0) {
                    RegularExpression copy(own);
                    wrong += copy.Match(miss) != own.Match(miss);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, wrong.load());
}

// Automata too large to make ahead of time fill a cache as texts come; each
// thread must still get its own answer while the cache is emptied under it.
TEST(RegularExpression, ThreadsSharingACachedAutomatonGetTheirOwnAnswers) {
    RegexProgram::Options tiny;
    tiny.tableLimit = 1;
    auto program = RegexProgram::Compile("(a|b)*a(a|b)(a|b)(a|b)x", tiny);
    ASSERT_NE(nullptr, program);
    ASSERT_FALSE(program->IsPrebuilt());
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            for (int i = 0; i < 300; ++i) {
                std::string text;
                for (int n = 0; n < 64; ++n) {
                    text += "ab"[random() % 2];
                }
                bool hit = random() % 2 == 0;
                text += hit ? "aabax" : "bbbbb";
                wrong += program->Execute(text) !=
                         (hit ? RegexResult::Match : RegexResult::NoMatch);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, wrong.load());
}
