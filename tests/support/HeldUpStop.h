#pragma once
// What hwhost says when a stop was held up: it gives the sensor's stop its
// own bound (10 s from the signal) and each engine's thread a shorter one,
// and says each that was outlasted, then ends non-zero without what it
// left running.  A test of a stop that nothing may hold up reads these
// lines (and the exit status) rather than the stop's wall time, which a
// busy machine stretches past any fixed figure.

#include <sstream>
#include <string>

namespace hwtest {

// How long a test waits at most for a stop that nothing holds up: far past
// hwhost's own bound, only so that a stop that never ends fails the test
// rather than hanging it.
inline constexpr int kStopBackstopSeconds = 60;

// Every line of `strText` (hwhost's standard error or log) that says a stop
// was held up past a bound, the sensor's or an engine's; empty when none.
inline std::string HeldUpStopLines(const std::string& strText) {
    std::istringstream lines(strText);
    std::string strLine;
    std::string strHeldUp;
    while (std::getline(lines, strLine)) {
        if (strLine.find(" did not stop within ") != std::string::npos ||
            strLine.find(" did not end within ") != std::string::npos) {
            strHeldUp += strLine + "\n";
        }
    }
    return strHeldUp;
}

}  // namespace hwtest
