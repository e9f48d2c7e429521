#pragma once
// A decoy clock the tests move by hand, decoy rules built in code, and TCP
// clients of decoy ports that tell whether their connection is held, reset
// or closed.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Decoy/CDecoyRule.h"
#include "Decoy/DecoyClock.h"

namespace decoytest {

class ManualClock {
public:
    ManualClock() { m_previous = SetDecoyTimeSource(&Now); }
    ~ManualClock() { SetDecoyTimeSource(m_previous); }
    static void Advance(uint32_t dwSeconds) { s_dwNow += dwSeconds; }
    static uint32_t Now() { return s_dwNow; }

private:
    static inline std::atomic<uint32_t> s_dwNow{1700000000};
    DecoyTimeSource m_previous = nullptr;
};

inline std::unique_ptr<CDecoyRule> MakeRule(const char* pszName, uint16_t wPort) {
    auto pRule = std::make_unique<CDecoyRule>();
    pRule->SetName(pszName);
    pRule->SetAlertType("SuspectPortConnection");
    pRule->SetPort(wPort);
    return pRule;
}

class Client {
public:
    // Open covers a connection not yet taken as well as a held one.
    enum class State { kOpen, kClosed, kReset };

    // Connects to 127.0.0.1:`wPort`; inside the network namespace of
    // `holder` when given, without waiting for the connection there.
    explicit Client(uint16_t wPort, pid_t holder = 0);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // `nCount` connections to 127.0.0.1:`wPort` made at once and waited for
    // together (5 s at most): those whose handshake did not complete by
    // then are not connected.
    static std::vector<std::unique_ptr<Client>> Burst(uint16_t wPort, size_t nCount);
    // A socket for 127.0.0.1:`wPort`, made now and connected only by
    // Connect, which does not wait: made before the process runs short of
    // descriptors, it connects without needing one.
    static std::unique_ptr<Client> Unconnected(uint16_t wPort);
    void Connect();

    bool IsConnected() const { return m_hSocket >= 0; }
    uint16_t LocalPort() const { return m_wLocalPort; }
    // Without waiting.  The system tells a reset once; it is remembered.
    State Look();
    bool Send(const std::string& strBytes) const;

private:
    Client() = default;
    // Whether the handshake completes within `nTimeoutMs`; the socket is
    // closed when it does not.
    bool WaitConnected(int nTimeoutMs);

    int m_hSocket = -1;
    uint16_t m_wPort = 0;
    uint16_t m_wLocalPort = 0;
    State m_state = State::kOpen;
};

// Another program's listener on a port: listens on every address at
// `wPort`, inside the network namespace of `holder` when given.
class Listener {
public:
    explicit Listener(uint16_t wPort, pid_t holder = 0);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    bool IsListening() const { return m_hSocket >= 0; }

private:
    int m_hSocket = -1;
};

}  // namespace decoytest
