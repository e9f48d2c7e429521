#pragma once
// How the IDS master learns that its slaves have started capturing.  Each
// slave thread reports in once when it enters its body and takes its slave
// number from a process-wide counter that is never reset.  Readiness is
// counted per start round: the master opens a round before it starts (or
// resumes) its slaves, so reports from an earlier start prove nothing about
// this one, and it waits for the round with a time limit of its own choice.

#include <condition_variable>
#include <cstdint>
#include <mutex>

class SlaveReadyList {
public:
    static SlaveReadyList& Instance();

    // Opens a new round: no slave counts as ready in it yet.  Answers the
    // round's number.
    uint32_t BeginRound();
    // Called by a slave thread on entry: stores its slave number (0 for the
    // first slave of the process) in `dwNumber`, then marks it ready in the
    // current round, so whoever sees it ready sees its number too.
    void ReportReady(uint32_t& dwNumber);

    uint32_t ReadyCount() const;
    uint32_t Round() const;
    // True when at least `dwSlaves` slaves reported in the current round;
    // always true for 0.
    bool AllReady(uint32_t dwSlaves) const;
    // Waits until AllReady(dwSlaves) or `dwTimeoutMs` passed (plat::kInfinite:
    // no limit); answers AllReady.
    bool WaitAllReady(uint32_t dwSlaves, uint32_t dwTimeoutMs) const;

private:
    SlaveReadyList() = default;

    mutable std::mutex m_Lock;
    mutable std::condition_variable m_Changed;
    uint32_t m_dwRound = 0;
    uint32_t m_dwReady = 0;
    uint32_t m_dwStarted = 0;
};
