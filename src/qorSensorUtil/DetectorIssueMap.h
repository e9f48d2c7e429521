#pragma once
// The table of the signature module's detections ("issues"): read from
// "issues.csv", looked up by issue id and by check name.  The owner loads it
// before the look-ups start; it is read-only afterwards and has no lock.

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

class ICSFHostServices;

struct DetectorIssue {
    int32_t m_nId = 0;
    std::string m_strCheckName;
    bool m_bFirstFlag = false;
    bool m_bSecondFlag = false;
    int32_t m_nNumber = 0;
};

class DetectorIssueMap {
public:
    DetectorIssueMap();
    virtual ~DetectorIssueMap();
    // Every record as "id=", "chkName=" lines, each record followed by an
    // empty line.
    virtual void Print(std::ostream& stream) const;

    // The host's logger for the map's trace lines; not owned.
    void SetLogger(ICSFHostServices* pLogger) { m_pLogger = pLogger; }

    // Reads the file (the one named before when `fileName` is empty).  True
    // when it opened and held at least one record, even if every line was
    // skipped.  A file that cannot be opened leaves the map as it was.
    bool LoadIssueFile(const std::string& fileName);

    // The check name of the first record with the id; "" when none has it.
    const std::string& FindIssue(int32_t nId) const;
    // The id of the first record with the check name (exact); -1 when none.
    int32_t FindIssueId(const std::string& checkName) const;
    bool GetIssue(int32_t nId, DetectorIssue& issue) const;

    const std::string& GetFileName() const { return m_strFileName; }
    const std::string& GetErrorText() const { return m_strErrorText; }
    size_t GetCount() const { return m_records.size(); }

private:
    void Clear();
    void AddRecord(DetectorIssue issue);
    void BuildIndexes();
    void SaveError(const char* pszWhat);

    std::vector<DetectorIssue> m_records;
    std::unordered_map<int32_t, size_t> m_idIndex;
    std::map<std::string, size_t> m_nameIndex;
    std::string m_strFileName;
    std::string m_strErrorText;
    std::string m_strEmpty;
    ICSFHostServices* m_pLogger = nullptr;
};
