#include "qorSensorUtil/DetectorIssueMap.h"

#include <climits>
#include <cstdlib>

#include "hostwarden/ICSFHostServices.h"
#include "platform/TextFile.h"
#include "qorCSFLib/CSFLogTag.h"
#include "qorToolsLib/CsvRecord.h"

// The map has its own logger rather than the plug-in's route, because its
// owner (the signature-module manager) hands it the logger to use.
#define ISSUE_LOG(...)                                                                       \
    do {                                                                                     \
        static CSFLogTag issueLogTag_;                                                       \
        if (m_pLogger != nullptr) {                                                          \
            m_pLogger->Log(&issueLogTag_, kCSFLogCategory, kCSFLogTrace, __LINE__, __FILE__, \
                           __VA_ARGS__);                                                     \
        }                                                                                    \
    } while (0)

namespace {

constexpr uint32_t kMinimumFields = 11;
constexpr uint32_t kNumberField = 12;

// A decimal number with optional leading blanks and sign; 0 without digits.
// Values beyond 32 bits are held at the nearest limit.
int32_t ReadDecimal(const char* pszText) {
    long value = std::strtol(pszText, nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

bool StartsWithYes(const char* pszText) {
    return pszText[0] == 'Y';
}

}  // namespace

DetectorIssueMap::DetectorIssueMap() : m_strFileName("issues.csv") {}

DetectorIssueMap::~DetectorIssueMap() = default;

void DetectorIssueMap::Clear() {
    m_strErrorText.clear();
    m_idIndex.clear();
    m_nameIndex.clear();
    m_records.clear();
}

void DetectorIssueMap::SaveError(const char* pszWhat) {
    ISSUE_LOG("Saving detector issue parsing error: %s: %s", pszWhat, m_strFileName.c_str());
    m_strErrorText = "DetectorIssueMap: " + m_strFileName + ": " + pszWhat + ": " + m_strFileName;
}

bool DetectorIssueMap::LoadIssueFile(const std::string& fileName) {
    ISSUE_LOG("Reading detector issue file: %s", fileName.c_str());
    if (!fileName.empty()) {
        m_strFileName = fileName;
    }
    FILE* file = plat::OpenTextFileForRead(m_strFileName.c_str());
    if (file == nullptr) {
        SaveError("Failed to open file");
        return false;
    }
    if (!m_records.empty()) {
        ISSUE_LOG("Deleting detector issues and indexes");
        Clear();
    }
    uint32_t recordsRead = 0;
    while (CsvRecord* record = CsvRecordParse(file)) {
        ++recordsRead;
        uint32_t fields = CsvRecordFieldCount(record);
        if (fields >= kMinimumFields) {
            DetectorIssue issue;
            issue.m_nId = ReadDecimal(CsvRecordField(record, 0));
            issue.m_strCheckName = CsvRecordField(record, 1);
            issue.m_bFirstFlag = StartsWithYes(CsvRecordField(record, 8));
            issue.m_bSecondFlag = StartsWithYes(CsvRecordField(record, 9));
            issue.m_nNumber =
                fields > kNumberField ? ReadDecimal(CsvRecordField(record, kNumberField)) : 0;
            AddRecord(std::move(issue));
        }
        CsvRecordFree(record);
    }
    std::fclose(file);
    BuildIndexes();
    return recordsRead > 0;
}

void DetectorIssueMap::AddRecord(DetectorIssue issue) {
    ISSUE_LOG("Adding detector issue: %d: %s", issue.m_nId, issue.m_strCheckName.c_str());
    m_records.push_back(std::move(issue));
}

void DetectorIssueMap::BuildIndexes() {
    ISSUE_LOG("Creating detector issue map indexes");
    for (size_t i = 0; i < m_records.size(); ++i) {
        // emplace keeps an existing key, so the first record in file order wins.
        m_idIndex.emplace(m_records[i].m_nId, i);
        m_nameIndex.emplace(m_records[i].m_strCheckName, i);
    }
}

const std::string& DetectorIssueMap::FindIssue(int32_t nId) const {
    auto found = m_idIndex.find(nId);
    return found != m_idIndex.end() ? m_records[found->second].m_strCheckName : m_strEmpty;
}

int32_t DetectorIssueMap::FindIssueId(const std::string& checkName) const {
    auto found = m_nameIndex.find(checkName);
    return found != m_nameIndex.end() ? m_records[found->second].m_nId : -1;
}

bool DetectorIssueMap::GetIssue(int32_t nId, DetectorIssue& issue) const {
    auto found = m_idIndex.find(nId);
    if (found == m_idIndex.end()) {
        return false;
    }
    issue = m_records[found->second];
    return true;
}

void DetectorIssueMap::Print(std::ostream& stream) const {
    for (const DetectorIssue& issue : m_records) {
        stream << "id=" << issue.m_nId << std::endl;
        stream << "chkName=" << issue.m_strCheckName << std::endl << std::endl;
    }
}

#undef ISSUE_LOG
