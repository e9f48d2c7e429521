#pragma once
// A stream of numbered items held against what hwhost said it lost.  A
// machine too busy to keep up with a stream loses items at an input's
// bounds; that is no fault when the sensor counts and says each of them,
// and when what a reload's pause and catch-up cost is said by that reload.
// So a test of a stream through reloads asks: was any item alerted twice,
// is every missing item covered by a loss the sensor counted, and is every
// item sent well inside a reload and missing covered by what that reload
// said.  On a machine that keeps up nothing is said lost, and every item
// must then be alerted exactly once.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hwtest {

// The time on the clock of hwhost's log lines (seconds since midnight, as
// LogLineSeconds reads them), cheap enough to take for every item sent.
class LogClock {
public:
    LogClock();
    double Now() const;

private:
    double m_dBase = 0;
    std::chrono::steady_clock::time_point m_base;
};

// One reload (SIGHUP or push) as hwhost's log shows it: from the line
// that begins it to the first of the lines saying its inputs caught up,
// that they are still behind, or that it completed.
struct ReloadWindow {
    double m_dBegan = -1;
    // When the engines resumed, as the catch-up's line tells it (the
    // report's time when no line does).
    double m_dResumed = -1;
    double m_dCaughtUp = -1;
    // What its lines between the beginning and the report said was lost.
    uint64_t m_qwSaidLost = 0;
    // It said an input was still catching up when it reported: what that
    // input loses from then on is said as the input's own, not the reload's.
    bool m_bBehind = false;
};

// The reloads of the log; `lost` answers how many items one log line says
// were lost (0 for most lines).
std::vector<ReloadWindow> ReloadWindows(const std::string& strLog,
                                        const std::function<uint64_t(const std::string&)>& lost);

// The count of a bound's line of `strInput` ("Bound reached: <input>:
// <limit>; <n> <what> left out ..."), 0 for any other line.
uint64_t BoundLeftOut(const std::string& strLine, const std::string& strInput);
// The counts of every line of `strText` that says the stop's bounds of
// `strInput` ("at the stop: Bound reached: <input>: ...") added up.
uint64_t LeftOutAtTheStop(const std::string& strText, const std::string& strInput);

// The counts of the bounds of `strInput` that the newest record of a
// status file's text (hwhost.status) lists, added up.
uint64_t LeftOutInStatus(const std::string& strStatus, const std::string& strInput);

struct StreamLossCheck {
    // What breaks the promise, empty when nothing does.
    std::string m_strWrong;
    uint64_t m_qwMissing = 0;
    // One line for the test's output: sent, missing, counted, per reload.
    std::string m_strSummary;
};

// Items 1 to N, item n sent at `sentAt[n]` on the log's clock and alerted
// `times[n]` times (index 0 of both unused); `qwCounted` is what the
// sensor counted as lost in all.  An item sent within `dMargin` seconds of
// a reload window's edge is taken as neither inside nor outside it.  The
// windows suit an input that loses items as they arrive (frames,
// datagrams); one that loses them later, behind a backlog, passes none.
StreamLossCheck CheckStreamLosses(const std::vector<double>& sentAt, const std::vector<unsigned>& times,
                                  uint64_t qwCounted, const std::vector<ReloadWindow>& windows,
                                  double dMargin = 0.5);

}  // namespace hwtest
