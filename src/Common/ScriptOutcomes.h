#pragma once
// What became of the alerts of rules that carry a "Validation" script or
// require their script: passed on after the script accepted them, turned
// away by it, passed on without validation (the script process was not
// there, its queue or its table of waiting runs was full, it did not
// answer in time, scripting is off), or dropped without validation (the
// same, for a rule that requires its script).  Counted for the whole
// process by whoever decides an alert's fate, and said in the stop summary,
// so an alert that never met its script is never lost without a count.

#include <atomic>
#include <cstdint>
#include <string>

enum class ScriptOutcome { kValidated, kRejected, kUnvalidated, kDropped };

class ScriptOutcomes {
public:
    struct Counts {
        uint64_t m_qwValidated = 0;
        uint64_t m_qwRejected = 0;
        uint64_t m_qwUnvalidated = 0;
        uint64_t m_qwDropped = 0;
    };

    static ScriptOutcomes& Instance();

    void Count(ScriptOutcome outcome);
    Counts Snapshot() const;
    // "Scripted alerts: 5 validated, 1 rejected by their script, 2 passed
    // on unvalidated, 0 dropped unvalidated".
    static std::string Describe(const Counts& counts);

private:
    std::atomic<uint64_t> m_qwCounts[4] = {0, 0, 0, 0};
};
