#pragma once
// The figures hwhost's log gives when it stops, as a test or a load driver
// reads them back: what the host took and wrote, what became of the alerts
// of scripted rules, and what the syslog engine said it dropped.

#include <cstdint>
#include <string>

namespace hwtest {

struct StopSummary {
    uint64_t m_qwTaken = 0;
    uint64_t m_qwWritten = 0;
    // From the "Scripted alerts: " line, when there is one.
    bool m_bScripted = false;
    uint64_t m_qwValidated = 0;
    uint64_t m_qwRejected = 0;
    uint64_t m_qwUnvalidated = 0;
    uint64_t m_qwDropped = 0;
    // Every "NTSyslog dropped N" of the log added up (the system's drops
    // included).
    uint64_t m_qwSyslogDropped = 0;
};

// The last stop's figures in the log text.
StopSummary ReadStopSummary(const std::string& strLog);
// Every "NTSyslog dropped N" of the log text added up.
uint64_t SyslogDropped(const std::string& strLog);
// The stop's tally on standard error ("hwhost: T alerts taken, W written,
// D dropped, N not written; ..."): the alerts written, dropped and not
// written, and every further loss it lists ("; <n> <what>"), added up;
// each alert the host was given is in it once.  `bFound` says whether the
// line was there.
uint64_t TallyWrittenAndLost(const std::string& strErrors, bool& bFound);

}  // namespace hwtest
