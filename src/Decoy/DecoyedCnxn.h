#pragma once
// A connection taken on a decoy port.  It is made for one pending
// connection and either refuses it at once or accepts it and is then held,
// silent, until its hold time is over; destroying it closes the socket.
// The peer's bytes are never read: whatever it sends stays in the system's
// bounded receive buffer and goes with the socket.
//
// The family: DecoyedCnxnImpl keeps the data, DecoyedCnxn adds the state
// and the time keeping, and DecoyedTCPCnxn (DecoyedTCPCnxn.h) the alert
// record and the accept.

#include <cstdint>

#include "platform/Sockets.h"

struct ListeningPort;

class DecoyedCnxnImpl {
public:
    static constexpr uint32_t kNoExpiry = 0xFFFFFFFFu;

    DecoyedCnxnImpl() = default;
    DecoyedCnxnImpl(const DecoyedCnxnImpl&) = delete;
    DecoyedCnxnImpl& operator=(const DecoyedCnxnImpl&) = delete;
    // Closes the socket if the connection still holds one.
    virtual ~DecoyedCnxnImpl();

    plat::SocketHandle GetSocket() const { return m_hSocket; }
    ListeningPort* GetListeningPort() const { return m_pListeningPort; }
    uint32_t GetExpiry() const { return m_dwExpiry; }

protected:
    ListeningPort* m_pListeningPort = nullptr;  // not owned
    plat::SocketHandle m_hSocket = plat::kInvalidSocket;
    uint32_t m_dwExpiry = kNoExpiry;  // seconds since 1970, compared without sign
};

class YieldableCnxn {
public:
    // Lets go of the socket without closing it and sets the expiry time;
    // the value, or -1 when there was no socket.
    virtual int32_t Yield(uint32_t dwValue) = 0;

protected:
    ~YieldableCnxn() = default;
};

class DecoyedCnxn : public DecoyedCnxnImpl, public YieldableCnxn {
public:
    static constexpr uint32_t kStateMade = 0;
    static constexpr uint32_t kStateAccepted = 1;
    static constexpr uint32_t kStateUnused = 4;
    static constexpr uint32_t kHoldSeconds = 60;

    // How long an accepted connection is held; kHoldSeconds unless a test
    // run of the whole host shortened it.  Process-wide.
    static uint32_t GetHoldSeconds();
    static void SetHoldSeconds(uint32_t dwSeconds);

    DecoyedCnxn() = default;
    ~DecoyedCnxn() override;

    // 0 when the pending connection was taken and is now held, -1 when not.
    virtual int32_t Accept(ListeningPort* pPort, uint32_t dwNow) = 0;
    // Takes the pending connection and resets it at once; always 0.  The
    // connection itself stays as it was made.
    virtual int32_t Reject(ListeningPort* pPort, uint32_t dwNow);
    virtual int32_t TimeLeftNow();
    // Seconds of hold left, 0 when due, -1 when the connection is not held.
    virtual int32_t TimeLeft(uint32_t dwNow);
    virtual uint32_t GetState() = 0;

    int32_t Yield(uint32_t dwValue) override;

protected:
    uint32_t m_dwState = kStateMade;
};
