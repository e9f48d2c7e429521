#include "DecoyTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace decoytest {

Client::Client(uint16_t wPort) {
    m_hSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(wPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_hSocket < 0 ||
        ::connect(m_hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Close();
        return;
    }
    socklen_t length = sizeof address;
    ::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&address), &length);
    m_wLocalPort = ntohs(address.sin_port);
}

Client::State Client::Look() {
    if (m_hSocket < 0 || m_state != State::kOpen) {
        return m_hSocket < 0 ? State::kClosed : m_state;
    }
    char byte = 0;
    const ssize_t received = ::recv(m_hSocket, &byte, 1, MSG_DONTWAIT);
    if (received == 0) {
        m_state = State::kClosed;
    } else if (received < 0 && errno == ECONNRESET) {
        m_state = State::kReset;
    }
    return m_state;
}

}  // namespace decoytest
