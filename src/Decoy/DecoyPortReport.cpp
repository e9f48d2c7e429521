#include "Decoy/DecoyPortReport.h"

#include <algorithm>
#include <utility>

#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/ErrorWords.h"

namespace {

constexpr const char kRetried[] = " The port is tried again at the next resume or reload.";

using Kind = DecoyPortOutcome::Kind;

std::string PortList(const std::vector<uint16_t>& ports) {
    std::string strList;
    for (uint16_t wPort : ports) {
        strList += (strList.empty() ? "" : ", ") + std::to_string(wPort);
    }
    return (ports.size() == 1 ? "TCP port " : "TCP ports ") + strList;
}

std::string WaitText(uint32_t dwMs) {
    return dwMs % 1000 == 0 ? std::to_string(dwMs / 1000) + " s" : std::to_string(dwMs) + " ms";
}

std::string ErrorText(uint32_t dwError) {
    return "error " + std::to_string(dwError) + ": " + ErrorWords(dwError);
}

// Who listens on a port found in use.
std::string Holder(const DecoyPortOutcome& outcome) {
    return outcome.m_strDetail.empty() ? std::string("another program") : outcome.m_strDetail;
}

// The few words the summary gives a port that was not opened.
std::string ShortReason(const DecoyPortOutcome& outcome) {
    switch (outcome.m_Kind) {
        case Kind::kInUse:
            return "in use by " + Holder(outcome);
        case Kind::kNoRight:
            return "needs root";
        case Kind::kNoRoom:
            return "beyond the 256 ports";
        case Kind::kNoSocket:
            return "no socket, error " + std::to_string(outcome.m_dwError);
        case Kind::kBind:
            return "bind error " + std::to_string(outcome.m_dwError);
        case Kind::kListen:
            return "listen error " + std::to_string(outcome.m_dwError);
        case Kind::kShared:
        case Kind::kOpen:
            break;
    }
    return "";
}

}  // namespace

std::string DecoyPortReport::FailureText(const DecoyPortOutcome& outcome) {
    const std::string strPort = std::to_string(outcome.m_wPort);
    std::string strText =
        "Decoy rule " + outcome.m_strRule + ": TCP port " + strPort + " is not watched: ";
    switch (outcome.m_Kind) {
        case Kind::kInUse:
            return strText + "it is in use by " + Holder(outcome) +
                   ". Stop that program, or give the rule another port." + kRetried;
        case Kind::kNoRight:
            return strText +
                   "ports below 1024 need root or the bind capability: run the host as root, or "
                   "give its program the capability (setcap cap_net_bind_service=+ep PROGRAM)." +
                   kRetried;
        case Kind::kShared:
            return strText + "rule " + outcome.m_strDetail +
                   " listens on it, and a connection to it is that rule's alert. Give one of the "
                   "two rules another port.";
        case Kind::kNoRoom:
            return strText + "at most 256 decoy ports are opened.";
        case Kind::kNoSocket:
            return strText + "no socket could be made (" + ErrorText(outcome.m_dwError) + ")." +
                   kRetried;
        case Kind::kBind:
            return strText + "it cannot be bound (" + ErrorText(outcome.m_dwError) + ")." + kRetried;
        case Kind::kListen:
            return strText + "it cannot be listened on (" + ErrorText(outcome.m_dwError) + ")." +
                   kRetried;
        case Kind::kOpen:
            break;
    }
    return "";
}

void DecoyPortReport::BeginRun() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Stage = Stage::kStarting;
    m_Outcomes.clear();
    m_Changed.notify_all();
}

void DecoyPortReport::BeginFirstWait(uint32_t dwMs) {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Stage = Stage::kFirstWait;
    m_dwFirstWaitMs = dwMs;
    m_Changed.notify_all();
}

void DecoyPortReport::Publish(std::vector<DecoyPortOutcome> outcomes, bool bSayNow) {
    std::vector<std::string> failures;
    std::vector<std::string> ended;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        // A failure said at an earlier opening that this one does not meet
        // again (the port opened, or fails for another reason now) holds no
        // longer.
        for (auto it = m_SaidFailures.begin(); it != m_SaidFailures.end();) {
            const bool bAgain = std::any_of(outcomes.begin(), outcomes.end(), [&](const DecoyPortOutcome& o) {
                return o.m_Kind != Kind::kOpen && FailureText(o) == *it;
            });
            if (bAgain) {
                ++it;
            } else {
                ended.push_back(*it);
                it = m_SaidFailures.erase(it);
            }
        }
        m_Stage = Stage::kKnown;
        m_Outcomes = std::move(outcomes);
        m_bSaid = false;
        m_Published = std::chrono::steady_clock::now();
        // A summary waiting for the opening says the failures on its own
        // thread.
        if (bSayNow && m_nWaiters == 0) {
            failures = TakeFailuresLocked();
        }
        m_Changed.notify_all();
    }
    for (const std::string& strText : ended) {
        CSFNoticeFindingEnded(strText.c_str());
    }
    Say(failures);
    // A summary that did not wait for this opening named the ports as still
    // to be opened.
    CSFNoticeDescriptionChanged("decoy ports opened");
}

bool DecoyPortReport::MissesAPortThatMayOpen() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Stage == Stage::kKnown &&
           std::any_of(m_Outcomes.begin(), m_Outcomes.end(), [](const DecoyPortOutcome& outcome) {
               return outcome.m_Kind == Kind::kInUse || outcome.m_Kind == Kind::kNoSocket ||
                      outcome.m_Kind == Kind::kBind || outcome.m_Kind == Kind::kListen;
           });
}

void DecoyPortReport::SayUnclaimed() {
    std::vector<std::string> failures;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        if (m_Stage != Stage::kKnown || m_bSaid ||
            std::chrono::steady_clock::now() - m_Published < kClaimWait) {
            return;
        }
        failures = TakeFailuresLocked();
    }
    Say(failures);
}

void DecoyPortReport::Forget() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Stage = Stage::kClosed;
    m_Outcomes.clear();
    m_Changed.notify_all();
}

bool DecoyPortReport::Describe(const std::vector<uint16_t>& ports, std::chrono::milliseconds wait,
                               std::string& strText) {
    std::vector<std::string> failures;
    bool bInput = true;
    {
        std::unique_lock<std::mutex> lock(m_Lock);
        ++m_nWaiters;
        m_Changed.wait_for(lock, wait, [this] { return m_Stage != Stage::kStarting; });
        --m_nWaiters;
        switch (m_Stage) {
            case Stage::kStarting:
                strText = PortList(ports) + ", being opened";
                break;
            case Stage::kFirstWait:
                strText = PortList(ports) + ", not open yet: they open " +
                          WaitText(m_dwFirstWaitMs) + " after start-up";
                break;
            case Stage::kClosed:
                strText = PortList(ports) + ", opened when the engine resumes";
                break;
            case Stage::kKnown:
                strText = DescribeKnownLocked(bInput);
                failures = TakeFailuresLocked();
                break;
        }
    }
    Say(failures);
    return bInput;
}

std::string DecoyPortReport::DescribeKnownLocked(bool& bInput) const {
    std::vector<uint16_t> opened;
    size_t nFailed = 0;
    std::string strFailed;
    std::string strShared;
    for (const DecoyPortOutcome& outcome : m_Outcomes) {
        if (outcome.m_Kind == Kind::kOpen) {
            opened.push_back(outcome.m_wPort);
        } else if (outcome.m_Kind == Kind::kShared) {
            strShared += "; rule " + outcome.m_strRule + " not watched: port " +
                         std::to_string(outcome.m_wPort) + " is rule " + outcome.m_strDetail + "'s";
        } else {
            ++nFailed;
            strFailed += (strFailed.empty() ? "" : ", ") + std::to_string(outcome.m_wPort) +
                         " (rule " + outcome.m_strRule + ": " + ShortReason(outcome) + ")";
        }
    }
    bInput = !opened.empty();
    if (!bInput) {
        return (nFailed == 1 ? "TCP port not opened" : "TCP ports not opened") +
               (strFailed.empty() ? "" : ": " + strFailed) + strShared;
    }
    return PortList(opened) + (strFailed.empty() ? "" : "; not opened: " + strFailed) + strShared;
}

std::vector<std::string> DecoyPortReport::TakeFailuresLocked() {
    std::vector<std::string> failures;
    if (m_bSaid) {
        return failures;
    }
    m_bSaid = true;
    for (const DecoyPortOutcome& outcome : m_Outcomes) {
        if (outcome.m_Kind != Kind::kOpen) {
            failures.push_back(FailureText(outcome));
            m_SaidFailures.insert(failures.back());
        }
    }
    return failures;
}

void DecoyPortReport::Say(const std::vector<std::string>& failures) {
    // The host writes the console copy ("ERROR: ..."), and so knows that
    // the operator has seen it.
    for (const std::string& strText : failures) {
        CSF_LOG(kCSFLogError | kCSFLogConsoleFlag, "%s", strText.c_str());
    }
}
