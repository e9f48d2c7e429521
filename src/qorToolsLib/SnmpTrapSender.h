#pragma once
// Sends trap messages over UDP to one manager.  Failures leave a text in
// the sender (ErrorText) and nothing else: the caller decides whether and
// where to report them.

#include <cstdint>
#include <vector>

#include "platform/Sockets.h"
#include "qorToolsLib/SnmpTrapMessage.h"

constexpr uint16_t kSnmpTrapPort = 162;

class SnmpTrapSender {
public:
    // Opens the destination at once; see IsOpen and ErrorText.
    explicit SnmpTrapSender(const char* host, uint16_t port = kSnmpTrapPort);
    ~SnmpTrapSender();
    SnmpTrapSender(const SnmpTrapSender&) = delete;
    SnmpTrapSender& operator=(const SnmpTrapSender&) = delete;

    bool Open(const char* host, uint16_t port = kSnmpTrapPort);
    // Stamps the message with the system's uptime in hundredths of a
    // second, encodes it and sends it in one datagram.
    bool Send(SnmpTrapMessage& message);

    bool IsOpen() const { return m_socket != plat::kInvalidSocket; }
    const char* ErrorText() const { return m_szError; }
    long MaxMessageSize() const { return m_lMaxMessageSize; }

private:
    void SetError(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // SetError with the last error: `format` takes its number ("%d") and
    // then its words ("%s").
    void SetFailure(const char* format);
    void CloseSocket();

    plat::SocketHandle m_socket = plat::kInvalidSocket;
    plat::Ipv4Endpoint m_destination;
    std::vector<uint8_t> m_vSendBuffer;
    long m_lMaxMessageSize = 1500;
    char m_szError[200] = {};
};
