#include "Decoy/DecoyedCnxn.h"

#include <atomic>

#include "Decoy/DecoyClock.h"
#include "Decoy/ListeningPort.h"
#include "qorCSFLib/CSFLog.h"

namespace {

std::atomic<uint32_t> g_dwHoldSeconds{DecoyedCnxn::kHoldSeconds};

}  // namespace

uint32_t DecoyedCnxn::GetHoldSeconds() {
    return g_dwHoldSeconds.load(std::memory_order_relaxed);
}

void DecoyedCnxn::SetHoldSeconds(uint32_t dwSeconds) {
    g_dwHoldSeconds.store(dwSeconds, std::memory_order_relaxed);
}

DecoyedCnxnImpl::~DecoyedCnxnImpl() {
    if (m_hSocket != plat::kInvalidSocket) {
        CSF_TRACE(kCSFLogInfo, "closing socket");
        plat::CloseSocket(m_hSocket);
        m_hSocket = plat::kInvalidSocket;
    }
}

DecoyedCnxn::~DecoyedCnxn() = default;

int32_t DecoyedCnxn::Reject(ListeningPort* pPort, uint32_t /*dwNow*/) {
    if (pPort != nullptr) {
        pPort->ResetWaiting();
    }
    return 0;
}

int32_t DecoyedCnxn::TimeLeftNow() {
    return TimeLeft(DecoyTimeNow());
}

int32_t DecoyedCnxn::TimeLeft(uint32_t dwNow) {
    if (m_dwState == kStateMade || m_dwState == kStateUnused) {
        CSF_LOG(kCSFLogWarning, "timeout for cnxn in state %d", static_cast<int>(m_dwState));
        return -1;
    }
    if (m_dwExpiry == 0 || m_dwExpiry <= dwNow) {
        return 0;
    }
    return static_cast<int32_t>(m_dwExpiry - dwNow);
}

int32_t DecoyedCnxn::Yield(uint32_t dwValue) {
    m_dwExpiry = dwValue;
    if (m_hSocket == plat::kInvalidSocket) {
        return -1;
    }
    m_hSocket = plat::kInvalidSocket;
    return static_cast<int32_t>(dwValue);
}
