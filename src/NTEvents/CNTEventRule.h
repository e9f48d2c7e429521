#pragma once
// An event-log rule: which records of which log raise an alert (event id,
// category, type, source name, patterns over the record's insertion
// strings) and which audits the sensor must switch on so that those
// records are written at all (system audit categories, files, registry
// keys).
//
// The ten lists of the Rule base hold the audit lists, in this order:
// global audit names and values, file audit names, the concrete audited
// files, Everyone file audit names and values, key audit names and values,
// Everyone key audit names and values.  An audited path ending in "\..." or
// "/..." stands for the directory and everything below it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Common/Rule.h"
#include "Common/ScanBound.h"
#include "qorToolsLib/RegularExpression.h"

// An expression over one insertion string of a record, by its index
// (0 to 14).
class NewRegularExpression : public RegularExpression {
public:
    NewRegularExpression(const char* pszPattern, bool bIgnoreCase, bool bExcept, uint32_t dwIndex);
    NewRegularExpression(const NewRegularExpression& other);
    using RegularExpression::operator=;
    virtual NewRegularExpression& operator=(const NewRegularExpression& other);
    ~NewRegularExpression() override;

    uint32_t GetIndex() const { return m_dwIndex; }

private:
    uint32_t m_dwIndex;
};

// Copies of a rule share the per-string expressions; each lives as long as
// the last rule holding it.
using NewRegularExpressionList = std::vector<std::shared_ptr<NewRegularExpression>>;

class CNTEventRule : public Rule {
public:
    // The longest file path the audit upkeep builds, terminator included.
    static constexpr size_t kMaxPath = 260;
    // Whoever can write a folder a file pattern names decides how many
    // files match it: a rule audits at most so many, and a look at a
    // pattern reads at most so many names.
    static constexpr size_t kMaxAuditedFiles = 1024;
    static constexpr uint64_t kMaxAuditWalkNames = 16384;

    CNTEventRule();
    CNTEventRule(const CNTEventRule& other);
    ~CNTEventRule() override;

    using Rule::operator=;
    // Rule part, texts and numbers, its own copy of the single expression,
    // the same per-string expressions, copies of the file patterns.
    virtual CNTEventRule& operator=(const CNTEventRule& other);
    Rule* Clone() const override;
    bool IsRule() const override { return true; }

    // The index of the path in the audited files (compared without regard
    // to case), appended when absent.
    int32_t AddAuditFile(const std::string& strPath);
    // Brings the audited files in line with what the file patterns
    // name now: new paths get their file audit (applied at once when asked),
    // vanished ones lose it.  Answers the number of paths added and removed.
    // Past kMaxAuditedFiles new paths are left out (a path that goes makes
    // room at the next look); a pattern whose look was cut short removes
    // none.  Both are said as the rule's bounds.
    int32_t RefreshAuditFiles(bool bApply);
    // Records the audits of the registry keys; answers 0.
    int32_t AddAuditKeys(bool bApply);

    std::vector<std::string>& GlobalAuditNames() { return GetList(1); }
    std::vector<std::string>& GlobalAuditValues() { return GetList(2); }
    std::vector<std::string>& FileAuditNames() { return GetList(3); }
    std::vector<std::string>& AuditedFiles() { return GetList(4); }
    std::vector<std::string>& EveryoneFileAuditNames() { return GetList(5); }
    std::vector<std::string>& EveryoneFileAuditValues() { return GetList(6); }
    std::vector<std::string>& KeyAuditNames() { return GetList(7); }
    std::vector<std::string>& KeyAuditValues() { return GetList(8); }
    std::vector<std::string>& EveryoneKeyAuditNames() { return GetList(9); }
    std::vector<std::string>& EveryoneKeyAuditValues() { return GetList(10); }
    const std::vector<std::string>& AuditedFiles() const { return GetList(4); }
    const std::vector<std::string>& KeyAuditValues() const { return GetList(8); }

    // "Event Log Source": the log; never empty once read.
    std::string m_strLogName;
    // "Event Log SourceName": a prefix of the record's source, or empty.
    std::string m_strSourceName;
    uint16_t m_wEventType = 0;
    int32_t m_nCategory = 0;
    int32_t m_nEventId = 0;
    // "Regular Expression", used only without per-string expressions.
    std::unique_ptr<RegularExpression> m_pRegExp;
    std::unique_ptr<NewRegularExpressionList> m_pRegExpList;
    // The file patterns under the audit key's "Files", expanded.
    std::unique_ptr<std::vector<std::string>> m_pAuditFileSpecs;

private:
    // What each look leaves out: files past the bound, patterns read in
    // part.
    ScanBound m_FilesLeftOut{"at most " + std::to_string(kMaxAuditedFiles) + " files audited", "files"};
    ScanBound m_PatternsCut{"at most " + std::to_string(kMaxAuditWalkNames) +
                                " names read for each wildcard pattern at each look",
                            "patterns read in part"};
};
