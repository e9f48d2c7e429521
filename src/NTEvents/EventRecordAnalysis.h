#pragma once
// What the event-log engine does with one record: tests it against its
// rules and makes the alert of each rule it matches, with information
// pairs from the rule's templates over the record's insertion strings
// ("@String<n>", "@Access<n>", "@Sid", "@Sid<n>", "{!}" templates) and the
// record's fields as "__qor_eventlog_" script variables.
//
// The record comes from a file any local process may have written: every
// field is read within the record's own Length, and a part that lies
// outside it (strings, SID, data, names) counts as absent.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/EventLog.h"

class CNTEventRule;
class EventLogInfo;
class ReportLimiter;

// One record's fields, read in place from the bytes handed in (which must
// outlive the view).  Kept by its owner and parsed again for each record,
// so its string list is reused.
class EventRecordView {
public:
    // Insertion strings that take part in matching and templates.
    static constexpr size_t kMaxMatchStrings = 32;

    // False when the bytes hold no record: fewer than a header, or a Length
    // below the header or beyond `dwAvailable`.
    bool Parse(const uint8_t* pRecord, uint32_t dwAvailable);

    uint32_t m_dwLength = 0;
    uint32_t m_dwRecordNumber = 0;
    uint32_t m_dwTimeGenerated = 0;
    uint32_t m_dwTimeWritten = 0;
    uint32_t m_dwEventId = 0;  // all 32 bits
    uint16_t m_wEventType = 0;
    uint16_t m_wNumStrings = 0;  // as the record says
    uint16_t m_wEventCategory = 0;
    uint32_t m_dwUserSidLength = 0;  // 0 also when the SID lies outside
    uint32_t m_dwDataLength = 0;     // 0 also when the data lie outside
    const uint8_t* m_pUserSid = nullptr;
    const uint8_t* m_pData = nullptr;
    std::string m_strSourceName;
    std::string m_strComputerName;
    // The strings found within the record, each NUL-terminated in place:
    // at most kMaxStrings, the most a record reported through the log can
    // have, so a record written otherwise cannot make an alert of tens of
    // thousands of script variables.
    std::vector<const char*> m_Strings;
    static constexpr size_t kMaxStrings = plat::EventLogLayout::kMaxStrings;
    // Strings the record holds past kMaxStrings, not read.
    uint32_t m_dwStringsCut = 0;
};

// Whether the rule fires on the record read from `strLog` under the event
// id `dwEventId` (the low 16 bits of the record's).  Writes the "too big"
// log line for a record with more than 32 strings when the rule looks at
// them; through `pTooBigReports` when given, which then counts the lines
// it leaves out.
bool RuleMatchesRecord(const CNTEventRule& rule, const EventRecordView& record,
                       const std::string& strLog, uint32_t dwEventId,
                       ReportLimiter* pTooBigReports = nullptr);

// The alert of a rule that fired, or null when it cannot be made.
EventLogInfo* MakeEventLogAlert(CNTEventRule* pRule, const EventRecordView& record,
                                uint32_t dwEventId);

// DOMAIN\name of the SID into the buffer of `nSize` characters.  1 (and an
// empty buffer) when the account name alone does not fit; else 0, the
// buffer empty when the lookup failed.
int LookupSidAccountName(const uint8_t* pSid, size_t nSidSize, char* pszBuffer, size_t nSize);

// The same for a SID written as text ("S-1-5-21-..."): 1 when the text
// cannot be read or the SID built.
int LookupSidTextAccountName(const char* pszText, char* pszBuffer, size_t nSize);
