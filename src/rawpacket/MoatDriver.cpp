#include "rawpacket/MoatDriver.h"

#include "rawpacket/Address.h"
#include "rawpacket/DriverKinds.h"
#include "rawpacket/RpErrors.h"

namespace rp {

MoatDriver::MoatDriver(const std::string& adapterName, uint32_t openMode) : Driver(adapterName, openMode) {
    const DriverKinds& kinds = DriverKinds::instance();
    bool noTransmit = adapterName.find(kinds.member(DriverKinds::kEl90xDevice)) != std::string::npos ||
                      adapterName.find(kinds.member(DriverKinds::kE1000Device)) != std::string::npos;
    m_AdapterInfo.m_nTransmitCapability = noTransmit ? 0 : 1;
    if (openMode == 5 && noTransmit) {
        throwOpenError(adapterName, kStatusUnsupported, "rp_drv_moat", __LINE__);
    }
    PacketDll::open(adapterName, openMode, m_AdapterInfo);
}

MoatDriver::~MoatDriver() {
    m_bStopped = true;
    try {
        PacketDll::stop(m_AdapterInfo);
    } catch (const std::exception&) {
        // The adapter goes away with the driver whatever the library says.
    }
}

uint32_t MoatDriver::getPhysicalAddr(uint8_t* buffer, const uint32_t* size) const {
    if (buffer == nullptr || size == nullptr) {
        return 0;
    }
    try {
        PhysicalAddress address(m_AdapterInfo.m_strMacAddress, false, m_AdapterInfo.m_dwMedium);
        return address.copyTo(buffer, *size);
    } catch (const std::exception&) {
        return 0;
    }
}

bool MoatDriver::readFrame(Frame& frame) {
    if (m_bStopped) {
        frame.setEmpty(kStatusDriverStopped);
        return false;
    }
    return read(*this, frame, m_AdapterInfo);
}

uint32_t MoatDriver::getStatistics() { return m_pfnPacketGetStatistics(lookupEntry(), &m_Statistics, 1); }

void MoatDriver::captureLoop() {
    bool keepGoing = true;
    while (!m_bStopped && keepGoing) {
        Frame& current = *m_pFrame;
        readFrame(current);
        if (current.status() == 0) {
            keepGoing = m_pfnCallback == nullptr || m_pfnCallback(this, &current, m_pCallbackContext);
            freeFrame(current);
        }
    }
}

void MoatDriver::open(bool receive, bool transmit) {
    m_bStopped = false;
    if (!m_AdapterInfo.m_bOpened) {
        PacketDll::open(m_AdapterInfo.m_strName, m_AdapterInfo.m_dwOpenMode, m_AdapterInfo);
    }
    if (m_AdapterInfo.m_dwOpenMode == 5) {
        receive = false;
        transmit = true;
    }
    startCapture(receive, transmit, m_AdapterInfo.m_dwOpenMode, m_AdapterInfo);
}

void MoatDriver::stop() {
    m_bStopped = true;
    PacketDll::stop(m_AdapterInfo);
}

std::unique_ptr<Driver> MoatDriver::clone() const {
    std::unique_ptr<MoatDriver> copy(new MoatDriver());
    if (copy->assign(*this) == nullptr) {
        return nullptr;
    }
    return copy;
}

Driver* MoatDriver::assign(const Driver& other) {
    const auto* moat = dynamic_cast<const MoatDriver*>(&other);
    if (moat == nullptr) {
        return nullptr;
    }
    Driver::assign(other);
    PacketDll::operator=(*moat);
    return this;
}

}  // namespace rp
