#pragma once
// The process-wide list of audited files.  Event-log rules add the files
// they watch; the audit setter restores the files of the last record, writes
// the list into "audit.policy" and applies it.  Applying places audit entries
// for the Everyone account with the rights the rules asked for, and takes
// them off files no rule asks for any more.
//
// The list has no lock: the sensor's command thread uses it while no engine
// thread runs, and otherwise only the event-log engine's thread does.

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "Common/ScanBound.h"
#include "Common/WildcardFileFinder.h"
#include "NTEvents/Audit/AuditRights.h"

class ConfigStore;
class Rule;

// The names a recursive audit reads in its tree, at most: whoever can
// write the tree decides how many it holds, and each is audited at every
// apply.
inline constexpr uint64_t kMaxTreeNames = 16384;

// What the walk of a recursive audit left out: folders too deep to enter,
// and folders read in part or not at all for the names it reads.
struct TreeLeftOut {
    uint64_t m_qwTooDeep = 0;
    uint64_t m_qwUnread = 0;
};

struct FileAuditEntry {
    // Success and failure flag for each file right, in right order.
    std::array<uint8_t, kFileRightCount> m_bSuccess{};
    std::array<uint8_t, kFileRightCount> m_bFailure{};
    // A file or directory, or "$" and a key under HKEY_LOCAL_MACHINE whose
    // text values name the files (as command lines).
    std::string m_strPath;
    std::string m_strAccount;
    // The names of the rules asking for the file, joined by ", "; empty for
    // an entry restored from the record that no rule holds.
    std::string m_strRuleNames;
    uint32_t m_dwRecursive = 0;
    // The folders of a recursive entry's tree its walk left out, too deep
    // to enter or past the names it reads: bounds, each counted once
    // however many applies meet the same folders (applying is no change of
    // the entry).
    mutable ScanBound m_TooDeep{"at most " + std::to_string(WildcardLimits::kDefaultMaxDepth) +
                                    " folders deep below it; what deeper folders hold is not audited",
                                "folders"};
    mutable ScanBound m_Unread{"at most " + std::to_string(kMaxTreeNames) +
                                   " names read in its tree; what the folders past them hold is not "
                                   "audited",
                               "folders"};

    bool HasRights() const;
    void ClearRights();
    // The entry leaves the list: the bounds its tree reached end with it.
    void EndBounds() const;
};

class CFileAudit {
public:
    using EntryMap = std::map<std::string, std::unique_ptr<FileAuditEntry>>;

    // 13 for an empty path or a null rule; 52 when the path was listed (the
    // entry takes the rule's name and rights all the same); 0 for a new
    // entry.  Applies the entry at once when asked and audits are enforced.
    static uint32_t Add(const char* pszPath, const Rule* pRule, uint32_t dwRecursive,
                        bool bApplyNow);
    // 13 for an empty path, 52 when it is not listed, else 0.  The file's
    // audit entries stay as they are.
    static uint32_t Remove(const char* pszPath);
    // Takes the audits off entries no rule holds (and drops them), then
    // places the audits of the others.
    static void ApplyAll();
    // Outcomes are logged; always 0.
    static uint32_t Apply(const FileAuditEntry& entry);

    // Reads the "Files" key of a loaded record back: paths not listed come
    // back without rights or rule names, so applying takes their audits off.
    static void Restore(ConfigStore& store);
    // Writes "Files\file_<n>" for each entry with a right set.
    static void Save(ConfigStore& store);

    // Forgets every rule's claim (rule names and rights) while keeping the
    // entries, before the rules are read again: what no rule re-adds is then
    // taken off by the next ApplyAll.
    static void ClearClaims();

    static const EntryMap& Entries();
    // Empties the list (tests, and process end).
    static void Clear();
};

// Places (or, with no flag set, takes off) the audit entries of `pszAccount`
// on the file, or on the directory tree when `dwRecursive` is nonzero.
// 0, or the code of the (last) failure; failures are logged.  The tree's
// walk enters no folder deeper than a walk may go (WildcardLimits) and reads
// at most kMaxTreeNames names; `pLeftOut`, when given, receives what it
// left out.  A tree answers what stopped its walk: the error of a path it
// could not look at (5 no right to read it, 681 another account's link, 4
// no descriptor left; logged "Failed to read <path> for audit: N"), else
// 234 (more data) when it found nothing because of those bounds (said as
// bounds by CFileAudit::Apply), else 2 when it found nothing at all.
uint32_t SetFileAudit(const char* pszPath, const char* pszAccount, const uint8_t* pSuccess,
                      const uint8_t* pFailure, uint32_t dwRecursive, TreeLeftOut* pLeftOut = nullptr);
