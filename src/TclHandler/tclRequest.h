#pragma once
// A request of the script handler: a command on its way to the script
// process (or a reply on its way back), with what the handler needs to
// finish it.  The request owns its alert record until it hands it on.

#include <cstdint>
#include <memory>
#include <string>

#include "Common/AgentEventInfo.h"
#include "TclHandler/qorTclCommand.h"

class Rule;

class tclRequest : public qorTclCommand {
public:
    enum Action : int32_t { kSend = 1, kReply = 2, kHold = 3, kConnectionFailed = 4 };

    int32_t m_nAction = 0;
    // The rule name (or response name) the scripts are kept under.
    std::string m_strName;
    std::unique_ptr<AgentEventInfo> m_pRecord;
    Rule* m_pRule = nullptr;
    int64_t m_tSent = 0;
    // 0 holds until nothing is pending.
    int32_t m_nHoldSeconds = 0;
};
