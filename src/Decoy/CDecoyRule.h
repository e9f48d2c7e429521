#pragma once
// A decoy-port rule: one TCP port that nothing on the server is meant to
// use.  A connection to it is reported as a "SuspectPortConnection".

#include <cstdint>

#include "Common/Rule.h"

class CDecoyRule : public Rule {
public:
    CDecoyRule() = default;
    CDecoyRule(const CDecoyRule& other) = default;
    ~CDecoyRule() override;

    using Rule::operator=;
    Rule* Clone() const override;
    bool IsRule() const override { return true; }
    // The rule part, then the port.
    virtual CDecoyRule& operator=(const CDecoyRule& other);

    virtual uint16_t SetPort(uint16_t wPort) { return m_wPort = wPort; }
    virtual uint16_t GetPort() const { return m_wPort; }

private:
    uint16_t m_wPort = 0;
};
