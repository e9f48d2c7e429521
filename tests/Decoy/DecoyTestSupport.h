#pragma once
// Decoy rules built in code, a clock the tests move by hand, and loopback
// clients of the decoy ports that tell whether their connection is held,
// reset or closed.

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>

#include "Decoy/CDecoyRule.h"
#include "Decoy/DecoyClock.h"

namespace decoytest {

// The decoy clock while a test runs: starts far from 0 and moves only when
// told to.
class ManualClock {
public:
    ManualClock() { m_previous = SetDecoyTimeSource(&Now); }
    ~ManualClock() { SetDecoyTimeSource(m_previous); }
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    static void Advance(uint32_t dwSeconds) { s_dwNow += dwSeconds; }
    static uint32_t Now() { return s_dwNow; }

private:
    static inline uint32_t s_dwNow = 1700000000;
    DecoyTimeSource m_previous = nullptr;
};

inline std::unique_ptr<CDecoyRule> MakeRule(const char* pszName, uint16_t wPort) {
    auto pRule = std::make_unique<CDecoyRule>();
    pRule->SetName(pszName);
    pRule->Enable();
    pRule->SetAlertType("SuspectPortConnection");
    pRule->SetPort(wPort);
    return pRule;
}

// One TCP client of a loopback port.
class Client {
public:
    enum class State { kOpen, kClosed, kReset };

    explicit Client(uint16_t wPort);
    ~Client() { Close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool IsConnected() const { return m_hSocket >= 0; }
    uint16_t LocalPort() const { return m_wLocalPort; }
    // What the connection looks like now, without waiting: open while the
    // peer neither closed nor reset it.  The system tells a reset once; it is
    // remembered here.
    State Look();
    // Sends without waiting; false when the connection would not take it all.
    bool Send(const std::string& bytes) {
        return m_hSocket >= 0 &&
               ::send(m_hSocket, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
                   static_cast<ssize_t>(bytes.size());
    }
    void Close() {
        if (m_hSocket >= 0) {
            ::close(m_hSocket);
            m_hSocket = -1;
        }
    }

private:
    int m_hSocket = -1;
    uint16_t m_wLocalPort = 0;
    State m_state = State::kOpen;
};

}  // namespace decoytest
