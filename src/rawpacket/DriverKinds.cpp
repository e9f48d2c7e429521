#include "rawpacket/DriverKinds.h"

namespace rp {

DriverKinds::DriverKinds() : Singleton(1) {
    m_Members[kEl90xFullDuplexDevice] = "\\Device\\mvel90x";
    m_Members[kEl90xFullDuplexTitle] = "Quellguard(R) 3C905C High Performance Full-duplex Driver";
    m_Members[kEl90xGatewayDevice] = "\\Device\\mvel90xt";
    m_Members[kEl90xGatewayTitle] = "Quellguard(R) 3C905C High Performance Gateway Driver";
    m_Members[kEl90xDevice] = "\\Device\\mvel90x";
    m_Members[kEl90xTitle] = "Quellguard(R) 3C905C High Performance Driver";
    m_Members[kE1000Device] = "\\Device\\mve1000";
    m_Members[kE1000Title] = "Quellguard(R) PRO/1000 High Performance Driver";
    m_Members[kSk98Device] = "\\Device\\mvsk98";
    m_Members[kSk98Title] = "Quellguard(R) SK-NET GE High Performance Driver";
    m_Members[kPacketSuffix] = "-p";
}

const DriverKinds& DriverKinds::instance() {
    // Lives until the singleton registry lets it go at process end; a table
    // that found no free slot simply stays.
    static DriverKinds* table = [] {
        auto* created = new DriverKinds();
        int slot = 0;
        registerSingleton(created, slot);
        return created;
    }();
    return *table;
}

}  // namespace rp
