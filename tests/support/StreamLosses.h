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
// were lost (0 for most lines), each item once within a reload: for an
// input's bounds, BoundSaidInReload.
std::vector<ReloadWindow> ReloadWindows(const std::string& strLog,
                                        const std::function<uint64_t(const std::string&)>& lost);

// The lines of a bound of `strInput`: "Bound reached: <input>: <limit>;
// <n> <what> left out", then what kind of report it is.
struct BoundLine {
    enum class Kind {
        kNone,
        // The first report (it ends with "said again at most once a
        // minute ..."), the bound's total then.
        kFirst,
        // A report again: "<n> ... left out in all, <m> since it was last
        // said", <n> the total.
        kAgain,
        // A load's: "<n> ... left out during the reload" (or "push"), what
        // the load left out after the bound's first report in it.
        kDuringLoad,
        // Any other (the stop's, the list of a load's summary): the total.
        kTotal,
    };
    Kind m_kind = Kind::kNone;
    // "<input>: <limit>", which tells the bounds of one input apart.
    std::string m_strBound;
    uint64_t m_qwCount = 0;
};
BoundLine ReadBoundLine(const std::string& strLine, const std::string& strInput);

// The count of a bound's line of `strInput`, 0 for any other line.
uint64_t BoundLeftOut(const std::string& strLine, const std::string& strInput);
// What a line says a reload left out at a bound of `strInput`, each item
// once: a first report's count (a bound first reached during the reload)
// and a "during the reload" line's (what came after that first report);
// 0 for a report again, whose total holds what those lines said.
uint64_t BoundSaidInReload(const std::string& strLine, const std::string& strInput);
// The counts of every line of `strText` that says the stop's bounds of
// `strInput` ("at the stop: Bound reached: <input>: ...") added up.
uint64_t LeftOutAtTheStop(const std::string& strText, const std::string& strInput);
// What the bounds of `strInput` left out in all as the lines of `strText`
// (hwhost's console) say it: one count per bound, the largest total any
// of its lines gives (its first report, its reports again, its line at the
// stop), never a sum of its repeated reports or of the reloads' lines,
// which those totals hold.  A bound that ends with its input and comes
// back counts afresh: the tests that use this keep their inputs.
uint64_t BoundsLeftOut(const std::string& strText, const std::string& strInput);

// The counts the lines of `strText` holding `strLine` give just before
// each of `words` ("NTSyslog dropped ...: ..., <n> unparsed at a stop,
// ..."), added up over the lines: for lines that each say what was lost
// since the one before.
uint64_t CountsSaid(const std::string& strText, const std::string& strLine, const std::vector<std::string>& words);

// What the syslog engine on UDP port 514 said it dropped: its bounds (the
// queue full, too large, the system's drops), each once (BoundsLeftOut of
// the console `strErrors`), and what its stop dropped outside any bound,
// the datagrams still queued or left in the socket ("NTSyslog dropped ...:
// ..., <n> unparsed at a stop, <m> left in the socket at a stop, ..." in
// the log `strLog`, every such line).
uint64_t SyslogSaidLost(const std::string& strErrors, const std::string& strLog);

// Before the stop: sends the stream's last marker item with `send` and
// waits until `alerted` says its alert came, sending it again every
// `dResend` seconds (a marker may meet a bound as any item does).  The items
// sent before a marker are each alerted or dropped by the time its alert
// comes, since the input handles its items in order.  A loaded machine may
// take minutes to work through what its input queued, so the wait goes on
// as long as `progress` (the alerts so far) grows: it ends, the marker not
// alerted, once `progress` stood still for `dStall` seconds or after
// `dMost` seconds in all.
struct MarkerWait {
    bool m_bAlerted = false;
    uint64_t m_qwSent = 0;
    double m_dSeconds = 0;
};
MarkerWait AwaitLastMarker(const std::function<bool()>& send, const std::function<bool()>& alerted,
                           const std::function<uint64_t()>& progress, double dStall = 60, double dMost = 900,
                           double dResend = 5);

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
