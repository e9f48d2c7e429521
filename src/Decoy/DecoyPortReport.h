#pragma once
// What became of the decoy rules' ports when the engine last opened them,
// for the host's summary and for the operator.  The engine opens its ports
// on its own thread (the first time some seconds after start-up), while the
// summary of a start-up, reload or resume is made on the command thread:
// the summary names as watched only ports that were opened, and says when
// the ports open while that is still to come.
//
// Each port that could not be opened is said once per opening, as an error
// in the log and on the console.  The summary of the command that started
// the run (a start-up without the first wait, a reload, a resume: these
// open the ports at once) waits for the opening and says the failures on
// its own thread, so that they are among what that command's load said.
// The failures of the first opening, which comes long after its start-up,
// are said by the engine thread when they are known, and so are those no
// summary took within kClaimWait.  A failure said that a later opening no
// longer meets (the port was freed, and opened at a resume) is taken back
// from the host's findings (CSFNoticeFindingEnded).

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

struct DecoyPortOutcome {
    enum class Kind {
        kOpen,
        kInUse,     // another program listens on the port
        kNoRight,   // binding needs root or the bind capability
        kShared,    // another rule's port: that rule listens on it
        kNoRoom,    // beyond the port table
        kNoSocket,
        kBind,
        kListen,
    };
    uint16_t m_wPort = 0;
    std::string m_strRule;
    Kind m_Kind = Kind::kOpen;
    // kInUse: who holds the port, when that can be found; kShared: the rule
    // that listens on it.
    std::string m_strDetail;
    // The socket error of kNoSocket, kBind and kListen.
    uint32_t m_dwError = 0;
};

class DecoyPortReport {
public:
    // A thread run of the engine is about to start: until it has opened the
    // ports, they are being opened.
    void BeginRun();
    // The run waits `dwMs` before it opens the ports.
    void BeginFirstWait(uint32_t dwMs);
    static constexpr std::chrono::seconds kClaimWait{60};

    // The run opened the ports as `outcomes` say.  With `bSayNow` (the run
    // waited first, so no summary waits for it) the failures are said at
    // once; otherwise they are left for the summary to take.
    void Publish(std::vector<DecoyPortOutcome> outcomes, bool bSayNow);
    // Says the failures of the last opening when no summary took them
    // within kClaimWait.  The engine thread calls it at every pass.
    void SayUnclaimed();
    // No run holds the ports for the rules in force: the run ended before
    // it opened them, or the rules were read again.
    void Forget();

    // The summary's words for `ports` (each enabled rule's port, each
    // once).  While a run is opening them, waits up to `wait` for it.
    // False when none of them could be opened.
    bool Describe(const std::vector<uint16_t>& ports, std::chrono::milliseconds wait,
                  std::string& strText);

    // The operator's line for a port that was not opened: the rule, the
    // port, the reason in words and what to do.
    static std::string FailureText(const DecoyPortOutcome& outcome);
    // Whether the last opening left a port closed for a cause that may
    // pass (another program held it, the socket failed): another opening
    // may take it.
    bool MissesAPortThatMayOpen();

private:
    enum class Stage { kClosed, kStarting, kFirstWait, kKnown };

    std::string DescribeKnownLocked(bool& bInput) const;
    // The failures of the last opening, once.
    std::vector<std::string> TakeFailuresLocked();
    static void Say(const std::vector<std::string>& failures);

    std::mutex m_Lock;
    std::condition_variable m_Changed;
    Stage m_Stage = Stage::kClosed;
    uint32_t m_dwFirstWaitMs = 0;
    std::vector<DecoyPortOutcome> m_Outcomes;
    bool m_bSaid = false;
    // The failures said and not yet seen to end, whatever runs came
    // between: an opening that no longer meets one takes it back.
    std::set<std::string> m_SaidFailures;
    std::chrono::steady_clock::time_point m_Published;
    int m_nWaiters = 0;
};
