#include "IDS/BastionPolicyEvent.h"

#include <new>

#include "IDS/IDSRule.h"
#include "hostwarden/IPolicyContainer.h"

CBastionPolicyEvent::CBastionPolicyEvent() = default;

CBastionPolicyEvent::~CBastionPolicyEvent() = default;

IPolicyEventInterface* CBastionPolicyEvent::CreatePolicyEvent() {
    return new (std::nothrow) CBastionPolicyEvent();
}

bool CBastionPolicyEvent::Init(IPolicyContainer* pContainer, const char* pszEventName,
                               const char* pszKeyPath) {
    const bool bResult = CPolicyEvent::Init(pContainer, pszEventName, pszKeyPath);
    if (pContainer == nullptr || pszKeyPath == nullptr) {
        return bResult;
    }
    const char* pszShort = pContainer->GetText(pszKeyPath, "shrt", "NA");
    m_strShortName = pszShort != nullptr ? pszShort : "NA";
    auto readInt = [&](const char* pszName, int32_t nDefault) {
        return pContainer->GetInt(pszKeyPath, pszName, &nDefault);
    };
    if (readInt("UseEngineDefault", 1) == 0) {
        uint32_t dwMask = GetEventCode();
        const struct {
            const char* pszName;
            uint32_t dwBit;
        } keys[] = {{"UseSourceAddress", kBastionKeySourceAddress},
                    {"UseDestAddress", kBastionKeyDestAddress},
                    {"UseSourcePort", kBastionKeySourcePort},
                    {"UseDestPort", kBastionKeyDestPort},
                    {"FloodProtection", kBastionKeyFloodProtection}};
        for (const auto& key : keys) {
            if (readInt(key.pszName, 0) != 0) {
                dwMask |= key.dwBit;
            }
        }
        SetEventCode(dwMask);
    }
    return bResult;
}

const char* CBastionPolicyEvent::GetAlertName(Rule* pRule) {
    auto* pIDSRule = dynamic_cast<CIDSRule*>(pRule);
    return pIDSRule != nullptr ? pIDSRule->m_strShortName.c_str() : "";
}
