#include "Decoy/DecoyDestination.h"

#include <atomic>
#include <climits>
#include <memory>
#include <new>
#include <string>

#include "Common/InputBounds.h"
#include "Common/SensorSettings.h"
#include "Decoy/CEngineDecoy.h"
#include "Decoy/DecoyedTCPCnxn.h"
#include "Decoy/ListeningPort.h"
#include "Decoy/SpareDescriptor.h"
#include "platform/Descriptors.h"
#include "qorCSFLib/CSFLog.h"

namespace {

// One for the whole process, like the settings it comes from.
std::atomic<int32_t> g_nRefusalEnd{0};

constexpr char kBoundInput[] = "decoy ports";

std::string HoldLimit() {
    return "at most " + std::to_string(DecoyDestination::kMaxHeld) +
           " connections held, none into the descriptors kept free; past that a connection is reported and "
           "reset at once";
}

std::string RefusedLimit(int32_t nMaxConnections, int32_t nBlackout) {
    return "at most " + std::to_string(nMaxConnections) +
           " connections held (\"Max Connections\"), then every connection refused without an alert for " +
           std::to_string(nBlackout) + " s (\"BlackoutPeriod\")";
}

// The connection object for the port's pending connection; null (logged)
// when there is no memory for it.
std::unique_ptr<DecoyedTCPCnxn> NewConnection(ListeningPort* pPort) {
    std::unique_ptr<DecoyedTCPCnxn> pCnxn(new (std::nothrow) DecoyedTCPCnxn(pPort->m_pRule));
    if (!pCnxn) {
        CSF_LOG(kCSFLogError, "failed to create DecoyedTCPCnxn");
    }
    return pCnxn;
}

}  // namespace

int32_t DecoyDestination::GetRefusalEnd() {
    return g_nRefusalEnd.load(std::memory_order_relaxed);
}

void DecoyDestination::SetRefusalEnd(int32_t nEnd) {
    g_nRefusalEnd.store(nEnd, std::memory_order_relaxed);
}

DecoyDestination::DecoyDestination() {
    CSF_TRACE(kCSFLogInfo, "creating new DecoyDestination");
}

DecoyDestination::~DecoyDestination() = default;

int32_t DecoyDestination::SetEngine(CEngineDecoy* pEngine) {
    m_pEngine = pEngine;
    return 0;
}

uint32_t DecoyDestination::CloseExpired() {
    if (m_Container.GetMinTimeout() != 0) {
        return 0;
    }
    uint32_t dwClosed = 0;
    while (DecoyedTCPCnxn* pExpired = m_Container.GetExpiredItem()) {
        DecoyedTCPCnxn* pRemoved = m_Container.RemoveByPointer(pExpired);
        if (pRemoved == nullptr) {
            break;
        }
        delete pRemoved;
        ++dwClosed;
    }
    return dwClosed;
}

int32_t DecoyDestination::Accept(ListeningPort* pPort, uint32_t dwNow) {
    if (pPort == nullptr) {
        return -1;
    }
    CSF_TRACE(kCSFLogInfo, "accepting cnxn on port: %d", pPort->m_wPort);
    CloseExpired();
    const SensorSettings& settings = SensorSettings::Instance();
    const int32_t nNow = static_cast<int32_t>(dwNow);
    const int64_t qwHeld = m_Container.GetCount();
    // The refusal period runs from the last connection that found the cap
    // full, so it is set only once a connection was there to be taken or
    // refused: the engine's last look at a port finds none.
    const bool bFull = settings.m_nMaxConnections <= qwHeld;
    int32_t nRefusalEnd = GetRefusalEnd();
    if (bFull) {
        CSF_TRACE(kCSFLogInfo, "connection count (%d) would exceed configured maximum (%d)",
                  static_cast<int>(qwHeld + 1), settings.m_nMaxConnections);
        // A period too long for the clock's range refuses until its end,
        // rather than wrapping into the past and refusing nothing.
        const int64_t qwEnd = static_cast<int64_t>(nNow) + settings.m_nBlackoutPeriod;
        nRefusalEnd = qwEnd > INT32_MAX ? INT32_MAX : static_cast<int32_t>(qwEnd);
    }
    if (nNow < nRefusalEnd) {
        const int32_t nResult = ResetOne(pPort);
        if (nResult == 0) {
            SetRefusalEnd(nRefusalEnd);
            SayRefused(settings.m_nMaxConnections, settings.m_nBlackoutPeriod);
        }
        return nResult;
    }
    std::unique_ptr<DecoyedTCPCnxn> pCnxn = NewConnection(pPort);
    if (!pCnxn) {
        return -1;
    }
    SpareDescriptor* pSpare = m_pEngine != nullptr ? &m_pEngine->GetSpare() : nullptr;
    if (pSpare != nullptr) {
        pSpare->Take();
    }
    pCnxn->SetSpare(pSpare);
    if (pCnxn->Accept(pPort, dwNow) == -1) {
        if (pCnxn->FoundNoneWaiting()) {
            return kNoneWaiting;
        }
        // Said only with the connection's own line, which is rate-limited.
        if (!pCnxn->IsFailureLeftOut()) {
            CSF_LOG(kCSFLogError, "failed to accept connection");
        }
        return -1;
    }
    if (bFull) {
        SetRefusalEnd(nRefusalEnd);
    }
    if (pCnxn->IsOnSpare() || !HasRoomToHold()) {
        ReportWithoutHold(*pCnxn);
        if (pSpare != nullptr) {
            pSpare->Take();
        }
        return 0;
    }
    const plat::SocketHandle hSocket = pCnxn->GetSocket();
    if (m_Container.Add(hSocket, pCnxn.get()) == nullptr) {
        CSF_LOG(kCSFLogError, "Failed to add conection(%lu) to list of connections",
                static_cast<unsigned long>(hSocket));
        return -1;
    }
    DecoyedTCPCnxn* pHeld = pCnxn.release();
    pHeld->EmitEvent(m_pEngine);
    return 0;
}

int32_t DecoyDestination::ResetOne(ListeningPort* pPort) {
    SpareDescriptor* pSpare = m_pEngine != nullptr ? &m_pEngine->GetSpare() : nullptr;
    if (pPort->ResetAllWaiting(1, pSpare) == 1) {
        return 0;
    }
    return ListeningPort::FoundNoneWaiting() ? kNoneWaiting : -1;
}

bool DecoyDestination::HasRoomToHold() {
    return m_Container.GetCount() < kMaxHeld && plat::GetDescriptorBudget().Spare() > 0;
}

void DecoyDestination::ReportWithoutHold(DecoyedTCPCnxn& cnxn) {
    cnxn.EmitEvent(m_pEngine);
    cnxn.ResetNow();
    m_HoldBound.LeftOut(
        // Reported, then reset: an alert, no loss.
        []() -> InputBound& {
            return InputBounds::Instance().Bound(kBoundInput, HoldLimit(), "connections not held", std::string(),
                                                 nullptr, InputBound::Fate::kNotLost);
        });
}

void DecoyDestination::SayRefused(int32_t nMaxConnections, int32_t nBlackout) {
    // The cap and the period come from the policy: each pair is a bound of
    // its own, found again after a reload that keeps them, and looked up
    // once for the connections of a blackout, not for each.
    if (m_pRefusedBound == nullptr || nMaxConnections != m_nRefusedMax || nBlackout != m_nRefusedBlackout) {
        m_pRefusedBound = &InputBounds::Instance().Bound(kBoundInput, RefusedLimit(nMaxConnections, nBlackout),
                                                         "connections refused");
        m_nRefusedMax = nMaxConnections;
        m_nRefusedBlackout = nBlackout;
    }
    m_pRefusedBound->LeftOut();
}

void DecoyDestination::EndStaleBounds(bool bPorts) {
    if (!bPorts) {
        InputBounds::Instance().EndInput(kBoundInput);
        return;
    }
    const SensorSettings& settings = SensorSettings::Instance();
    InputBounds::Instance().EndInput(kBoundInput,
                                     {HoldLimit(), RefusedLimit(settings.m_nMaxConnections, settings.m_nBlackoutPeriod)});
}

int32_t DecoyDestination::Reject(ListeningPort* pPort, uint32_t /*dwNow*/) {
    if (pPort == nullptr) {
        return -1;
    }
    CSF_TRACE(kCSFLogInfo, "rejecting connection, port: %d", pPort->m_wPort);
    return ResetOne(pPort);
}

int32_t DecoyDestination::GetTimeoutMs() {
    const int32_t nSeconds = m_Container.GetMinTimeout();
    return nSeconds <= 0 ? nSeconds : nSeconds * 1000;
}

DecoyedTCPCnxn* DecoyDestination::GetExpiredConnection() {
    return m_Container.GetExpiredItem();
}

DecoyedTCPCnxn* DecoyDestination::FindConnection(int32_t nKey) {
    return m_Container.FindByKey(nKey);
}

DecoyedTCPCnxn* DecoyDestination::RemoveConnectionByKey(int32_t nKey) {
    return m_Container.RemoveByKey(nKey);
}

DecoyedTCPCnxn* DecoyDestination::RemoveConnection(DecoyedTCPCnxn* pCnxn) {
    return m_Container.RemoveByPointer(pCnxn);
}
