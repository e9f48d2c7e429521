#pragma once
// snmptrapd as a real SNMP manager on a loopback port, with its decoded
// traps in a log file the test reads.  The configuration is written into a
// scratch directory of its own.

#include <string>

#include "support/ChildProcess.h"
#include "support/TestUtil.h"

namespace hwtest {

class TrapManager {
public:
    // True when snmptrapd can be run here at all.
    static bool Available();

    // Starts the manager and waits until its transport is open; false with
    // the manager's output in Log() when it did not come up.
    bool Start();

    unsigned short Port() const { return m_port; }
    std::string Log() const { return ReadWholeFile(m_output); }
    // Polls the log for `marker`.
    bool WaitFor(const std::string& marker, double seconds) const;

private:
    ScratchDirectory m_scratch;
    ChildProcess m_process;
    unsigned short m_port = 0;
    std::string m_output;
};

}  // namespace hwtest
