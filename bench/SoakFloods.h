#pragma once
// The floods bench/hwhost_soak holds against hwhost, one function each: what
// another local account can make (files and folder chains in a watched
// folder, squats at shared-object names, a FIFO at a rotated alert file)
// and what a sender can send (syslog datagrams, distinct values for a
// correlation rule, alerts for a rule script, decoy connections, frames of
// a replay).  Each flood first adds to the sensor root what it needs (a
// policy part, hwhost arguments and environment), then, once hwhost runs,
// holds its flood until the deadline.  Another account is "nobody", whose
// work runs through runuser.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace hwsoak {

using Clock = std::chrono::steady_clock;

struct SoakOptions {
    // Datagrams a second of the floods that send them.
    uint64_t m_qwRate = 20000;
    int m_nSenders = 2;
};

// What a flood adds to the sensor root before hwhost starts.
struct FloodPlan {
    std::string m_strPolicy;                 // appended to the demo policy
    std::vector<std::string> m_Arguments;    // after "hwhost run --root DIR"
    std::vector<std::string> m_Environment;  // "NAME=value"
};

// A flood while hwhost runs.
struct FloodRun {
    std::string m_strRoot;
    pid_t m_host = -1;
    Clock::time_point m_deadline;
    SoakOptions m_options;
    bool Going() const { return Clock::now() < m_deadline; }
    // Seconds left, at least 1.
    int64_t SecondsLeft() const;
    // What the flood wants said beside the figures: the rate it reached.
    std::string m_strNote;
};

struct Flood {
    const char* m_pszName;
    const char* m_pszWhat;
    void (*m_pfnPrepare)(const std::string& root, FloodPlan& plan);
    void (*m_pfnHold)(FloodRun& run);
};

// Every flood, in the order the soak runs them.
const std::vector<Flood>& Floods();

// Runs `script` with sh as "nobody" until it ends; false when it failed.
bool AsStranger(const std::string& script);
// The same without waiting: the process, to be waited for with Reap.
pid_t StartAsStranger(const std::string& script);
void Reap(pid_t pid);

}  // namespace hwsoak
