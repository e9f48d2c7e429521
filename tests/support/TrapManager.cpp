#include "support/TrapManager.h"

namespace hwtest {

bool TrapManager::Available() {
    return !FindProgram("snmptrapd").empty();
}

bool TrapManager::Start(const Wrapper& wrap, unsigned short port) {
    m_port = port != 0 ? port : FreeLoopbackPort(true);
    m_output = m_scratch.File("traps.log");
    WriteWholeFile(m_scratch.File("snmptrapd.conf"), "disableAuthorization yes\n");
    std::vector<std::string> command = {"snmptrapd", "-f", "-Lo", "-C", "-c",
                                        m_scratch.File("snmptrapd.conf"), "-m", "", "-On", "-p",
                                        m_scratch.File("snmptrapd.pid"),
                                        "udp:127.0.0.1:" + std::to_string(m_port)};
    if (wrap) {
        command = wrap(command);
    }
    if (!m_process.Start(command, m_output, {"SNMP_PERSISTENT_DIR=" + m_scratch.Path(), "MIBS="})) {
        return false;
    }
    // The banner comes once the transport is open.
    return WaitFor("NET-SNMP version", 30.0);
}

bool TrapManager::WaitFor(const std::string& marker, double seconds) const {
    return WaitUntil([&] { return Log().find(marker) != std::string::npos; }, seconds);
}

}  // namespace hwtest
