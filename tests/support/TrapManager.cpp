#include "support/TrapManager.h"

namespace hwtest {

bool TrapManager::Available() {
    return !FindProgram("snmptrapd").empty();
}

bool TrapManager::Start() {
    m_port = FreeLoopbackPort(true);
    m_output = m_scratch.File("traps.log");
    WriteWholeFile(m_scratch.File("snmptrapd.conf"), "disableAuthorization yes\n");
    if (!m_process.Start({"snmptrapd", "-f", "-Lo", "-C", "-c", m_scratch.File("snmptrapd.conf"),
                          "-m", "", "-On", "-p", m_scratch.File("snmptrapd.pid"),
                          "udp:127.0.0.1:" + std::to_string(m_port)},
                         m_output, {"SNMP_PERSISTENT_DIR=" + m_scratch.Path(), "MIBS="})) {
        return false;
    }
    // The banner comes once the transport is open.
    return WaitFor("NET-SNMP version", 30.0);
}

bool TrapManager::WaitFor(const std::string& marker, double seconds) const {
    return WaitUntil([&] { return Log().find(marker) != std::string::npos; }, seconds);
}

}  // namespace hwtest
