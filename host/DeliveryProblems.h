#pragma once
// What keeps the host from delivering an alert, or from carrying out one of
// its responses, is often learnt only when the alert comes: its name has no
// policy event, a formatter cannot read it, a trap cannot be sent, a
// program cannot be started.  Each such problem is said at once, as an
// error on the console and in the log (and so, through the host's services,
// among the findings of the policy in force); while it goes on it is said
// again, on the console and in the log only, at most once a minute with
// how often it happened, and the stop lists every problem with its count.
//
// A problem is its text, which names the alert or the response and says
// why ("the alert \"HW-V4\" is dropped: no policy event is registered
// under its name"); alerts of one rule meeting one problem count as one.
// At most kMaxProblems texts are told apart; further ones are counted
// together.  Any thread may note a problem.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "qorToolsLib/ReportLimiter.h"

class HostServices;

class DeliveryProblems {
public:
    explicit DeliveryProblems(HostServices& services) : m_services(services) {}
    DeliveryProblems(const DeliveryProblems&) = delete;
    DeliveryProblems& operator=(const DeliveryProblems&) = delete;

    // One more alert or response that met `problem`.  `detail`, when
    // given, is said after it and a colon (the system's words for a
    // failure) but does not tell problems apart.  An error unless
    // `bWarning` (a response that is only late).
    void Note(const std::string& problem, const std::string& detail = std::string(),
              bool bWarning = false);

    // The problems whose text begins with `prefix` have ended (the
    // response that met them was carried out since): what was said of
    // them leaves the findings kept about the policy in force, and one
    // met again is said again as at its first time.  Their counts stay
    // for the stop.  Cheap while no problem was noted.
    void Ended(const std::string& prefix);

    // Every problem noted, as the stop says it: "<problem> (<n> times)".
    std::vector<std::string> Summary() const;
    // How many alerts and responses met a problem.
    uint64_t Count() const;

    static constexpr size_t kMaxProblems = 64;
    // The text under which problems past kMaxProblems are counted.
    static constexpr const char kOthers[] =
        "further alerts or responses could not be delivered, for more than 64 different reasons";

private:
    struct Problem {
        ReportLimiter m_reports;
        uint64_t m_qwCount = 0;
        bool m_bWarning = false;
        // The text said as a finding, while it stands; empty once ended.
        std::string m_strFinding;
    };

    HostServices& m_services;
    mutable std::mutex m_lock;
    std::map<std::string, Problem> m_problems;
    // In the order they were first noted, for the stop's list.
    std::vector<std::string> m_order;
    uint64_t m_qwCount = 0;
    // Problems said as findings that have not ended.
    std::atomic<size_t> m_nStanding{0};
};
