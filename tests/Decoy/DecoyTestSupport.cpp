#include "DecoyTestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace decoytest {

namespace {

// A socket stays in the namespace it was made in, whichever thread uses it
// later: `make` runs on a thread of its own inside the namespace of
// `holder` (or the test's own namespace for 0).
template <typename Make>
void InNamespace(pid_t holder, Make make) {
    std::thread([&] {
        const std::string strPath = "/proc/" + std::to_string(holder) + "/ns/net";
        const int hNamespace = holder > 0 ? ::open(strPath.c_str(), O_RDONLY) : -1;
        if (holder == 0 || ::setns(hNamespace, CLONE_NEWNET) == 0) {
            make();
        }
        ::close(hNamespace);
    }).join();
}

}  // namespace

Listener::Listener(uint16_t wPort, pid_t holder) {
    InNamespace(holder, [&] {
        sockaddr_in address{AF_INET, htons(wPort), {htonl(INADDR_ANY)}, {}};
        const int hSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(hSocket, 5) == 0) {
            m_hSocket = hSocket;
        } else {
            ::close(hSocket);
        }
    });
}

Listener::~Listener() {
    ::close(m_hSocket);
}

Client::Client(uint16_t wPort, pid_t holder) : m_wPort(wPort) {
    InNamespace(holder, [&] {
        m_hSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        Connect();
    });
    if (holder == 0) {
        WaitConnected(5000);
    }
}

std::unique_ptr<Client> Client::Unconnected(uint16_t wPort) {
    std::unique_ptr<Client> pClient(new Client);
    pClient->m_wPort = wPort;
    pClient->m_hSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    return pClient;
}

void Client::Connect() {
    sockaddr_in address{AF_INET, htons(m_wPort), {htonl(INADDR_LOOPBACK)}, {}};
    ::connect(m_hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(m_hSocket, reinterpret_cast<sockaddr*>(&address), &length);
    m_wLocalPort = ntohs(address.sin_port);
}

std::vector<std::unique_ptr<Client>> Client::Burst(uint16_t wPort, size_t nCount) {
    std::vector<std::unique_ptr<Client>> clients;
    for (size_t n = 0; n < nCount; ++n) {
        clients.push_back(Unconnected(wPort));
        clients.back()->Connect();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (const auto& pClient : clients) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pClient->WaitConnected(static_cast<int>(std::max<int64_t>(0, left.count())));
    }
    return clients;
}

bool Client::WaitConnected(int nTimeoutMs) {
    pollfd entry{m_hSocket, POLLOUT, 0};
    int nError = 0;
    socklen_t length = sizeof nError;
    if (::poll(&entry, 1, nTimeoutMs) != 1 ||
        ::getsockopt(m_hSocket, SOL_SOCKET, SO_ERROR, &nError, &length) != 0 || nError != 0) {
        ::close(m_hSocket);
        m_hSocket = -1;
        return false;
    }
    return true;
}

Client::~Client() {
    ::close(m_hSocket);
}

Client::State Client::Look() {
    char byte = 0;
    const ssize_t received = m_state == State::kOpen ? ::recv(m_hSocket, &byte, 1, MSG_DONTWAIT) : 1;
    if (received == 0) {
        m_state = State::kClosed;
    } else if (received < 0 && errno == ECONNRESET) {
        m_state = State::kReset;
    }
    return m_state;
}

bool Client::Send(const std::string& strBytes) const {
    return ::send(m_hSocket, strBytes.data(), strBytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
           static_cast<ssize_t>(strBytes.size());
}

}  // namespace decoytest
