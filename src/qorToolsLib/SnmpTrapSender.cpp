#include "qorToolsLib/SnmpTrapSender.h"

#include <chrono>
#include <cstdarg>

#include "platform/LastError.h"
#include "qorToolsLib/BoundedFormat.h"
#include "qorToolsLib/ErrorWords.h"

namespace {

constexpr size_t kInitialBufferSize = 1500;

// The system's uptime in hundredths of a second, wrapping as a 32-bit
// millisecond tick count does.
uint32_t UptimeTicks() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<uint32_t>(static_cast<uint64_t>(ms.count())) / 10;
}

}  // namespace

SnmpTrapSender::SnmpTrapSender(const char* host, uint16_t port)
    : m_vSendBuffer(kInitialBufferSize) {
    Open(host, port);
}

SnmpTrapSender::~SnmpTrapSender() {
    CloseSocket();
}

void SnmpTrapSender::SetError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    BoundedVsnprintf(m_szError, sizeof m_szError, format, args);
    va_end(args);
}

void SnmpTrapSender::SetFailure(const char* format) {
    const uint32_t dwError = plat::GetLastError();
    SetError(format, static_cast<int>(dwError), ErrorWords(dwError).c_str());
}

void SnmpTrapSender::CloseSocket() {
    plat::CloseSocket(m_socket);
    m_socket = plat::kInvalidSocket;
}

bool SnmpTrapSender::Open(const char* host, uint16_t port) {
    if (host == nullptr || *host == '\0') {
        SetError("No destination set, Snmp traps are disabled.");
        return false;
    }
    CloseSocket();
    uint32_t address = 0;
    if (!plat::ResolveIpv4Address(host, address)) {
        SetFailure("gethostbyname() Failed, error = %d\nSnmp traps are disabled. (%s)");
        return false;
    }
    m_destination.m_dwAddress = address;
    m_destination.m_wPort = plat::PortField(port);
    m_socket = plat::OpenUdpSocket();
    if (m_socket == plat::kInvalidSocket) {
        SetFailure("socket() Failed, error = %d\nSnmp traps are disabled. (%s)");
        return false;
    }
    if (!plat::BindSocket(m_socket, plat::Ipv4Endpoint{})) {
        SetFailure("bind() Failed, error = %d\nSnmp traps are disabled. (%s)");
        CloseSocket();
        return false;
    }
    // This system has no per-socket maximum datagram query; the maximum
    // stays at the size every path between here and a manager carries.
    return true;
}

bool SnmpTrapSender::Send(SnmpTrapMessage& message) {
    if (m_socket == plat::kInvalidSocket) {
        return false;
    }
    message.TimeStamp().SetTicks(UptimeTicks());
    uint32_t needed = message.EncodedLength();
    if (needed > static_cast<uint32_t>(m_lMaxMessageSize)) {
        SetError(
            "snmp encode() failed.  Cannot send a message of %lu bytes. Max mesasge size = "
            "%ld, Buffer needed = %lu",
            static_cast<unsigned long>(needed), m_lMaxMessageSize,
            static_cast<unsigned long>(needed));
        return false;
    }
    if (m_vSendBuffer.size() < needed) {
        m_vSendBuffer.resize(needed);
    }
    uint32_t encoded =
        message.Encode(m_vSendBuffer.data(), static_cast<uint32_t>(m_vSendBuffer.size()));
    if (encoded == 0) {
        SetError(
            "snmp encode() failed.  The buffer was too small.  Buffer size = %ld, Buffer "
            "needed = %lu",
            static_cast<long>(m_vSendBuffer.size()), static_cast<unsigned long>(needed));
        return false;
    }
    if (plat::SendDatagram(m_socket, m_vSendBuffer.data(), encoded, m_destination) < 0) {
        SetFailure("socket() Failed, error = %d\nSnmp traps are disabled. (%s)");
        return false;
    }
    return true;
}
