#pragma once
// The alert record of a decoy connection: the base record plus the
// accepted socket and the connection it belongs to, which travel with every
// copy and are read by nothing downstream.

#include <cstdint>

#include "Common/AgentEventInfo.h"
#include "platform/Sockets.h"

class YieldableCnxn;

class DecoyEvent : public AgentEventInfo {
public:
    // Bound to the rule, timed now.
    explicit DecoyEvent(Rule* pRule);
    DecoyEvent(const DecoyEvent& other) = default;
    ~DecoyEvent() override;

    AgentEventInfo* Clone() const override;
    void FillADFEvent(CADFEvent& event) override;
    void FillQgEvent(CQgEvent& event) override;

    plat::SocketHandle m_hSocket = 0;
    YieldableCnxn* m_pYieldable = nullptr;
};
