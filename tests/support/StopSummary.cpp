#include "support/StopSummary.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace hwtest {

StopSummary ReadStopSummary(const std::string& strLog) {
    StopSummary summary;
    const size_t nScripted = strLog.rfind("Scripted alerts: ");
    summary.m_bScripted =
        nScripted != std::string::npos &&
        std::sscanf(strLog.c_str() + nScripted,
                    "Scripted alerts: %" SCNu64 " validated, %" SCNu64
                    " rejected by their script, %" SCNu64 " passed on unvalidated, %" SCNu64,
                    &summary.m_qwValidated, &summary.m_qwRejected, &summary.m_qwUnvalidated,
                    &summary.m_qwDropped) == 4;
    const size_t nTaken = strLog.rfind(" alerts taken, ");
    const size_t nLine = nTaken != std::string::npos ? strLog.rfind("hwhost: ", nTaken) : nTaken;
    if (nLine != std::string::npos) {
        std::sscanf(strLog.c_str() + nLine, "hwhost: %" SCNu64 " alerts taken, %" SCNu64 " written",
                    &summary.m_qwTaken, &summary.m_qwWritten);
    }
    summary.m_qwSyslogDropped = SyslogDropped(strLog);
    return summary;
}

uint64_t SyslogDropped(const std::string& strLog) {
    const std::string strDropped = "NTSyslog dropped ";
    uint64_t qwTotal = 0;
    for (size_t nAt = strLog.find(strDropped); nAt != std::string::npos;
         nAt = strLog.find(strDropped, nAt + 1)) {
        qwTotal += std::strtoull(strLog.c_str() + nAt + strDropped.size(), nullptr, 10);
    }
    return qwTotal;
}

}  // namespace hwtest
