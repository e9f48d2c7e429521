#include "Common/ScriptOutcomes.h"

ScriptOutcomes& ScriptOutcomes::Instance() {
    static ScriptOutcomes outcomes;
    return outcomes;
}

void ScriptOutcomes::Count(ScriptOutcome outcome) {
    m_qwCounts[static_cast<int>(outcome)].fetch_add(1, std::memory_order_relaxed);
}

ScriptOutcomes::Counts ScriptOutcomes::Snapshot() const {
    Counts counts;
    counts.m_qwValidated = m_qwCounts[static_cast<int>(ScriptOutcome::kValidated)].load();
    counts.m_qwRejected = m_qwCounts[static_cast<int>(ScriptOutcome::kRejected)].load();
    counts.m_qwUnvalidated = m_qwCounts[static_cast<int>(ScriptOutcome::kUnvalidated)].load();
    counts.m_qwDropped = m_qwCounts[static_cast<int>(ScriptOutcome::kDropped)].load();
    return counts;
}

std::string ScriptOutcomes::Describe(const Counts& counts) {
    return "Scripted alerts: " + std::to_string(counts.m_qwValidated) + " validated, " +
           std::to_string(counts.m_qwRejected) + " rejected by their script, " +
           std::to_string(counts.m_qwUnvalidated) + " passed on unvalidated, " +
           std::to_string(counts.m_qwDropped) + " dropped unvalidated";
}
