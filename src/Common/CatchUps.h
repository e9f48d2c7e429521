#pragma once
// Inputs catching up after a reload.  An input that kept what arrived while
// a reload kept its rules away (datagrams, frames, runs for the script
// process, events) hands that backlog to its resumed engine, which works
// through it while new input goes on arriving.  Whatever the input loses
// until the backlog is worked through is the reload's: the reload waits,
// after resuming the engines and before it reports, until every input has
// caught up and counted what it lost (InputBounds), so that its report,
// and so a push, says it.
//
// An input begins its catch-up at the resume, when it has a backlog, and
// ends it once the backlog is worked through and its losses are counted;
// an input that kept nothing begins none.  The reload waits with a
// deadline: a backlog a sender can keep growing never holds it, and what
// is still behind at the deadline is said as the reload's warning.
//
//   CatchUp m_CatchUp;
//   m_CatchUp.Begin("adapter eth0");   // at the resume, with a backlog
//   ...
//   m_CatchUp.End();                   // backlog analysed, losses counted

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class CatchUps {
public:
    static constexpr std::chrono::seconds kDefaultDeadline{30};

    static CatchUps& Instance();

    // A catch-up of `input` begins; answers its number, never 0.
    uint64_t Begin(const std::string& input);
    // The catch-up numbered `id` is over (no effect when it is already).
    void End(uint64_t id);
    // Waits until no catch-up is pending or `deadline` has passed, or a
    // command has come for the waiting thread since CommandsCome() answered
    // `qwCommandsSeen`; answers the inputs of those still pending.
    std::vector<std::string> WaitForAll(std::chrono::steady_clock::duration deadline,
                                        uint64_t qwCommandsSeen = kNoCommandSeen);
    static constexpr uint64_t kNoCommandSeen = UINT64_MAX;
    size_t Pending() const;
    // How many WaitForAll wait now.
    size_t Waiting() const;

    // A command waits for the thread a reload runs on (the host woke it):
    // the reload's wait gives way to it, so that a stop, above all, is not
    // held for as long as a sender keeps a backlog growing.
    void CommandCome();
    // How many commands have come so far.
    uint64_t CommandsCome() const;

    // How long a reload waits for its catch-ups (HW_CATCH_UP_SECONDS may
    // set it at start-up).
    std::chrono::steady_clock::duration Deadline() const;
    void SetDeadline(std::chrono::steady_clock::duration deadline);

private:
    CatchUps();

    mutable std::mutex m_lock;
    std::condition_variable m_ended;
    std::map<uint64_t, std::string> m_pending;
    uint64_t m_qwNext = 1;
    size_t m_nWaiting = 0;
    uint64_t m_qwCommands = 0;
    std::atomic<int64_t> m_deadlineNs;
};

// An input's own catch-up: at most one pending at a time, ended by any
// thread (the engine's, or its owner's when the backlog is let go).
class CatchUp {
public:
    CatchUp() = default;
    ~CatchUp() { End(); }
    CatchUp(const CatchUp&) = delete;
    CatchUp& operator=(const CatchUp&) = delete;

    // Begins one, ending the one still pending first.
    void Begin(const std::string& input);
    void End();
    bool Pending() const { return m_qwId.load(std::memory_order_acquire) != 0; }

private:
    std::atomic<uint64_t> m_qwId{0};
};
