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
    // "1 alert taken", "2 alerts taken".
    size_t nTaken = strLog.rfind(" alerts taken, ");
    const size_t nOne = strLog.rfind(" alert taken, ");
    if (nOne != std::string::npos && (nTaken == std::string::npos || nOne > nTaken)) {
        nTaken = nOne;
    }
    const size_t nLine = nTaken != std::string::npos ? strLog.rfind("hwhost: ", nTaken) : nTaken;
    if (nLine != std::string::npos) {
        summary.m_qwTaken = std::strtoull(strLog.c_str() + nLine + 8, nullptr, 10);
        summary.m_qwWritten = std::strtoull(strLog.c_str() + strLog.find(" taken, ", nTaken) + 8, nullptr, 10);
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
