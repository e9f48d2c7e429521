#include "IDS/IDSConfig.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "Common/ISensorCore.h"
#include "IDS/IDSRule.h"
#include "IDS/PolicyValues.h"
#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/jsFastLock.h"

std::atomic<bool> gIDSEnabled{false};

namespace {

constexpr const char kTemplateTuning[] = "\\template\\config\\tuning";
constexpr uint32_t kDefaultBlockPeriod = 30;

bool StartsWith(const std::string& strText, const char* pszPrefix) {
    return strText.compare(0, std::strlen(pszPrefix), pszPrefix) == 0;
}

bool EndsWith(const std::string& strText, const char* pszSuffix) {
    const size_t nLength = std::strlen(pszSuffix);
    return strText.size() >= nLength && strText.compare(strText.size() - nLength, nLength, pszSuffix) == 0;
}

void CopyCut(char (&szTarget)[128], const std::string& strText) {
    const size_t nLength = std::min(strText.size(), sizeof szTarget - 1);
    std::memcpy(szTarget, strText.data(), nLength);
    szTarget[nLength] = '\0';
}

bool GetBool(IPolicyContainer* pPolicy, const char* pszPath, const char* pszName, bool bDefault) {
    return pPolicy != nullptr ? pPolicy->GetBool(pszPath, pszName, &bDefault) : bDefault;
}

int32_t GetInt(IPolicyContainer* pPolicy, const char* pszPath, const char* pszName, int32_t nDefault) {
    return pPolicy != nullptr ? pPolicy->GetInt(pszPath, pszName, &nDefault) : nDefault;
}

std::string GetText(IPolicyContainer* pPolicy, const std::string& strPath, const char* pszName) {
    const char* pszText = pPolicy != nullptr ? pPolicy->GetText(strPath.c_str(), pszName, "") : "";
    return pszText != nullptr ? std::string(pszText) : std::string();
}

IPolicyContainer* CurrentSensorPolicy() {
    ISensorCore* pSensor = GetSensorCore();
    return pSensor != nullptr ? pSensor->GetCurrentPolicy() : nullptr;
}

void LogTooManyParameters() {
    CSF_LOG(kCSFLogError, "ERROR: Tuning parameters more than maximum %d\n",
            static_cast<int>(TuningBlock::kMaxParams));
}

}  // namespace

bool TuningBlock::Add(const std::string& strName, const std::string& strValue) {
    if (count >= kMaxParams) {
        return false;
    }
    CopyCut(records[count].name, strName);
    CopyCut(records[count].value, strValue);
    ++count;
    return true;
}

CIDSConfig* CIDSConfig::GetInstance() {
    static CIDSConfig* const pInstance = new (std::nothrow) CIDSConfig;
    return pInstance;
}

CIDSConfig::CIDSConfig() = default;

CIDSConfig::~CIDSConfig() = default;

void CIDSConfig::ClearRules() {
    m_BastionRules.Clear();
    m_IDSRules.Clear();
    m_dwTCPRules = m_dwUDPRules = m_dwIPRules = m_dwICMPRules = 0;
    m_numids = 0;
}

int32_t CIDSConfig::Configure(RuleContainer* pRules) {
    jsFastLock guard(m_UpdateLock, true);
    CSF_TRACE(kCSFLogInfo, "entering... m_bIDSInit=%d", m_bIDSInit ? 1 : 0);
    if (m_bIDSInit) {
        return 0;
    }
    ClearRules();
    if (pRules != nullptr) {
        for (Rule* pBase : *pRules) {
            auto* pRule = dynamic_cast<CIDSRule*>(pBase);
            if (pRule == nullptr || !pRule->IsEnabled()) {
                continue;
            }
            if (pRule->m_dwRuleKind == kIDSRuleSignature) {
                m_IDSRules.Add(pRule);
                ++m_numids;
            } else if (pRule->m_dwRuleKind == kIDSRuleBastion) {
                m_BastionRules.Add(pRule);
                CSF_TRACE(kCSFLogInfo,
                          "INCLUDING enabled bastion rule %s %d type %d iplist %s port %d allow %d "
                          "report %d shrt [%s]",
                          pRule->GetName().c_str(), pRule->m_dwEventId, pRule->m_dwProtocolType,
                          pRule->m_strAddresses.c_str(), pRule->m_wPort, pRule->m_wAllow,
                          pRule->m_wReportOnly, pRule->m_strShortName.c_str());
                switch (pRule->m_dwProtocolType) {
                    case kFwProtocolIP: ++m_dwIPRules; break;
                    case kFwProtocolTCP: ++m_dwTCPRules; break;
                    case kFwProtocolUDP: ++m_dwUDPRules; break;
                    case kFwProtocolICMP: ++m_dwICMPRules; break;
                    default: break;
                }
            }
        }
    }
    if (gIDSEnabled.load()) {
        SetIDSConfig();
        BuildFirewallTables();
        if (GetConfigMap(true) == nullptr) {
            CSF_LOG(kCSFLogError, "Failed to initialize IDS config map");
        }
    }
    m_bIDSInit = true;
    CSF_TRACE(kCSFLogInfo, "...leaving");
    return 0;
}

int32_t CIDSConfig::Reset() {
    jsFastLock guard(m_UpdateLock, true);
    ClearRules();
    if (gIDSEnabled.load()) {
        FreeIDSConfig();
        BuildFirewallTables();
        jsFastLock mapGuard(m_ConfigLock, true);
        m_pConfigMap.reset();
        m_RetiredMaps.clear();
    }
    m_bIDSInit = false;
    return 0;
}

void CIDSConfig::FreeIDSConfig() {
    std::unique_lock<std::shared_mutex> responseGuard(m_ResponseLock);
    if (m_idsconf) {
        CSF_TRACE(kCSFLogInfo, "Freeing strings for %d events", m_idsconf->numEntries);
    }
    m_idsconf.reset();
    m_pTuning.reset();
    m_RetiredTables.clear();
    m_RetiredTuning.clear();
}

void CIDSConfig::AddTuningSection(IPolicyContainer* pPolicy, const char* pszSection) {
    auto& params = m_Inputs.sectionParams;
    if (params.size() >= TuningBlock::kMaxParams) {
        return;
    }
    for (const auto& [strName, strText] : ListPolicyValues(pPolicy, pszSection)) {
        if (!StartsWith(strName, "zam.") || EndsWith(strName, "Description")) {
            continue;
        }
        // A switch is handed over as "on" or "off", whichever section holds
        // it; the site's own section decides the value.
        std::string strValue;
        if (pPolicy->GetValueType(kTuning, strName.c_str()) == kPolicyValueBool) {
            strValue = GetBool(pPolicy, kTuning, strName.c_str(), true) ? "on" : "off";
        } else if (pPolicy->GetValueType(pszSection, strName.c_str()) == kPolicyValueBool) {
            strValue = GetBool(pPolicy, pszSection, strName.c_str(), true) ? "on" : "off";
        } else {
            strValue = strText;
        }
        params.emplace_back(strName, strValue);
        if (params.size() >= TuningBlock::kMaxParams) {
            LogTooManyParameters();
            return;
        }
    }
}

void CIDSConfig::AddRuleTuning(TuningBlock& tuning, const CIDSRule& rule) {
    if (tuning.count >= TuningBlock::kMaxParams) {
        return;
    }
    for (const std::string& strItem : rule.m_TValues) {
        const size_t nEquals = strItem.find('=');
        if (nEquals == std::string::npos || nEquals + 1 >= strItem.size()) {
            continue;
        }
        const std::string strName = strItem.substr(0, nEquals);
        const std::string strFullName =
            StartsWith(strName, "zam.") ? strName : "zam." + strName.substr(0, 124);
        tuning.Add(strFullName, strItem.substr(nEquals + 1));
        if (tuning.count >= TuningBlock::kMaxParams) {
            LogTooManyParameters();
            return;
        }
    }
}

bool CIDSConfig::FillEntry(IDSConfigEntry& entry, CIDSRule& rule, const std::string& strChoice,
                           bool bBlockEnabled, const BlockResponseMap& blockMap) {
    uint32_t dwResponse = 0;
    const BlockResponseInfo* pInfo = nullptr;
    if (bBlockEnabled && !strChoice.empty()) {
        const auto found = blockMap.find(strChoice);
        if (found == blockMap.end()) {
            CSF_LOG(kCSFLogError, "Block Response Choice[%s] Not Found for Rule: %s",
                    strChoice.c_str(), rule.GetName().c_str());
            return false;
        }
        pInfo = &found->second;
        if (rule.m_dwParameters[0] == 1) {
            dwResponse = kIDSResponseBlockList | kIDSResponseDynamicBlock;
            CSF_TRACE(kCSFLogInfo, "Response DYN Block ON : EvtName = %s  (parm[0] = %d)",
                      rule.GetName().c_str(), 1);
        } else {
            dwResponse = kIDSResponseBlockList;
            CSF_TRACE(kCSFLogInfo, "Response Block ON : EvtName = %s", rule.GetName().c_str());
        }
    }
    entry.enabled = rule.IsEnabled() ? 1 : 0;
    entry.eventName = rule.GetName();
    entry.blockChoice = bBlockEnabled ? strChoice : std::string();
    entry.issueId = static_cast<uint32_t>(rule.m_nTID);
    entry.response = dwResponse;
    if (dwResponse != 0 && pInfo != nullptr) {
        entry.response_ip.allow = pInfo->allow;
        entry.response_ip.num_ips = ParseAddressList(pInfo->addresses, entry.response_ip.ip, false);
    }
    std::copy(std::begin(rule.m_dwParameters), std::end(rule.m_dwParameters), entry.parm);
    return true;
}

void CIDSConfig::ReadPolicyInputs(IPolicyContainer* pPolicy) {
    m_Inputs = PolicyInputs();
    AddTuningSection(pPolicy, kTemplateTuning);
    AddTuningSection(pPolicy, kTuning);
    m_bAllowAllAck = GetBool(pPolicy, kTuning, "AllowAllAcknowledgementPackets", false);
    m_Inputs.blockEnabled = GetBool(pPolicy, kTuning, "BlockEnabled", false);
    CSF_TRACE(kCSFLogInfo, "BlockEnabled flag is %s", m_Inputs.blockEnabled ? "true" : "false");
    if (m_Inputs.blockEnabled) {
        const int32_t nPeriod = GetInt(pPolicy, "\\config", "DynamicBlockPeriod",
                                       static_cast<int32_t>(kDefaultBlockPeriod));
        if (nPeriod < 0) {
            CSF_LOG(kCSFLogError, "DynamicBlockPeriod %d refused, %d used", nPeriod,
                    static_cast<int>(kDefaultBlockPeriod));
        }
        m_Inputs.dynamicBlockPeriod =
            nPeriod < 0 ? kDefaultBlockPeriod : static_cast<uint32_t>(nPeriod);
    }
    for (Rule* pBase : m_IDSRules) {
        auto* pRule = static_cast<CIDSRule*>(pBase);
        m_Inputs.choices.push_back(
            m_Inputs.blockEnabled && pRule != nullptr
                ? GetText(pPolicy, pRule->m_strPolicyPath + "\\Response\\BLOCK", "Choice")
                : std::string());
    }
}

int32_t CIDSConfig::SetIDSConfig() {
    // What a previous configuration left is retired by the publication, not
    // freed here: Reset frees it.
    ReadPolicyInputs(CurrentSensorPolicy());
    return BuildIDSConfig(GetBlockResponseMap());
}

int32_t CIDSConfig::BuildIDSConfig(const BlockResponseMap& blockMap) {
    std::unique_ptr<TuningBlock> pTuning(new (std::nothrow) TuningBlock);
    if (!pTuning) {
        CSF_LOG(kCSFLogError, "SetIDSConfig:Error allocating memory");
        return 1;
    }
    for (const auto& [strName, strValue] : m_Inputs.sectionParams) {
        pTuning->Add(strName, strValue);
    }

    std::unique_ptr<IDSConfigTable> pTable(new (std::nothrow) IDSConfigTable);
    if (pTable && m_numids != 0) {
        pTable->storage.reset(new (std::nothrow) IDSConfigEntry[m_numids]);
        if (!pTable->storage) {
            pTable.reset();
        }
    }
    if (!pTable) {
        CSF_LOG(kCSFLogError, "IDSConfig:Error allocating memory");
        return 1;
    }
    pTable->entries = pTable->storage.get();
    pTable->capacity = m_numids;
    CSF_TRACE(kCSFLogInfo, "m_numids %d, memlen %d m_idsconf %p", m_numids,
              static_cast<int>(sizeof(IDSConfigTable) + m_numids * sizeof(IDSConfigEntry)),
              static_cast<void*>(pTable.get()));
    pTable->blockEnabled = m_Inputs.blockEnabled;
    pTable->dynamicBlockPeriod = m_Inputs.dynamicBlockPeriod;

    size_t nRule = 0;
    for (Rule* pBase : m_IDSRules) {
        auto* pRule = static_cast<CIDSRule*>(pBase);
        const std::string& strChoice = nRule < m_Inputs.choices.size() ? m_Inputs.choices[nRule] : "";
        ++nRule;
        if (pRule == nullptr || pTable->numEntries >= pTable->capacity) {
            continue;
        }
        IDSConfigEntry& entry = pTable->entries[pTable->numEntries];
        if (!FillEntry(entry, *pRule, strChoice, pTable->blockEnabled, blockMap)) {
            continue;
        }
        AddRuleTuning(*pTuning, *pRule);
        ++pTable->numEntries;
    }

    CSF_LOG(kCSFLogInfo, "ZAM parameters in IDSConfig, total %d", pTuning->count);
    for (uint32_t i = 0; i < pTuning->count; ++i) {
        CSF_LOG(kCSFLogInfo, "    [%d]: %s=%s", i, pTuning->params[i].name, pTuning->params[i].value);
    }
    std::unique_lock<std::shared_mutex> responseGuard(m_ResponseLock);
    if (m_idsconf) {
        m_RetiredTables.push_back(std::move(m_idsconf));
    }
    if (m_pTuning) {
        m_RetiredTuning.push_back(std::move(m_pTuning));
    }
    m_idsconf = std::move(pTable);
    m_pTuning = std::move(pTuning);
    return 0;
}

void CIDSConfig::RebuildForBlockMap(const BlockResponseMap& blockMap) {
    m_bUpdating = true;
    BuildIDSConfig(blockMap);
    if (GetConfigMap(true) == nullptr) {
        CSF_LOG(kCSFLogError, "Failed to initialize IDS config map");
    }
    m_bUpdating = false;
}

int32_t CIDSConfig::BuildFirewallTables() {
    CSF_TRACE(kCSFLogInfo, "Freeing m_fipin fireconf memory");
    m_fipin.reset();
    m_ftcpin.reset();
    m_fudpin.reset();
    m_ficmpin.reset();
    const struct {
        std::unique_ptr<fireconf>& table;
        uint32_t dwProtocol;
        uint32_t dwCount;
        const char* pszError;
    } tables[] = {
        {m_fipin, kFwProtocolIP, m_dwIPRules, "IDSConfig:Error allocating m_fipin memory"},
        {m_ftcpin, kFwProtocolTCP, m_dwTCPRules, "IDSConfig:Error allocating m_ftcpin memory.."},
        {m_fudpin, kFwProtocolUDP, m_dwUDPRules, "IDSConfig:Error allocating m_fudpin memory..."},
        {m_ficmpin, kFwProtocolICMP, m_dwICMPRules, "IDSConfig:Error allocating m_ficmpin memory....."},
    };
    for (const auto& entry : tables) {
        entry.table = fireconf::Make(entry.dwProtocol, entry.dwCount);
        if (!entry.table) {
            m_fipin.reset();
            m_ftcpin.reset();
            m_fudpin.reset();
            m_ficmpin.reset();
            CSF_LOG(kCSFLogError, "%s", entry.pszError);
            return 1;
        }
    }
    for (Rule* pBase : m_BastionRules) {
        auto* pRule = static_cast<CIDSRule*>(pBase);
        fireconf* pTable = const_cast<fireconf*>(GetFireconf(pRule->m_dwProtocolType));
        if (pTable == nullptr || pTable->num_entries >= pTable->capacity) {
            continue;
        }
        fwconfrule& rule = pTable->entries[pTable->num_entries++];
        rule.eventID = pRule->m_dwEventId;
        rule.report = pRule->m_wReportOnly;
        rule.dport = pRule->m_wPort;
        rule.allow = pRule->m_wAllow;
        rule.numIPs = ParseAddressList(pRule->m_strAddresses, rule.ip, true);
    }
    return 0;
}

const fireconf* CIDSConfig::GetFireconf(uint32_t dwProtocol) const {
    switch (dwProtocol) {
        case kFwProtocolIP: return m_fipin.get();
        case kFwProtocolTCP: return m_ftcpin.get();
        case kFwProtocolUDP: return m_fudpin.get();
        case kFwProtocolICMP: return m_ficmpin.get();
        default: return nullptr;
    }
}

const CIDSConfig::ConfigMap* CIDSConfig::GetConfigMap(bool bRebuild) {
    jsFastLock guard(m_ConfigLock, true);
    if (bRebuild) {
        // A slave may be looking a name up in the old map right now.
        if (m_pConfigMap) {
            m_RetiredMaps.push_back(std::move(m_pConfigMap));
        }
        m_pConfigMap.reset(new (std::nothrow) ConfigMap);
        if (!m_pConfigMap) {
            return nullptr;
        }
        try {
            if (m_idsconf) {
                for (uint32_t i = 0; i < m_idsconf->numEntries; ++i) {
                    IDSConfigEntry& entry = m_idsconf->entries[i];
                    m_pConfigMap->emplace(entry.eventName, &entry);
                }
            }
        } catch (const std::bad_alloc&) {
            m_pConfigMap.reset();
            return nullptr;
        }
        CSF_TRACE(kCSFLogInfo, "processed new config");
    }
    return m_pConfigMap.get();
}

bool CIDSConfig::IsKnownEntry(const IDSConfigEntry& entry) const {
    auto holds = [&](const IDSConfigTable* pTable) {
        return pTable != nullptr && &entry >= pTable->entries &&
               &entry < pTable->entries + pTable->numEntries;
    };
    if (holds(m_idsconf.get())) {
        return true;
    }
    for (const auto& pRetired : m_RetiredTables) {
        if (holds(pRetired.get())) {
            return true;
        }
    }
    return false;
}

bool CIDSConfig::GetResponseIP(const IDSConfigEntry& entry, IDSResponseIP& out) const {
    std::shared_lock<std::shared_mutex> guard(m_ResponseLock);
    if (!IsKnownEntry(entry)) {
        out = IDSResponseIP{};
        return false;
    }
    out = entry.response_ip;
    return true;
}

BlockResponseMap CIDSConfig::GetBlockResponseMap() const {
    jsFastLock guard(m_BlockMapLock, true);
    return m_BlockMap;
}

int32_t CIDSConfig::SetBlockResponseMap(const BlockResponseMap& blockMap) {
    jsFastLock guard(m_UpdateLock, true);
    {
        jsFastLock mapGuard(m_BlockMapLock, true);
        if (blockMap == m_BlockMap) {
            CSF_TRACE(kCSFLogInfo, "Response Block Map not changed");
            return 0;
        }
        m_BlockMap = blockMap;
    }
    for (const auto& [strName, info] : blockMap) {
        CSF_TRACE(kCSFLogInfo, "new BlockResponseInfo entry %s", strName.c_str());
        CSF_LOG(kCSFLogInfo, "new BlockResponseInfo entry %s", strName.c_str());
    }
    if (!m_bBlockMapTaken) {
        CSF_TRACE(kCSFLogInfo, "m_pEngMA= %d, m_bIDSInit= %d", m_pEngMA != nullptr ? 1 : 0,
                  m_bIDSInit ? 1 : 0);
        // Entries whose choice the configuration could not find yet are
        // made now.  The engine is not shut down for it: its slaves may be
        // capturing and read the tables being replaced, and no policy is
        // published now to configure from; the inputs kept from the policy
        // and the new map give the new tables, which are published whole.
        if (m_bIDSInit && gIDSEnabled.load()) {
            CSF_TRACE(kCSFLogInfo, "Reinitializing engine config");
            RebuildForBlockMap(blockMap);
        }
        m_bBlockMapTaken = true;
    } else {
        m_bUpdating = true;
        updateIDSConfig();
        m_bUpdating = false;
    }
    return 0;
}

int32_t CIDSConfig::updateIDSConfig() {
    CSF_LOG(kCSFLogInfo, "Entering updateIDSConfig");
    const BlockResponseMap blockMap = GetBlockResponseMap();
    uint32_t dwEntries = 0;
    if (IDSConfigTable* pTable = m_idsconf.get()) {
        dwEntries = pTable->numEntries;
        for (uint32_t i = 0; i < pTable->numEntries; ++i) {
            IDSConfigEntry& entry = pTable->entries[i];
            CSF_LOG(kCSFLogInfo, "pconfig = %p", static_cast<void*>(&entry));
            if (entry.response == 0) {
                continue;
            }
            CSF_LOG(kCSFLogInfo, " Block is enabled for rule %s", entry.eventName.c_str());
            // The new list is built aside and published whole, so a slave
            // never sees half of it.
            IDSResponseIP fresh;
            const auto found = blockMap.find(entry.blockChoice);
            if (found == blockMap.end()) {
                CSF_LOG(kCSFLogInfo, "Resetting block info");
            } else {
                CSF_LOG(kCSFLogInfo, " pconfig->response_ip.allow = %d", entry.response_ip.allow);
                fresh.allow = found->second.allow;
                fresh.num_ips = ParseAddressList(found->second.addresses, fresh.ip, false);
            }
            {
                std::unique_lock<std::shared_mutex> responseGuard(m_ResponseLock);
                entry.response_ip = fresh;
            }
            if (found != blockMap.end()) {
                CSF_LOG(kCSFLogInfo, " pconfig->response_ip.allow = %d", fresh.allow);
                CSF_LOG(kCSFLogInfo, "Updated the above rule with BLOCK RESPONSE info");
            }
        }
    }
    CSF_LOG(kCSFLogInfo, "Leaving updateIDSConfig after parsing %d events", dwEntries);
    return 0;
}

bool CIDSConfig::SetIDSEnabled(bool bEnabled) {
    m_bIDSEnabled = bEnabled;
    return bEnabled;
}

bool CIDSConfig::IsIDSEnabled() {
    return m_bIDSEnabled.load();
}

bool CIDSConfig::GetAllowAllAcknowledgementPackets() {
    return m_bAllowAllAck;
}

bool CIDSConfig::IsUpdatingBlockInfo() {
    return m_bUpdating.load();
}
