#pragma once
// snmptrapd as a real SNMP manager on a loopback port, with its decoded
// traps in a log file the test reads.  The configuration is written into a
// scratch directory of its own.

#include <functional>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TestUtil.h"

namespace hwtest {

class TrapManager {
public:
    // True when snmptrapd can be run here at all.
    static bool Available();

    // Turns the manager's command line into the one to run, for example
    // inside a network namespace.
    using Wrapper = std::function<std::vector<std::string>(const std::vector<std::string>&)>;

    // Starts the manager and waits until its transport is open; false with
    // the manager's output in Log() when it did not come up.  `port` 0
    // takes a free one.
    bool Start(const Wrapper& wrap = nullptr, unsigned short port = 0);

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
