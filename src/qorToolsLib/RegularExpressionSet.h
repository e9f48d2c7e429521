#pragma once
// Many expressions answered for one text at once, as a table of log rules
// needs.  A multi-pattern scanner reads the text once for all of them and
// names the expressions that match.  Each pattern is handed to it rewritten
// construct by construct into the same language (explicit byte classes,
// folding applied), so its answer is the expression's own and no matcher
// runs again: every entry answers exactly as its expression's Match would.
// Expressions the scanner cannot take (or every expression, in a build
// without the scanner) run their own matcher on every text.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qorToolsLib/RegularExpression.h"

class RegularExpressionSet {
public:
    RegularExpressionSet();
    ~RegularExpressionSet();
    RegularExpressionSet(const RegularExpressionSet&) = delete;
    RegularExpressionSet& operator=(const RegularExpressionSet&) = delete;

    // Replaces the entries: entry i answers as expressions[i]->Match would,
    // a null entry always matches.  The expressions must stay unchanged
    // while the set uses them.
    void Assign(const std::vector<const RegularExpression*>& expressions);
    void Clear();

    // Sets hits[i] to 1 when entry i matches the text (every byte of it,
    // NUL bytes included), else 0.  Safe to call from several threads at
    // once; allocates nothing once `hits` has held Size() entries.
    void Match(std::string_view text, std::vector<uint8_t>& hits) const;
    void Match(std::nullptr_t, std::vector<uint8_t>& hits) const = delete;

    // The first entry at or after `from` that `hits`, as Match set them,
    // names as matching; hits.size() when none does.  A caller visits only
    // the entries that matched by stepping from one to the next, which for
    // a text that matches few of many entries costs a fraction of looking
    // at each.
    static size_t NextHit(const std::vector<uint8_t>& hits, size_t from);

    size_t Size() const { return m_entries.size(); }
    // How many entries the scanner screens.
    size_t ScreenedCount() const;

    // The scanner's form of a pattern (already folded when `foldCase`), or
    // false when it has none.
    static bool ScannerPattern(const char* pattern, bool foldCase, std::string& out);
    static bool HasScanner();

private:
    enum class Kind : uint8_t { kAlways, kNever, kScreened, kDirect };
    struct Entry {
        const RegularExpression* expression = nullptr;
        Kind kind = Kind::kNever;
    };
    struct Scanner;

    void BuildScanner();

    std::vector<Entry> m_entries;
    // Per entry: its expression, and its answer unless a matcher runs.
    std::vector<const RegularExpression*> m_expressions;
    std::vector<uint8_t> m_baseline;
    // A screened entry's answer when the scanner names it.
    std::vector<uint8_t> m_matched;
    // Entries that run their own matcher on every text; without a scan
    // result, the screened ones too.
    std::vector<uint32_t> m_direct;
    std::vector<uint32_t> m_unscreened;
    std::unique_ptr<Scanner> m_pScanner;
};
