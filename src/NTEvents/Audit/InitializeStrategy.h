#pragma once
// The audit setter: switches on the system audit categories and the file
// and registry audits the event-log rules ask for, keeps a record of the
// file and key audits it placed in "audit.policy" in the sensor directory,
// takes the audits of the last record off again unless a rule still asks
// for them, and lets the system overwrite old records of its event logs.
//
// The sensor runs it after its engines have read their rules (start-up and
// every reload); the event-log engine calls ReapplyGlobalAudit and
// WriteAuditRecord from its own thread.  No lock: the two never run at once.

#include <cstdint>
#include <string>

class ConfigStore;

namespace InitializeStrategy {

// The whole run; always 0.
uint32_t Run();

// For each record saying the system audit policy changed: re-applies the
// categories for the first, passes over the next, and so on alternately.
void ReapplyGlobalAudit();

// Rewrites "audit.policy" from the lists; nothing while audits are not
// enforced.
void WriteAuditRecord();

// Forgets the rules' claims on listed files and keys; the sensor calls it
// before its engines read the rules again.
void BeginPolicyRead();

// The sensor directory, with its trailing separator; the record is this
// text followed by "audit.policy".
void SetSensorDirectory(const std::string& strDirectory);
std::string GetRecordPath();

// The process-wide record store.
ConfigStore& RecordStore();

}  // namespace InitializeStrategy
