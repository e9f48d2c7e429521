#pragma once
// The policy event of Bastion rules: the sensor's policy event with the
// rule's short name as its label and the repeat-filter keys as a mask in
// the event code word.

#include <cstdint>
#include <string>

#include "Common/CPolicyEvent.h"

// Filter key mask bits.
enum : uint32_t {
    kBastionKeySourceAddress = 0x1,
    kBastionKeyDestAddress = 0x2,
    kBastionKeySourcePort = 0x4,
    kBastionKeyDestPort = 0x8,
    kBastionKeyFloodProtection = 0x10,
};

class CBastionPolicyEvent : public CPolicyEvent {
public:
    CBastionPolicyEvent();
    ~CBastionPolicyEvent() override;

    IPolicyEventInterface* CreatePolicyEvent() override;
    bool Init(IPolicyContainer* pContainer, const char* pszEventName,
              const char* pszKeyPath) override;
    // The short name of an IDS rule, "" for any other rule.
    const char* GetAlertName(Rule* pRule) override;

    const std::string& GetShortName() const { return m_strShortName; }

private:
    std::string m_strShortName = "NA";
};
