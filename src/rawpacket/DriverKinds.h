#pragma once
// The device names and titles of the high-performance capture drivers the
// library knows by name: one process-wide table of thirty texts.

#include <array>
#include <string>

#include "rawpacket/Singleton.h"

namespace rp {

class DriverKinds : public Singleton {
public:
    enum Member : size_t {
        kEl90xFullDuplexDevice = 0,
        kEl90xFullDuplexTitle = 1,
        kEl90xGatewayDevice = 2,
        kEl90xGatewayTitle = 3,
        kEl90xDevice = 4,
        kEl90xTitle = 5,
        kE1000Device = 6,
        kE1000Title = 7,
        kSk98Device = 8,
        kSk98Title = 9,
        kPacketSuffix = 22,
        kMembers = 30,
    };

    static const DriverKinds& instance();
    const std::string& member(size_t index) const { return m_Members[index]; }
    void release() override { delete this; }

private:
    DriverKinds();
    std::array<std::string, kMembers> m_Members;
};

}  // namespace rp
