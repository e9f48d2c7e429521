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

uint64_t TallyWrittenAndLost(const std::string& strErrors, bool& bFound) {
    // "1 alert taken", "2 alerts taken": the line from its "hwhost: ".
    size_t nTaken = strErrors.rfind(" alerts taken, ");
    const size_t nOne = strErrors.rfind(" alert taken, ");
    if (nOne != std::string::npos && (nTaken == std::string::npos || nOne > nTaken)) {
        nTaken = nOne;
    }
    const size_t nLine = nTaken != std::string::npos ? strErrors.rfind("hwhost: ", nTaken) : nTaken;
    uint64_t qwWritten = 0;
    uint64_t qwDropped = 0;
    uint64_t qwNotWritten = 0;
    bFound = nLine != std::string::npos &&
             std::sscanf(strErrors.c_str() + strErrors.find(" taken, ", nTaken),
                         " taken, %" SCNu64 " written, %" SCNu64 " dropped, %" SCNu64 " not written", &qwWritten,
                         &qwDropped, &qwNotWritten) == 3;
    if (!bFound) {
        return 0;
    }
    uint64_t qwSum = qwWritten + qwDropped + qwNotWritten;
    const size_t nEnd = strErrors.find('\n', nTaken);
    const std::string strLine = strErrors.substr(nTaken, nEnd == std::string::npos ? nEnd : nEnd - nTaken);
    for (size_t nAt = strLine.find("; "); nAt != std::string::npos; nAt = strLine.find("; ", nAt + 2)) {
        qwSum += std::strtoull(strLine.c_str() + nAt + 2, nullptr, 10);
    }
    return qwSum;
}

}  // namespace hwtest
