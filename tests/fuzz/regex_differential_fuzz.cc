// Checks the linear-time matcher against the backtracking reference on
// random patterns and texts: both compile the same patterns with the same
// error, and give the same answer on every text, whether the matcher's
// states were made ahead of time or in a tiny cache; a rule set holding the
// pattern answers as the expression does.
//
// Input layout: one flag byte (1 ignore case, 2 invert, 4 a tiny state
// cache, 8 also through a rule set), the pattern up to the first NUL, then
// the text: every byte after it, NULs included.  Sizes are bounded so the
// reference, which can be slow, stays quick.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Console.h"
#include "qorToolsLib/RegularExpression.h"
#include "qorToolsLib/RegularExpressionSet.h"
#include "qorToolsLib/reference/BacktrackingProgram.h"

namespace {

constexpr size_t kMaxPattern = 96;
constexpr size_t kMaxText = 1024;

std::string g_console;

std::string Folded(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        plat::SetConsoleSink([](std::string_view text) { g_console.append(text); });
        return true;
    }();
    (void)quiet;
    if (size == 0) {
        return 0;
    }
    const uint8_t flags = data[0];
    const bool ignoreCase = flags & 1;
    const bool invert = flags & 2;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t split = rest.find('\0');
    std::string pattern(rest.substr(0, split));
    std::string text;
    if (split != std::string_view::npos) {
        text = std::string(rest.substr(split + 1));
    }
    if (pattern.size() > kMaxPattern || text.size() > kMaxText) {
        return 0;
    }

    // Both engines compile the pattern as the expression would.
    const std::string compiled = ignoreCase ? Folded(pattern) : pattern;
    g_console.clear();
    auto reference = BacktrackingProgram::Compile(compiled.c_str());
    const std::string referenceError = g_console;
    g_console.clear();
    RegexProgram::Options options;
    options.foldCase = ignoreCase;
    if (flags & 4) {
        options.tableLimit = 1;
    }
    auto program = RegexProgram::Compile(compiled.c_str(), options);
    if ((reference == nullptr) != (program == nullptr) || g_console != referenceError) {
        __builtin_trap();
    }
    if (program == nullptr) {
        return 0;
    }

    const std::string referenceText = ignoreCase ? Folded(text) : text;
    RegexResult expected = reference->Execute(referenceText.data(), referenceText.size());
    RegexStats stats;
    if (program->Execute(text, &stats) != expected) {
        __builtin_trap();
    }
    // Each byte costs one step, or one walk over the pattern's graph.
    if (stats.steps > (text.size() + 1) * (16 * pattern.size() + 64)) {
        __builtin_trap();
    }

    RegularExpression expression(pattern.c_str(), ignoreCase, invert);
    const int answer = expression.Match(text);
    if (answer != ((expected == RegexResult::Match) != invert ? 1 : 0)) {
        __builtin_trap();
    }
    if (flags & 8) {
        RegularExpression literal("a", false, false);
        std::vector<const RegularExpression*> table{&literal, &expression, nullptr};
        RegularExpressionSet set;
        set.Assign(table);
        std::vector<uint8_t> hits;
        set.Match(text, hits);
        if (hits.size() != 3 || hits[1] != answer || hits[2] != 1 ||
            hits[0] != literal.Match(text)) {
            __builtin_trap();
        }
    }
    return 0;
}
