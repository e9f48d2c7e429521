#pragma once
// The alert record: one firing of one rule.  An engine makes it (as one of
// the subclasses) when input matches a rule, fills in what it knows, adds
// information pairs and hands it to its response step; from then on it
// belongs to whoever received it last.  The host turns it into an alert
// event through the rule's policy event, which has the record export itself.
//
// Records cross the host's event sink as AgentEventInfo pointers; the magic
// word lets a receiver recognise a pointer that is not a live record.
//
// A record is used by one thread at a time and has no lock of its own.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Common/InfoPair.h"
#include "platform/NetworkNames.h"

class CADFEvent;
class CQgEvent;
class Rule;

class AgentEventInfo {
public:
    static constexpr uint32_t kMagic = 0x31494541;  // "AEI1" in memory
    static constexpr uint16_t kNoPriorityOverride = 999;
    static constexpr int32_t kUnset = -1;
    static constexpr size_t kTimeTextSize = 26;
    // Script variables made room for at once.
    static constexpr size_t kScriptVariableRoom = 12;
    // The longest value an information pair carries.  Values are read from
    // whole lines and datagrams, so their length is their writer's choice;
    // this is the longest piece of a log line the text-log engine hands
    // over, so no value read from a log line is ever cut, while every alert
    // (each of the 1,024 the host may hold queued) stays some kilobytes.
    static constexpr size_t kMaxInfoValueBytes = 4095;

    // The rule is required.  A time of 0 means now.
    AgentEventInfo(Rule* pRule, int64_t tTime);
    AgentEventInfo(const AgentEventInfo& other);
    // Deep: the target ends with its own copies of every text and pair.
    virtual AgentEventInfo& operator=(const AgentEventInfo& other);
    virtual ~AgentEventInfo();
    // A new record of the subclass, made with its copy constructor.
    virtual AgentEventInfo* Clone() const = 0;
    // The record's attributes into the alert event.  Each subclass calls the
    // base body (AgentEventInfo::FillADFEvent, ::FillQgEvent) with the same
    // event, and may write its own before or after.
    virtual void FillADFEvent(CADFEvent& event) = 0;
    virtual void FillQgEvent(CQgEvent& event) = 0;

    // One attribute each into the sensor parameters of an alert event; see
    // AgentEventInfoExport.cpp for the rule they share.
    virtual void ExportAttackOrigin(CADFEvent& event);
    virtual void ExportApplication(CADFEvent& event);
    virtual void ExportResourceID(CADFEvent& event);
    virtual void ExportResourceSubID(CADFEvent& event);
    virtual void ExportUserName(CADFEvent& event);

    virtual uint32_t GetRecordKind() const;
    // The rule's name; "Rule Error" without a rule.
    virtual std::string GetRuleName() const;
    // The value of the first pair of that exact name: 0, or -1 (value
    // untouched) when there is none.
    virtual int32_t GetInfoPairValue(const char* pszName, std::string& strValue) const;
    virtual int32_t GetScriptVariableValue(const char* pszName, std::string& strValue) const;
    virtual void SetAlertType(int32_t nAlertType);
    virtual int32_t GetAlertType() const;
    // Every information pair into the alert parameters; a later pair of a
    // name replaces an earlier one.
    virtual void ExportAlertParameters(CADFEvent& event);
    // The rule name and the pairs, on standard output.
    virtual void Dump();
    // "time: from source to destination", the CSV and the short forms.
    virtual std::string GetSummaryText();
    virtual std::string GetCsvText();
    virtual std::string GetShortText();
    virtual void ExportAttackSuccessful(CADFEvent& event);
    virtual void ExportDestinationAddress(CADFEvent& event);
    virtual void ExportDestinationEthernetAddress(CADFEvent& event);
    virtual void ExportDestinationPort(CADFEvent& event);
    virtual void ExportDestinationPortName(CADFEvent& event);
    virtual void ExportIANAProtocolId(CADFEvent& event);
    virtual void ExportSourceAddress(CADFEvent& event);
    virtual void ExportSourceEthernetAddress(CADFEvent& event);
    virtual void ExportSourcePort(CADFEvent& event);
    virtual void ExportSourcePortName(CADFEvent& event);

    // An information pair's value from a rule's template and the text that
    // matched: alternatives split at "|", each either a value of its own or
    // a prefix, the marker "{!}" and a suffix, the prefix matching where it
    // first fits ("*" skips up to the character after it).  Empty when no
    // alternative fits.  The whole text is read, however long: the time it
    // takes grows with the text's length times the template's, never with
    // the square of the text's, so whoever writes the text cannot make it
    // costly.
    static void ResolveInfoTemplate(std::string_view strTemplate, std::string_view strText,
                                    std::string& strOut);
    // Field `nField` (counted from 0; below 0 counts as 0) of a line split at
    // runs of blanks, tabs, line ends and "%"; empty when there is none.  The
    // line ends at its end or at its first NUL, and is read where it lies.
    static void GetTextField(int nField, std::string_view strLine, std::string& strOut);

    // An integer text (base 10, or 0 for any base) read as far as it goes,
    // with leading blanks and a sign, as a signed 32-bit number that
    // saturates; 0 without digits.
    static int32_t ReadInteger(const std::string& strText, int nBase);

    // Whether a pointer handed over as a record is a live one.
    static bool IsRecord(const AgentEventInfo* pRecord);

    Rule* GetRule() const { return m_pRule; }
    void SetRule(Rule* pRule) { m_pRule = pRule; }
    int64_t GetTime() const { return m_tTime; }

    // Text setters; a null text leaves the field as it is.
    void SetApplicationText(const char* pszText);
    void SetResourceSubIDText(const char* pszText);
    void SetUserDomainText(const char* pszText);
    void SetUserNameText(const char* pszText);
    void SetSourceEthernetText(const char* pszText);
    void SetDestinationEthernetText(const char* pszText);
    void SetAttackOriginText(const char* pszText);
    // "IPAddr: " and the dotted form of the (network-order) address.
    void SetAttackOriginAddress(uint32_t dwAddress);
    // "NTHost: " and the host name.
    void SetAttackOriginHost(const char* pszHost);

    const std::optional<std::string>& GetApplication() const { return m_strApplication; }
    const std::optional<std::string>& GetResourceSubID() const { return m_strResourceSubID; }
    const std::optional<std::string>& GetUserDomain() const { return m_strUserDomain; }
    const std::optional<std::string>& GetUserName() const { return m_strUserName; }
    const std::optional<std::string>& GetSourceEthernet() const { return m_strSourceEthernet; }
    const std::optional<std::string>& GetDestinationEthernet() const {
        return m_strDestinationEthernet;
    }
    const std::optional<std::string>& GetAttackOrigin() const { return m_strAttackOrigin; }

    // Appends a pair.  A pair named exactly "SourceIP" also sets the source
    // address from its value, read as an integer literal (decimal, "0x"
    // hexadecimal or leading-0 octal).  A value longer than kMaxInfoValueBytes
    // is cut there (before a character that the cut would split), and the
    // cut is said as a bound naming the rule and the pair, counting the
    // bytes left out.
    void AddInfoPair(const std::string& strName, std::string_view strValue);
    void AddInfoPair(const char* pszName, const char* pszValue);
    void AddScriptVariable(const std::string& strName, const std::string& strValue);
    void AddScriptVariable(const char* pszName, const char* pszValue);
    // Deletes the first variable of that exact name, if any.
    void RemoveScriptVariable(const char* pszName);
    // Replaces any variable of that name; the new one goes last.
    void SetScriptVariable(const char* pszName, std::string strValue);
    void ClearInfoPairs() { m_InfoPairs.clear(); }
    void ClearScriptVariables() { m_ScriptVariables.clear(); }
    const InfoPairList& GetInfoPairs() const { return m_InfoPairs; }
    InfoPairList& GetInfoPairs() { return m_InfoPairs; }
    const InfoPairList& GetScriptVariables() const { return m_ScriptVariables; }

    // Dotted texts, converted on first use and kept ("0.0.0.0" when never
    // set); the source text is redone after a "SourceIP" pair.
    const char* GetSourceAddressText();
    const char* GetDestinationAddressText();
    // The local calendar time, as "Thu Jan  1 00:00:00 1970"; converted on
    // first use and kept.
    const char* GetTimeText();

    // The service the system registers for the port under the protocol, or
    // "Port# " and the port number.
    static void GetPortName(uint16_t wPort, std::string& strName, const char* pszProtocol);
    // The sensor's own address, exported for records without a source.
    static void SetDefaultSourceAddress(const char* pszAddress);
    static std::string GetDefaultSourceAddress();
    // This machine's name, looked up by the first record made while it is
    // still unknown.
    static std::string GetHostNameText();

    // Fields the engines set directly.  An engine that gives an address or
    // the protocol id also sets its flag: the export decides by the flags.
    uint32_t m_dwEventId = 0;
    uint16_t m_wPriorityOverride = kNoPriorityOverride;
    int32_t m_nSourcePort = kUnset;
    uint32_t m_dwSourceAddress = 0;  // network byte order
    bool m_bSourceAddressSet = false;
    int32_t m_nDestinationPort = kUnset;
    uint32_t m_dwDestinationAddress = 0;
    bool m_bDestinationAddressSet = false;
    uint32_t m_dwIANAProtocolId = 0;
    bool m_bIANAProtocolIdSet = false;
    int32_t m_nAttackSuccessful = kUnset;
    int32_t m_nResourceId = kUnset;

private:
    static void FillHostName();
    void UpdateAlgorithmId(CADFEvent& event, const std::string& strValue);

    // First, so a foreign pointer is told apart before anything else is read.
    uint32_t m_dwMagic = kMagic;
    InfoPairList m_InfoPairs;
    InfoPairList m_ScriptVariables;
    Rule* m_pRule = nullptr;
    char m_szSourceAddress[plat::kDottedAddressSize] = {};
    char m_szDestinationAddress[plat::kDottedAddressSize] = {};
    std::optional<std::string> m_strDestinationEthernet;
    std::optional<std::string> m_strSourceEthernet;
    std::optional<std::string> m_strAttackOrigin;
    std::optional<std::string> m_strApplication;
    std::optional<std::string> m_strResourceSubID;
    std::optional<std::string> m_strUserDomain;
    std::optional<std::string> m_strUserName;
    int64_t m_tTime = 0;
    char m_szTimeText[kTimeTextSize] = {};
    int32_t m_nAlertType = 0;
};
