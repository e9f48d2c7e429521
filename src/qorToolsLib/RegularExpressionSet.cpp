#include "qorToolsLib/RegularExpressionSet.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>

#ifdef HW_HAVE_HYPERSCAN
#include <hs.h>
#endif

namespace {

inline uint8_t FoldByte(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c - 'A' + 'a') : c;
}

bool IsRepeatOperator(char c) { return c == '*' || c == '+' || c == '?'; }

// Rewrites a pattern that our compiler accepted into the scanner's syntax,
// following the compiler's grammar step by step: groups become
// non-capturing, every character and bracket expression becomes an explicit
// byte class (folding applied), "^" and "$" the scanner's start and end of
// data.  Anything it is unsure of is refused, and that pattern runs its own
// matcher instead.
class ScannerTranslator {
public:
    ScannerTranslator(const char* pattern, bool foldCase, std::string& out)
        : m_parse(pattern), m_foldCase(foldCase), m_out(out) {}

    bool Translate() {
        m_out.clear();
        return Alternation(false) && *m_parse == '\0';
    }

private:
    bool Alternation(bool group) {
        if (group) {
            m_out += "(?:";
        }
        if (!Branch()) {
            return false;
        }
        while (*m_parse == '|') {
            ++m_parse;
            m_out += '|';
            if (!Branch()) {
                return false;
            }
        }
        if (group) {
            if (*m_parse != ')') {
                return false;
            }
            ++m_parse;
            m_out += ')';
        }
        return true;
    }

    bool Branch() {
        while (*m_parse != '\0' && *m_parse != '|' && *m_parse != ')') {
            bool assertion = false;
            if (!Atom(assertion)) {
                return false;
            }
            if (IsRepeatOperator(*m_parse)) {
                // A repeated anchor means little and reads differently
                // elsewhere: leave it to our own matcher.
                if (assertion) {
                    return false;
                }
                m_out += *m_parse++;
            }
        }
        return true;
    }

    bool Atom(bool& assertion) {
        char c = *m_parse++;
        switch (c) {
            case '^':
                assertion = true;
                m_out += "\\A";
                return true;
            case '$':
                assertion = true;
                m_out += "\\z";
                return true;
            case '.':
                m_out += "[\\x00-\\xff]";
                return true;
            case '[':
                return Bracket();
            case '(':
                return Alternation(true);
            case '\\':
                if (*m_parse == '\0') {
                    return false;
                }
                Literal(static_cast<uint8_t>(*m_parse++));
                return true;
            case '\0':
            case '|':
            case ')':
            case '*':
            case '+':
            case '?':
                return false;
            default:
                // One character at a time: a repeat then binds to the last
                // one, as it does in our literal runs.
                Literal(static_cast<uint8_t>(c));
                return true;
        }
    }

    void Literal(uint8_t c) {
        bool members[256] = {};
        members[c] = true;
        EmitClass(members);
    }

    // Members as the compiler writes them: "]" or "-" first, and "-" last,
    // stand for themselves; a range starts after the character before "-".
    bool Bracket() {
        bool negate = false;
        if (*m_parse == '^') {
            negate = true;
            ++m_parse;
        }
        bool members[256] = {};
        if (*m_parse == ']' || *m_parse == '-') {
            members[static_cast<uint8_t>(*m_parse++)] = true;
        }
        while (*m_parse != '\0' && *m_parse != ']') {
            if (*m_parse != '-') {
                members[static_cast<uint8_t>(*m_parse++)] = true;
                continue;
            }
            ++m_parse;
            if (*m_parse == ']' || *m_parse == '\0') {
                members['-'] = true;
                continue;
            }
            int from = static_cast<unsigned char>(m_parse[-2]) + 1;
            int to = static_cast<unsigned char>(m_parse[0]);
            if (from > to + 1) {
                return false;
            }
            for (; from <= to; ++from) {
                members[from] = true;
            }
            ++m_parse;
        }
        if (*m_parse != ']') {
            return false;
        }
        ++m_parse;
        if (negate) {
            for (bool& member : members) {
                member = !member;
            }
        }
        EmitClass(members);
        return true;
    }

    // A byte matches when it (folded, with ignore-case) is a member.
    void EmitClass(const bool (&members)[256]) {
        bool matches[256];
        for (int c = 0; c < 256; ++c) {
            matches[c] = members[m_foldCase ? FoldByte(static_cast<uint8_t>(c)) : c];
        }
        m_out += '[';
        for (int c = 0; c < 256;) {
            if (!matches[c]) {
                ++c;
                continue;
            }
            int last = c;
            while (last + 1 < 256 && matches[last + 1]) {
                ++last;
            }
            char hex[16];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            m_out += hex;
            if (last > c) {
                std::snprintf(hex, sizeof hex, "-\\x%02x", last);
                m_out += hex;
            }
            c = last + 1;
        }
        m_out += ']';
    }

    const char* m_parse;
    bool m_foldCase;
    std::string& m_out;
};

}  // namespace

#ifdef HW_HAVE_HYPERSCAN

namespace {

std::atomic<uint64_t> g_nextScannerId{1};

// Each thread keeps one scratch area, grown to fit every scanner it used;
// growing it keeps it fit for the others, so a thread moving between a few
// rule tables (one per log group) prepares it once per table.
struct ThreadScratch {
    hs_scratch_t* scratch = nullptr;
    std::array<uint64_t, 8> readyFor{};
    size_t nextSlot = 0;

    bool Prepare(const hs_database_t* database, uint64_t id) {
        if (std::find(readyFor.begin(), readyFor.end(), id) != readyFor.end()) {
            return true;
        }
        if (hs_alloc_scratch(database, &scratch) != HS_SUCCESS) {
            return false;
        }
        readyFor[nextSlot] = id;
        nextSlot = (nextSlot + 1) % readyFor.size();
        return true;
    }
    ~ThreadScratch() {
        if (scratch != nullptr) {
            hs_free_scratch(scratch);
        }
    }
};
thread_local ThreadScratch t_scratch;

struct ScanContext {
    const uint8_t* answers;
    uint8_t* hits;
};

// The scanner names a pattern at most once, and exactly when it matches
// somewhere in the text: the translation keeps the language, and whether a
// match exists does not depend on which match either engine would pick.
int OnMatch(unsigned int id, unsigned long long /*from*/, unsigned long long /*to*/,
            unsigned int /*flags*/, void* context) {
    auto* scan = static_cast<ScanContext*>(context);
    scan->hits[id] = scan->answers[id];
    return 0;
}

}  // namespace

struct RegularExpressionSet::Scanner {
    hs_database_t* database = nullptr;
    uint64_t id = g_nextScannerId.fetch_add(1);
    ~Scanner() {
        if (database != nullptr) {
            hs_free_database(database);
        }
    }
};

bool RegularExpressionSet::HasScanner() {
    return true;
}

// Compiles every screened pattern into one database; a pattern the scanner
// refuses runs its own matcher instead, and the rest are compiled again.
void RegularExpressionSet::BuildScanner() {
    m_pScanner.reset();
    std::vector<std::string> patterns;
    std::vector<unsigned int> ids;
    for (size_t i = 0; i < m_entries.size(); ++i) {
        Entry& entry = m_entries[i];
        if (entry.kind != Kind::kScreened) {
            continue;
        }
        std::string folded = entry.expression->Pattern();
        if (entry.expression->IgnoresCase()) {
            for (char& c : folded) {
                c = static_cast<char>(FoldByte(static_cast<uint8_t>(c)));
            }
        }
        std::string translated;
        if (!ScannerPattern(folded.c_str(), entry.expression->IgnoresCase(), translated)) {
            entry.kind = Kind::kDirect;
            continue;
        }
        patterns.push_back(std::move(translated));
        ids.push_back(static_cast<unsigned int>(i));
    }
    while (!patterns.empty()) {
        std::vector<const char*> texts;
        for (const std::string& pattern : patterns) {
            texts.push_back(pattern.c_str());
        }
        std::vector<unsigned int> flags(patterns.size(),
                                        HS_FLAG_SINGLEMATCH | HS_FLAG_ALLOWEMPTY | HS_FLAG_DOTALL);
        auto scanner = std::make_unique<Scanner>();
        hs_compile_error_t* error = nullptr;
        hs_error_t status =
            hs_compile_multi(texts.data(), flags.data(), ids.data(),
                             static_cast<unsigned int>(texts.size()), HS_MODE_BLOCK, nullptr,
                             &scanner->database, &error);
        if (status == HS_SUCCESS) {
            m_pScanner = std::move(scanner);
            return;
        }
        int refused = error != nullptr ? error->expression : -1;
        hs_free_compile_error(error);
        if (refused < 0 || static_cast<size_t>(refused) >= patterns.size()) {
            break;
        }
        m_entries[ids[refused]].kind = Kind::kDirect;
        patterns.erase(patterns.begin() + refused);
        ids.erase(ids.begin() + refused);
    }
    for (unsigned int id : ids) {
        m_entries[id].kind = Kind::kDirect;
    }
}

#else

struct RegularExpressionSet::Scanner {};

bool RegularExpressionSet::HasScanner() {
    return false;
}

void RegularExpressionSet::BuildScanner() {
    for (Entry& entry : m_entries) {
        if (entry.kind == Kind::kScreened) {
            entry.kind = Kind::kDirect;
        }
    }
}

#endif

RegularExpressionSet::RegularExpressionSet() = default;
RegularExpressionSet::~RegularExpressionSet() = default;

void RegularExpressionSet::Assign(const std::vector<const RegularExpression*>& expressions) {
    Clear();
    for (const RegularExpression* expression : expressions) {
        Entry entry;
        entry.expression = expression;
        const RegexProgram* program = expression ? expression->GetProgram() : nullptr;
        if (expression == nullptr) {
            entry.kind = Kind::kAlways;
        } else if (program == nullptr) {
            entry.kind = Kind::kNever;
        } else if (program->MatchesEverything()) {
            entry.kind = expression->Inverts() ? Kind::kNever : Kind::kAlways;
        } else {
            entry.kind = Kind::kScreened;
        }
        m_entries.push_back(entry);
    }
    BuildScanner();
    for (uint32_t i = 0; i < m_entries.size(); ++i) {
        const Entry& entry = m_entries[i];
        m_expressions.push_back(entry.expression);
        // A screened expression the scanner does not name does not match.
        m_baseline.push_back(entry.kind == Kind::kAlways ||
                             (entry.kind == Kind::kScreened && entry.expression->Inverts()));
        m_matched.push_back(entry.kind == Kind::kScreened && !entry.expression->Inverts());
        if (entry.kind == Kind::kDirect) {
            m_direct.push_back(i);
        }
        if (entry.kind == Kind::kDirect || entry.kind == Kind::kScreened) {
            m_unscreened.push_back(i);
        }
    }
}

void RegularExpressionSet::Clear() {
    m_entries.clear();
    m_expressions.clear();
    m_baseline.clear();
    m_matched.clear();
    m_direct.clear();
    m_unscreened.clear();
    m_pScanner.reset();
}

size_t RegularExpressionSet::ScreenedCount() const {
    size_t count = 0;
    for (const Entry& entry : m_entries) {
        count += entry.kind == Kind::kScreened;
    }
    return count;
}

bool RegularExpressionSet::ScannerPattern(const char* pattern, bool foldCase, std::string& out) {
    return pattern != nullptr && ScannerTranslator(pattern, foldCase, out).Translate();
}

size_t RegularExpressionSet::NextHit(const std::vector<uint8_t>& hits, size_t from) {
    // Most texts match none of many entries: the answers are looked at
    // eight at a time.
    if (from >= hits.size()) {
        return hits.size();
    }
    size_t n = from;
    for (; n + 8 <= hits.size(); n += 8) {
        uint64_t eight = 0;
        std::memcpy(&eight, hits.data() + n, sizeof eight);
        if (eight != 0) {
            break;
        }
    }
    while (n < hits.size() && hits[n] == 0) {
        ++n;
    }
    return n;
}

void RegularExpressionSet::Match(std::string_view text, std::vector<uint8_t>& hits) const {
    // What each entry answers when the scanner does not name it: its constant
    // answer, or for a screened expression the answer to "no match".
    hits.assign(m_baseline.begin(), m_baseline.end());
    bool screened = false;
#ifdef HW_HAVE_HYPERSCAN
    if (m_pScanner) {
        ThreadScratch& scratch = t_scratch;
        if (text.size() <= UINT_MAX && scratch.Prepare(m_pScanner->database, m_pScanner->id)) {
            ScanContext context{m_matched.data(), hits.data()};
            // The scanner reads the bytes it is given, however many NULs
            // they hold; an empty view may have no data at all.
            const char* data = text.data() != nullptr ? text.data() : "";
            screened = hs_scan(m_pScanner->database, data, static_cast<unsigned int>(text.size()),
                               0, scratch.scratch, OnMatch, &context) == HS_SUCCESS;
        }
    }
#endif
    for (uint32_t i : screened ? m_direct : m_unscreened) {
        hits[i] = static_cast<uint8_t>(m_expressions[i]->Match(text));
    }
}
