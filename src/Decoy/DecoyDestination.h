#pragma once
// What happens to a connection on a decoy port: taken, held and reported
// while fewer than "Max Connections" are held, refused (and not reported)
// once the cap is reached, for "BlackoutPeriod" seconds from the last
// connection that found it full.  One destination belongs to one engine
// and is used on the engine's thread only; it owns the held connections.
//
// Each held connection keeps a descriptor, and whoever connects decides
// how many come, so holding has a bound of its own whatever the cap: at
// most kMaxHeld, and none into the descriptors the process keeps free
// (Descriptors.h).  A connection past it is still reported, then reset at
// once.  Both bounds, and the refusals of the cap, are said and counted.

#include <cstdint>

#include "Common/InputBounds.h"
#include "Decoy/CnxnContainer.h"

class CEngineDecoy;
class DecoyedTCPCnxn;
struct ListeningPort;

class DecoyDestination {
public:
    static constexpr uint32_t kMaxHeld = 256;
    // What Accept and Reject answer when no connection waited on the port:
    // the engine has taken all there was.
    static constexpr int32_t kNoneWaiting = 1;

    DecoyDestination();
    virtual ~DecoyDestination();
    DecoyDestination(const DecoyDestination&) = delete;
    DecoyDestination& operator=(const DecoyDestination&) = delete;

    virtual int32_t SetEngine(CEngineDecoy* pEngine);
    // Takes the pending connection on the port: 0 when it was held and
    // reported, or refused under the cap; kNoneWaiting when none waited;
    // -1 when it could not be taken.
    virtual int32_t Accept(ListeningPort* pPort, uint32_t dwNow);
    // Refuses the pending connection on the port: 0, kNoneWaiting, or -1
    // when it could not be taken and still waits.
    virtual int32_t Reject(ListeningPort* pPort, uint32_t dwNow);
    // The container's shortest time left, in milliseconds (0 and -1 as
    // they are).
    virtual int32_t GetTimeoutMs();
    virtual DecoyedTCPCnxn* GetExpiredConnection();
    virtual DecoyedTCPCnxn* FindConnection(int32_t nKey);
    virtual DecoyedTCPCnxn* RemoveConnectionByKey(int32_t nKey);
    virtual DecoyedTCPCnxn* RemoveConnection(DecoyedTCPCnxn* pCnxn);
    virtual CEngineDecoy* GetEngine() { return m_pEngine; }

    CnxnContainer& GetContainer() { return m_Container; }

    // Closes every held connection whose hold is over; how many it closed.
    // The engine calls it on every pass, so a hold ends on time even when
    // no further connection comes.
    uint32_t CloseExpired();

    // The end of the refusal period (seconds since 1970), shared by every
    // destination of the process.
    static int32_t GetRefusalEnd();
    static void SetRefusalEnd(int32_t nEnd);

    // A load left the engine with ports (`bPorts`) or without: the bounds
    // of ports no longer opened, and of a cap or period the load changed,
    // end.
    static void EndStaleBounds(bool bPorts);

private:
    // Whether one more connection may be held: below kMaxHeld, and with a
    // descriptor free above the floor.
    bool HasRoomToHold();
    // Resets the connection waiting on the port, with the engine's spare
    // when no descriptor is left; answers as Reject does.
    int32_t ResetOne(ListeningPort* pPort);
    // A connection accepted that cannot be held: reported, then reset.
    void ReportWithoutHold(DecoyedTCPCnxn& cnxn);
    void SayRefused(int32_t nMaxConnections, int32_t nBlackout);

    CEngineDecoy* m_pEngine = nullptr;  // not owned
    CnxnContainer m_Container;
    // The bound on what is held, once a connection was not.
    InputBoundHandle m_HoldBound;
    // The bound of the cap and period last refused by.
    InputBound* m_pRefusedBound = nullptr;
    int32_t m_nRefusedMax = 0;
    int32_t m_nRefusedBlackout = 0;
};
