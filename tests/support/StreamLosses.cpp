#include "support/StreamLosses.h"

#include <sys/time.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <sstream>

#include "support/TestUtil.h"

namespace hwtest {
namespace {

// "07:21:04.648" for a time on the log's clock.
std::string ClockText(double dSeconds) {
    const long lMs = static_cast<long>(dSeconds * 1000 + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld.%03ld", lMs / 3600000, lMs / 60000 % 60, lMs / 1000 % 60,
                  lMs % 1000);
    return text;
}

bool Has(const std::string& strLine, const char* pszText) { return strLine.find(pszText) != std::string::npos; }

}  // namespace

LogClock::LogClock() : m_base(std::chrono::steady_clock::now()) {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    m_dBase = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + now.tv_usec / 1e6;
}

double LogClock::Now() const {
    const double dSeconds =
        m_dBase + std::chrono::duration<double>(std::chrono::steady_clock::now() - m_base).count();
    return dSeconds < 86400 ? dSeconds : dSeconds - 86400;
}

std::vector<ReloadWindow> ReloadWindows(const std::string& strLog,
                                        const std::function<uint64_t(const std::string&)>& lost) {
    std::vector<ReloadWindow> windows;
    std::istringstream lines(strLog);
    std::string strLine;
    bool bInside = false;
    ReloadWindow window;
    while (std::getline(lines, strLine)) {
        const double dTime = LogLineSeconds(strLine);
        if (!bInside) {
            if (Has(strLine, "***** CHostWarden::OnReloadPolicy() called") && dTime >= 0) {
                window = ReloadWindow();
                window.m_dBegan = dTime;
                bInside = true;
            }
            continue;
        }
        window.m_qwSaidLost += lost(strLine);
        // The inputs' catch-up ends before the line that says so: a loss
        // after it is no longer the reload's.
        if (Has(strLine, "Still catching up with what arrived during the reload")) {
            window.m_bBehind = true;
        }
        if (window.m_dCaughtUp < 0 && dTime >= 0 &&
            (Has(strLine, "The inputs caught up with what arrived during the reload") || window.m_bBehind)) {
            window.m_dCaughtUp = dTime;
            // "... during the reload <n> ms after the resume"
            const size_t nMs = strLine.find(" ms after the resume");
            const size_t nCount = nMs != std::string::npos ? strLine.rfind(' ', nMs - 1) : std::string::npos;
            if (nCount != std::string::npos) {
                window.m_dResumed = dTime - std::strtod(strLine.c_str() + nCount + 1, nullptr) / 1000;
            }
        }
        if (Has(strLine, "hwhost: reload completed with status")) {
            if (window.m_dCaughtUp < 0) {
                window.m_dCaughtUp = dTime;
            }
            if (window.m_dResumed < 0) {
                window.m_dResumed = window.m_dCaughtUp;
            }
            windows.push_back(window);
            bInside = false;
        }
    }
    return windows;
}

BoundLine ReadBoundLine(const std::string& strLine, const std::string& strInput) {
    BoundLine line;
    const std::string strPrefix = "Bound reached: ";
    const size_t nAt = strLine.find(strPrefix + strInput + ": ");
    const size_t nCount = strLine.rfind("; ");
    if (nAt == std::string::npos || nCount == std::string::npos || nCount < nAt ||
        strLine.find(" left out", nCount) == std::string::npos) {
        return line;
    }
    line.m_strBound = strLine.substr(nAt + strPrefix.size(), nCount - nAt - strPrefix.size());
    line.m_qwCount = std::strtoull(strLine.c_str() + nCount + 2, nullptr, 10);
    if (strLine.find(" left out in all, ", nCount) != std::string::npos) {
        line.m_kind = BoundLine::Kind::kAgain;
    } else if (strLine.find(" (said again at most once a minute", nCount) != std::string::npos) {
        line.m_kind = BoundLine::Kind::kFirst;
    } else if (strLine.find(" during the ", nCount) != std::string::npos) {
        line.m_kind = BoundLine::Kind::kDuringLoad;
    } else {
        line.m_kind = BoundLine::Kind::kTotal;
    }
    return line;
}

uint64_t BoundLeftOut(const std::string& strLine, const std::string& strInput) {
    return ReadBoundLine(strLine, strInput).m_qwCount;
}

uint64_t BoundSaidInReload(const std::string& strLine, const std::string& strInput) {
    const BoundLine line = ReadBoundLine(strLine, strInput);
    return line.m_kind == BoundLine::Kind::kFirst || line.m_kind == BoundLine::Kind::kDuringLoad ? line.m_qwCount
                                                                                                 : 0;
}

uint64_t LeftOutAtTheStop(const std::string& strText, const std::string& strInput) {
    uint64_t qwTotal = 0;
    std::istringstream lines(strText);
    std::string strLine;
    while (std::getline(lines, strLine)) {
        if (Has(strLine, "at the stop: Bound reached: ")) {
            qwTotal += BoundLeftOut(strLine, strInput);
        }
    }
    return qwTotal;
}

uint64_t BoundsLeftOut(const std::string& strText, const std::string& strInput) {
    std::map<std::string, uint64_t> totals;
    std::istringstream lines(strText);
    std::string strLine;
    while (std::getline(lines, strLine)) {
        const BoundLine line = ReadBoundLine(strLine, strInput);
        if (line.m_kind != BoundLine::Kind::kNone && line.m_kind != BoundLine::Kind::kDuringLoad) {
            uint64_t& qwTotal = totals[line.m_strBound];
            qwTotal = std::max(qwTotal, line.m_qwCount);
        }
    }
    uint64_t qwTotal = 0;
    for (const auto& [strBound, qwCount] : totals) {
        qwTotal += qwCount;
    }
    return qwTotal;
}

uint64_t CountsSaid(const std::string& strText, const std::string& strLine, const std::vector<std::string>& words) {
    uint64_t qwTotal = 0;
    std::istringstream lines(strText);
    std::string strEach;
    while (std::getline(lines, strEach)) {
        if (!Has(strEach, strLine.c_str())) {
            continue;
        }
        for (const std::string& strWords : words) {
            const size_t nWords = strEach.find(strWords);
            const size_t nCount = nWords != std::string::npos && nWords > 0 ? strEach.rfind(' ', nWords - 1)
                                                                              : std::string::npos;
            if (nCount != std::string::npos) {
                qwTotal += std::strtoull(strEach.c_str() + nCount + 1, nullptr, 10);
            }
        }
    }
    return qwTotal;
}

uint64_t SyslogSaidLost(const std::string& strErrors, const std::string& strLog) {
    return BoundsLeftOut(strErrors, "syslog datagrams to UDP port 514") +
           CountsSaid(strLog, "NTSyslog dropped ", {" unparsed at a stop", " left in the socket at a stop"});
}

MarkerWait AwaitLastMarker(const std::function<bool()>& send, const std::function<bool()>& alerted,
                           const std::function<uint64_t()>& progress, double dStall, double dMost, double dResend) {
    using Clock = std::chrono::steady_clock;
    MarkerWait wait;
    const auto began = Clock::now();
    auto moved = began;
    uint64_t qwSeen = progress();
    for (;;) {
        wait.m_qwSent += send() ? 1 : 0;
        wait.m_bAlerted = WaitUntil(alerted, dResend);
        const auto now = Clock::now();
        wait.m_dSeconds = std::chrono::duration<double>(now - began).count();
        if (wait.m_bAlerted) {
            return wait;
        }
        const uint64_t qwNow = progress();
        if (qwNow != qwSeen) {
            qwSeen = qwNow;
            moved = now;
        }
        if (std::chrono::duration<double>(now - moved).count() >= dStall || wait.m_dSeconds >= dMost) {
            return wait;
        }
    }
}

StreamLossCheck CheckStreamLosses(const std::vector<double>& sentAt, const std::vector<unsigned>& times,
                                  uint64_t qwCounted, const std::vector<ReloadWindow>& windows, double dMargin) {
    StreamLossCheck check;
    const size_t nItems = sentAt.empty() ? 0 : sentAt.size() - 1;
    std::string strTwice;
    std::vector<size_t> missing;
    for (size_t n = 1; n <= nItems; ++n) {
        const unsigned nTimes = n < times.size() ? times[n] : 0;
        if (nTimes > 1 && strTwice.size() < 200) {
            strTwice += " " + std::to_string(n) + " x" + std::to_string(nTimes);
        }
        if (nTimes == 0) {
            missing.push_back(n);
        }
    }
    check.m_qwMissing = missing.size();
    std::ostringstream wrong;
    if (!strTwice.empty()) {
        wrong << "alerted more than once:" << strTwice << "\n";
    }
    if (check.m_qwMissing > qwCounted) {
        wrong << check.m_qwMissing << " of " << nItems << " items missing, but only " << qwCounted
              << " counted as lost; the first missing: " << missing.front() << "\n";
    }
    std::ostringstream summary;
    summary << nItems << " sent, " << check.m_qwMissing << " missing, " << qwCounted << " counted as lost";
    for (size_t i = 0; i < windows.size(); ++i) {
        const ReloadWindow& window = windows[i];
        const double dPause = LogSecondsBetween(window.m_dBegan, window.m_dResumed);
        const double dSpan = LogSecondsBetween(window.m_dBegan, window.m_dCaughtUp);
        uint64_t qwInside = 0;
        uint64_t qwPaused = 0;
        size_t nFirst = 0;
        for (const size_t n : missing) {
            const double dAfter = LogSecondsBetween(window.m_dBegan, sentAt[n]);
            if (dAfter >= dMargin && dAfter <= dSpan - dMargin) {
                nFirst = qwInside++ == 0 ? n : nFirst;
            }
            qwPaused += dAfter >= dMargin && dAfter <= dPause - dMargin ? 1 : 0;
        }
        summary << "; reload " << i + 1 << " from " << ClockText(window.m_dBegan) << ", resumed after " << dPause
                << " s, caught up after " << dSpan << " s: " << qwInside << " missing inside (" << qwPaused
                << " sent while paused), " << window.m_qwSaidLost << " said lost"
                << (window.m_bBehind ? ", behind at its report" : "");
        if (!window.m_bBehind && qwInside > window.m_qwSaidLost) {
            wrong << "reload " << i + 1 << " (" << ClockText(window.m_dBegan) << " to its catch-up at "
                  << ClockText(window.m_dCaughtUp) << "): " << qwInside
                  << " items sent inside it are missing, but it said " << window.m_qwSaidLost
                  << " lost; the first: " << nFirst << " sent at " << ClockText(sentAt[nFirst]) << "\n";
        }
    }
    check.m_strWrong = wrong.str();
    check.m_strSummary = summary.str();
    return check;
}

}  // namespace hwtest
