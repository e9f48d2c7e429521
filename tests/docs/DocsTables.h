#pragma once
// What the documentation says in a form tests can hold against the code:
// the policy-key tables (each after a marker comment naming the key paths
// it covers) and the command blocks of the README and docs/.

#include <filesystem>
#include <string>
#include <vector>

namespace hwdocs {

// The source tree the documentation and the demo are read from.
inline const std::filesystem::path kSource(HW_SOURCE_DIR);

// One row of a policy-key table.
struct DocumentedKey {
    std::string m_strFile;
    // The key paths the table covers; "*" stands for any one name.
    std::vector<std::string> m_paths;
    // The value's name ("<n>" stands for a number), or "*" for a table row
    // that says any name may be given (the readers list the key's values).
    std::string m_strName;
    // "text", "number", "flag" or "any".
    std::string m_strKind;
    // The default when the row gives one literally ("`3`", or "empty" for
    // the empty text); m_bDefaultGiven says whether it does.
    std::string m_strDefault;
    bool m_bDefaultGiven = false;
};

// One fenced block and the language word after its opening fence.
struct CodeBlock {
    std::string m_strFile;
    std::string m_strLanguage;
    std::string m_strText;
    // For a block after a marker "<!-- alert: NAME -->": the alert whose
    // XML the block quotes lines of, in their order.
    std::string m_strAlert;
};

// README.md and every docs/*.md, in name order.
std::vector<std::string> DocumentFiles();

// The tables after markers "<!-- policy-keys: ... -->" (the sensor's
// policy) or, with `pszMarker` "host-keys", the host's common policy.
std::vector<DocumentedKey> ReadKeyTables(const char* pszMarker = "policy-keys");
std::vector<CodeBlock> ReadCodeBlocks();
// The text of the first fenced block of `strFile` (a name, "rules.md") that
// holds `strMarker`; empty when none does.
std::string BlockHolding(const std::string& strFile, const std::string& strMarker);
// A block of policy lines in a policy file's form: its lines that are not
// empty, CR LF after each.
std::string AsPolicyLines(const std::string& strBlock);

// One value a reader asked for: its key path, name, kind (1 text, 2 number,
// 3 flag) and default.
struct KeyRead {
    std::string m_strPath;
    std::string m_strName;
    int m_nWanted = 0;
    std::string m_strDefault;
};

// Fails the current test for every documented key that no read fits (or
// that is read as another kind, or with another default than documented),
// for every "any name" row whose key no reader listed, and for every read
// that no documented key fits.
void ExpectDocumentedAsRead(const std::vector<DocumentedKey>& documented,
                            const std::vector<KeyRead>& reads,
                            const std::vector<std::string>& listings);

// The messages the tables of troubleshooting.md list: every text in
// backticks in the first cell of a table row.  Capitals in them stand for
// what the message names, and "..." for the rest of it.
std::vector<std::string> ListedMessages();
// Whether `strMessage` (an error or warning, without "ERROR: " or
// "WARNING: ") begins as one of `listed` says.
bool IsListedMessage(const std::string& strMessage, const std::vector<std::string>& listed);

// Whether `strPath` (a key path, "\" first) fits `strPattern`, whose "*"
// names match one name each.
bool PathFits(const std::string& strPattern, const std::string& strPath);
// Whether the value name fits a documented name ("<n>" is one or more digits).
bool NameFits(const std::string& strDocumented, const std::string& strName);

}  // namespace hwdocs
