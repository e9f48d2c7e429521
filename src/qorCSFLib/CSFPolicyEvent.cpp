#include "qorCSFLib/CSFPolicyEvent.h"

#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFSensor.h"

namespace {

const char kDisplay[] = "DISPLAY";
const char kViewSession[] = "VIEWSESSION";
const char kLogDb[] = "LOGDB";
const char kKill[] = "QGKILL";
const char kLogFiltered[] = "LogFiltered";

struct ResponseRow {
    const char* pszName;
    const char* pszChoice;  // null: any choice
    uint32_t dwBit;
    const char* pszCode;
};

// The first row that matches decides; the code of a mask is that of the
// first row whose bit is set.
const ResponseRow kResponseRows[] = {
    {kDisplay, nullptr, kResponseDisplay, "D"},
    {kLogDb, "LogWithoutRaw", kResponseLogWithoutRaw, "A"},
    {kLogDb, "LogWithRaw", kResponseLogWithRaw, "LR"},
    {kKill, nullptr, kResponseKill, "K"},
    {"VIEW", nullptr, kResponseView, "V"},
    {"SNMP", nullptr, kResponseSnmp, "S"},
    {"OPSEC", nullptr, kResponseOpsec, "F"},
    {"USER SPECIFIED", nullptr, kResponseUserSpecified, "U"},
    {"EMAIL", nullptr, kResponseEmail, "M"},
    {"BANNER", nullptr, kResponseBanner, "B"},
    {"DISABLE", nullptr, kResponseDisable, "I"},
    {"SUSPEND", nullptr, kResponseSuspend, "P"},
    {"BLOCK", nullptr, kResponseBlock, "O"},
    {"SCRIPT", nullptr, kResponseScript, "C"},
};

bool IsDisplayLike(const std::string& name) {
    return name == kDisplay || name == kViewSession || name == kLogDb;
}

// Display and filtered logging are left out of the texts above level 1.
bool HiddenAtLevel(const CSFResponsePair& response, uint32_t dwLevel) {
    return dwLevel > 1 && (response.m_strName == kDisplay ||
                           (response.m_strName == kLogDb && response.m_strChoice == kLogFiltered));
}

}  // namespace

CSFPolicyEvent::CSFPolicyEvent() = default;

CSFPolicyEvent::~CSFPolicyEvent() = default;

uint32_t CSFPolicyEvent::ResponseBit(const std::string& name, const std::string& choice) {
    for (const ResponseRow& row : kResponseRows) {
        if (name == row.pszName && (row.pszChoice == nullptr || choice == row.pszChoice)) {
            return row.dwBit;
        }
    }
    return 0;
}

void CSFPolicyEvent::ApplyResponseMask(const std::string& name, const std::string& choice) {
    m_dwResponseMask |= ResponseBit(name, choice);
}

bool CSFPolicyEvent::Init(IPolicyContainer* pContainer, const char* pszEventName,
                          const char* pszKeyPath) {
    if (pContainer == nullptr || pszKeyPath == nullptr) {
        return true;
    }
    const bool bDisabled = false;
    m_nEnabled = pContainer->GetBool(pszKeyPath, "Enabled", &bDisabled) ? 1 : 0;
    if (m_nEnabled == 0) {
        return true;
    }
    const int32_t nDefaultPriority = 3;
    const int32_t nZero = 0;
    m_wPriority =
        static_cast<uint16_t>(pContainer->GetInt(pszKeyPath, "Priority", &nDefaultPriority));
    m_nNoiseThreshold = pContainer->GetInt(pszKeyPath, "NoiseThreshold", &nZero);
    m_nIgnoreInterval = pContainer->GetInt(pszKeyPath, "IgnoreInterval", &nZero);
    m_strName = pszEventName != nullptr ? pszEventName : "";
    ReadResponses(pContainer, pszKeyPath);
    return true;
}

void CSFPolicyEvent::ReadResponses(IPolicyContainer* pContainer, const char* pszKeyPath) {
    CSFSensor* pSensor = CSFSensor::Current();
    if (pSensor != nullptr && pSensor->UsesQgEvents() != 0) {
        ReadResponsesQg(pContainer, pszKeyPath);
    } else {
        ReadResponsesAdf(pContainer, pszKeyPath);
    }
}

template <typename Visit>
void CSFPolicyEvent::ForEachChosenResponse(IPolicyContainer* pContainer, const char* pszKeyPath,
                                           Visit visit) {
    if (pContainer == nullptr || pszKeyPath == nullptr) {
        return;
    }
    const std::string responseKey = std::string(pszKeyPath) + "\\Response";
    qgStringVector* pNames = nullptr;
    if (!pContainer->GetSubKeyNames(responseKey.c_str(), &pNames) || pNames == nullptr) {
        return;
    }
    // The count is taken in full: a 16-bit index would never end on a list
    // of more than 65,535 names.
    const size_t count = pNames->GetCount();
    for (size_t i = 0; i < count; ++i) {
        std::string name = pNames->GetItem(i);
        std::string choice = pContainer->GetText((responseKey + "\\" + name).c_str(), "Choice", "");
        if (!choice.empty()) {
            visit(name, choice);
        }
    }
    pNames->Release();
}

void CSFPolicyEvent::AddExecuted(const std::string& name, const std::string& choice,
                                 bool bKillFirst) {
    if (bKillFirst && name == kKill) {
        m_executed.push_front(CSFResponsePair{name, choice});
        m_bHasKillResponse = 1;
    } else {
        m_executed.push_back(CSFResponsePair{name, choice});
    }
}

void CSFPolicyEvent::ReadResponsesQg(IPolicyContainer* pContainer, const char* pszKeyPath) {
    ForEachChosenResponse(pContainer, pszKeyPath,
                          [this](const std::string& name, const std::string& choice) {
                              AddExecuted(name, choice, true);
                              ApplyResponseMask(name, choice);
                          });
}

void CSFPolicyEvent::ReadResponsesAdf(IPolicyContainer* pContainer, const char* pszKeyPath) {
    bool bDisplaySeen = false;
    ForEachChosenResponse(
        pContainer, pszKeyPath,
        [this, &bDisplaySeen](const std::string& name, const std::string& choice) {
            if (IsDisplayLike(name)) {
                bDisplaySeen = true;
            } else {
                AddExecuted(name, choice, true);
            }
            m_chosen.push_back(CSFResponsePair{name, choice});
            ApplyResponseMask(name, choice);
        });
    if (bDisplaySeen) {
        m_executed.push_back(CSFResponsePair{kDisplay, "Default"});
    }
}

void CSFPolicyEvent::AddResponse(const std::string& name, const std::string& choice) {
    if (!IsDisplayLike(name)) {
        AddExecuted(name, choice, false);
        m_chosen.push_back(CSFResponsePair{name, choice});
        ApplyResponseMask(name, choice);
        return;
    }
    m_chosen.push_back(CSFResponsePair{name, choice});
    ApplyResponseMask(name, choice);
    for (const CSFResponsePair& response : m_executed) {
        if (response.m_strName == kDisplay) {
            return;
        }
    }
    m_executed.push_back(CSFResponsePair{kDisplay, "Default"});
}

void CSFPolicyEvent::SetResponses(const char* pszResponses) {
    if (pszResponses == nullptr) {
        return;
    }
    std::string text = pszResponses;
    for (;;) {
        size_t colon = text.find(':');
        if (colon == std::string::npos) {
            return;
        }
        // The item ends at the first "," after its ":", so a stray "," in
        // the name cannot make the choice run backwards.
        size_t comma = text.find(',', colon);
        size_t end = comma == std::string::npos ? text.size() : comma;
        std::string name = text.substr(0, colon);
        std::string choice = text.substr(colon + 1, end - colon - 1);
        text.erase(0, comma == std::string::npos ? text.size() : comma + 1);
        AddResponse(name, choice);
    }
}

const char* CSFPolicyEvent::GetResponseCode() {
    for (const ResponseRow& row : kResponseRows) {
        if ((m_dwResponseMask & row.dwBit) != 0) {
            return row.pszCode;
        }
    }
    return "";
}

std::string CSFPolicyEvent::GetResponseListText(uint32_t dwLevel) {
    std::string text;
    for (const CSFResponsePair& response : m_chosen) {
        if (HiddenAtLevel(response, dwLevel)) {
            continue;
        }
        if (!text.empty()) {
            text += ",";
        }
        text += response.m_strName + "=" + response.m_strChoice + ":0";
    }
    return text;
}

bool CSFPolicyEvent::LogsToDatabase(uint32_t dwLevel) {
    if (m_dwForcedDatabaseLog != 0) {
        return true;
    }
    for (const CSFResponsePair& response : m_chosen) {
        if (response.m_strName == kLogDb && !HiddenAtLevel(response, dwLevel)) {
            return true;
        }
    }
    return false;
}

const CSFResponseList* CSFPolicyEvent::GetResponses() {
    return &m_executed;
}

int32_t CSFPolicyEvent::IsEnabled() {
    return m_nEnabled;
}

const char* CSFPolicyEvent::GetName() {
    return m_strName.c_str();
}

uint16_t CSFPolicyEvent::GetPriority() {
    return m_wPriority;
}

uint32_t CSFPolicyEvent::GetEventCode() {
    return m_dwEventCode;
}

int32_t CSFPolicyEvent::GetNoiseThreshold() {
    return m_nNoiseThreshold;
}

uint32_t CSFPolicyEvent::GetResponseMask() {
    return m_dwResponseMask;
}

int32_t CSFPolicyEvent::GetIgnoreInterval() {
    return m_nIgnoreInterval;
}

uint8_t CSFPolicyEvent::HasKillResponse() {
    return m_bHasKillResponse;
}

uint32_t CSFPolicyEvent::Release() {
    delete this;
    return 0;
}

int32_t CSFPolicyEvent::SetEnabled(int32_t nEnabled) {
    m_nEnabled = nEnabled;
    return nEnabled;
}

uint16_t CSFPolicyEvent::SetPriority(uint16_t wPriority) {
    m_wPriority = wPriority;
    return wPriority;
}

uint32_t CSFPolicyEvent::SetEventCode(uint32_t dwCode) {
    m_dwEventCode = dwCode;
    return dwCode;
}

void CSFPolicyEvent::SetName(const char* pszName) {
    m_strName = pszName != nullptr ? pszName : "";
}

int32_t CSFPolicyEvent::SetNoiseThreshold(int32_t nThreshold) {
    m_nNoiseThreshold = nThreshold;
    return nThreshold;
}

int32_t CSFPolicyEvent::SetIgnoreInterval(int32_t nInterval) {
    m_nIgnoreInterval = nInterval;
    return nInterval;
}

const char* CSFPolicyEvent::GetSecondName() {
    return m_strSecondName.c_str();
}
