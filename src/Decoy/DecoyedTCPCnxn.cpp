#include "Decoy/DecoyedTCPCnxn.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "Common/HelperFunc.h"
#include "Decoy/CDecoyRule.h"
#include "Decoy/CEngineDecoy.h"
#include "Decoy/ListeningPort.h"
#include "Decoy/SpareDescriptor.h"
#include "platform/Descriptors.h"
#include "platform/LastError.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/ErrorWords.h"
#include "qorToolsLib/ReportLimiter.h"

namespace {

constexpr uint32_t kConnectionRefused = 10061;
constexpr int32_t kTcp = 6;

// A failed accept happens at the rate outside hosts connect, so its lines
// share one budget for the whole process, like the refusal period.
std::mutex g_FailureLock;
ReportLimiter g_FailureReports{std::chrono::minutes(1), DecoyedTCPCnxnImpl::kFailureReportsPerMinute};
// The shortages said (findings of the host's), taken back once an accept
// needs no spare descriptor again; past so many, the host counts the rest.
constexpr size_t kMaxShortagesKept = 64;
std::vector<std::string> g_ShortagesSaid;
std::atomic<bool> g_bShortageSaid{false};

void EndShortagesSaid() {
    if (!g_bShortageSaid.load(std::memory_order_relaxed)) {
        return;
    }
    std::vector<std::string> said;
    {
        std::lock_guard<std::mutex> guard(g_FailureLock);
        said.swap(g_ShortagesSaid);
        g_bShortageSaid.store(false, std::memory_order_relaxed);
    }
    for (const std::string& strText : said) {
        CSFNoticeFindingEnded(strText.c_str());
    }
}

}  // namespace

DecoyedTCPCnxnImpl::DecoyedTCPCnxnImpl(CDecoyRule* pRule) : m_Event(pRule) {
    m_Event.m_pYieldable = this;
}

DecoyedTCPCnxnImpl::~DecoyedTCPCnxnImpl() = default;

void DecoyedTCPCnxnImpl::NoteEndpoints(const plat::Ipv4Endpoint& peer, bool bPeerKnown) {
    CSF_TRACE(kCSFLogInfo, "pCnxn = %ld", reinterpret_cast<long>(this));
    m_Event.m_dwSourceAddress = bPeerKnown ? peer.m_dwAddress : 0;
    m_Event.m_nSourcePort = bPeerKnown ? plat::PortNumber(peer.m_wPort) : 0;
    m_Event.m_bSourceAddressSet = true;
    plat::Ipv4Endpoint local;
    const bool bLocalKnown = plat::GetSocketLocalEndpoint(m_hSocket, local);
    if (!bLocalKnown) {
        const uint32_t dwError = plat::GetLastError();
        CSF_LOG(kCSFLogError, "failure(%lu) in getsockname(%ld) (%s)",
                static_cast<unsigned long>(dwError), static_cast<long>(m_pListeningPort->m_hSocket),
                ErrorWords(dwError).c_str());
    }
    m_Event.m_dwDestinationAddress = bLocalKnown ? local.m_dwAddress : 0;
    m_Event.m_nDestinationPort = bLocalKnown ? plat::PortNumber(local.m_wPort) : 0;
    m_Event.m_bDestinationAddressSet = true;
}

void DecoyedTCPCnxnImpl::FillMissingEndpoints() {
    if (m_Event.m_dwDestinationAddress == 0) {
        m_Event.m_dwDestinationAddress = GetLocalHostAddress();
    }
    if (m_Event.m_nDestinationPort == 0) {
        m_Event.m_nDestinationPort = m_pListeningPort->m_wPort;
    }
    if (m_Event.m_dwSourceAddress == 0 || m_Event.m_nSourcePort == 0) {
        plat::Ipv4Endpoint peer;
        bool bIpv4 = false;
        if (plat::GetSocketPeerEndpoint(m_hSocket, peer, bIpv4) && bIpv4) {
            if (m_Event.m_dwSourceAddress == 0) {
                m_Event.m_dwSourceAddress = peer.m_dwAddress;
            }
            if (m_Event.m_nSourcePort == 0) {
                m_Event.m_nSourcePort = plat::PortNumber(peer.m_wPort);
            }
        }
    }
}

int32_t DecoyedTCPCnxnImpl::Accept(ListeningPort* pPort, uint32_t dwNow) {
    if (pPort == nullptr || !pPort->IsOpen()) {
        return -1;
    }
    m_pListeningPort = pPort;
    CSF_TRACE(kCSFLogInfo, "Accepting connection on port %d", pPort->m_wPort);
    plat::Ipv4Endpoint peer;
    bool bPeerKnown = false;
    plat::SocketHandle hSocket = plat::AcceptOnSocket(pPort->m_hSocket, peer, bPeerKnown);
    std::string strShortage;
    if (hSocket == plat::kInvalidSocket && plat::LastErrorIsOutOfDescriptors(&strShortage) &&
        m_pSpare != nullptr && m_pSpare->Release()) {
        hSocket = plat::AcceptOnSocket(pPort->m_hSocket, peer, bPeerKnown);
        m_bOnSpare = hSocket != plat::kInvalidSocket;
    }
    if (hSocket == plat::kInvalidSocket) {
        const uint32_t dwError = plat::GetLastError();
        m_bNoneWaiting = ListeningPort::FoundNoneWaiting();
        if (!plat::LastErrorIsOutOfDescriptors(&strShortage)) {
            strShortage.clear();
        }
        if (m_pSpare != nullptr) {
            m_pSpare->Take();
        }
        if (!m_bNoneWaiting) {
            ReportFailure(dwError, strShortage);
        }
        return -1;
    }
    if (!m_bOnSpare) {
        EndShortagesSaid();
    }
    m_hSocket = hSocket;
    m_Event.m_hSocket = hSocket;
    NoteEndpoints(peer, bPeerKnown);
    FillMissingEndpoints();
    if (!plat::SetSocketOobInline(m_hSocket, true)) {
        const uint32_t dwError = plat::GetLastError();
        CSF_LOG(kCSFLogError, "failed (%d) to inline OOB data (%s)", static_cast<int>(dwError),
                ErrorWords(dwError).c_str());
    }
    m_dwState = kStateAccepted;
    m_dwExpiry = dwNow + GetHoldSeconds();
    CSF_TRACE(kCSFLogInfo, "new Decoyed TCP Connection finished");
    return 0;
}

void DecoyedTCPCnxnImpl::ResetNow() {
    if (m_hSocket != plat::kInvalidSocket) {
        plat::SetSocketLinger(m_hSocket, true, 0);
        plat::CloseSocket(m_hSocket);
        m_hSocket = plat::kInvalidSocket;
    }
}

void DecoyedTCPCnxnImpl::ReportFailure(uint32_t dwError, const std::string& strShortage) {
    std::lock_guard<std::mutex> guard(g_FailureLock);
    m_bFailureLeftOut = !g_FailureReports.Allow(ReportLimiter::Now());
    if (m_bFailureLeftOut) {
        return;
    }
    const std::string strLeftOut = g_FailureReports.LeftOutNote("failed accepts");
    if (dwError == kConnectionRefused) {
        CSF_LOG(kCSFLogInfo, "Connection rejected from %s%s", m_Event.GetSourceAddressText(),
                strLeftOut.c_str());
    } else if (!strShortage.empty()) {
        // The connection is still there: it is taken once a descriptor is
        // free, so the line says so rather than that it failed.
        const std::string strText = "Error(" + std::to_string(static_cast<int>(dwError)) +
                                    ") accepting connection: " + strShortage +
                                    ", so a connection waits on decoy port " +
                                    std::to_string(static_cast<int>(m_pListeningPort->m_wPort)) +
                                    " until one is free" + strLeftOut;
        CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "%s", strText.c_str());
        if (g_ShortagesSaid.size() < kMaxShortagesKept) {
            g_ShortagesSaid.push_back(strText);
            g_bShortageSaid.store(true, std::memory_order_relaxed);
        }
    } else {
        CSF_LOG(kCSFLogNotice, "Error(%d) accepting connection (%s)%s", static_cast<int>(dwError),
                ErrorWords(dwError).c_str(), strLeftOut.c_str());
    }
}

DecoyedTCPCnxn::DecoyedTCPCnxn(CDecoyRule* pRule) : DecoyedTCPCnxnImpl(pRule) {
    m_Event.m_dwIANAProtocolId = kTcp;
    m_Event.m_bIANAProtocolIdSet = true;
    m_Event.m_nAttackSuccessful = 0;
}

DecoyedTCPCnxn::~DecoyedTCPCnxn() = default;

uint8_t DecoyedTCPCnxn::EmitEvent(CEngineDecoy* pEngine) {
    m_Event.SetAttackOriginAddress(m_Event.m_dwSourceAddress);
    AgentEventInfo* pCopy = m_Event.Clone();
    if (pCopy == nullptr || pEngine == nullptr) {
        delete pCopy;
        return 0;
    }
    return pEngine->ExecuteResponses(pCopy);
}
