#pragma once
// One entry of the decoy engine's port table: the rule whose port it
// listens on and the listening socket.  An entry is open exactly while it
// holds a socket; destroying it closes the socket.

#include <cstdint>

#include "Decoy/DecoyPortReport.h"
#include "platform/Sockets.h"

class CDecoyRule;
class SpareDescriptor;

struct ListeningPort {
    static constexpr uint16_t kProtocolTcp = 6;
    // Connections the system completes and keeps for the port until the
    // engine takes them (fewer when the system's own maximum is lower): a
    // scanner's burst, or what comes during a reload, waits here instead
    // of having its handshake dropped.
    static constexpr int kBacklog = 4096;

    ListeningPort() = default;
    ~ListeningPort() { Close(); }
    ListeningPort(const ListeningPort&) = delete;
    ListeningPort& operator=(const ListeningPort&) = delete;

    bool IsOpen() const { return m_hSocket != plat::kInvalidSocket; }
    // Listens on m_wPort: 1 when listening, -1 (logged, the entry left
    // closed) when the port is taken or cannot be bound or listened on.
    // `pOutcome`, when given, gets the kind and the socket error: the
    // reason in words is worth more to the operator than the error the
    // log gives.
    int32_t Open(DecoyPortOutcome* pOutcome = nullptr);
    void Close();
    // Takes the connection waiting on the port and resets it: the handshake
    // is complete by the time a connection can be seen, so a refusal is a
    // reset rather than a connection never made.  False when none waited.
    bool ResetWaiting();
    // Whether the calling thread's last accept that failed on a port found
    // no connection waiting, rather than one it could not take.
    static bool FoundNoneWaiting();
    // Resets the connections waiting on the port, at most `dwMax` (peers may
    // go on connecting); how many.  With no descriptor left, `pSpare` is let
    // go for them and taken again after.
    uint32_t ResetAllWaiting(uint32_t dwMax, SpareDescriptor* pSpare = nullptr);

    CDecoyRule* m_pRule = nullptr;  // not owned; null when free
    uint16_t m_wProtocol = kProtocolTcp;
    uint16_t m_wPort = 0;  // host order
    plat::SocketHandle m_hSocket = plat::kInvalidSocket;
};
