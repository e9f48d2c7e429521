#include "Decoy/ListeningPort.h"

#include <atomic>

#include "Decoy/SpareDescriptor.h"
#include "platform/Descriptors.h"
#include "platform/LastError.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/ErrorWords.h"

namespace {

constexpr uint32_t kAddressInUse = 10048;
constexpr uint32_t kAccessDenied = 10013;
constexpr uint32_t kWouldBlock = 10035;
constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 as it stands in memory

// Only the first failure in the process is worth a line.
std::atomic<bool> g_bLingerFailureLogged{false};

// Whether something already accepts connections on the port.
bool SomethingListens(uint16_t wPort) {
    plat::SocketHandle hProbe = plat::OpenTcpSocket();
    if (hProbe == plat::kInvalidSocket) {
        return false;
    }
    plat::Ipv4Endpoint target;
    target.m_dwAddress = kLoopback;
    target.m_wPort = plat::PortField(wPort);
    const bool bConnected = plat::ConnectSocket(hProbe, target);
    plat::CloseSocket(hProbe);
    return bConnected;
}

using Kind = DecoyPortOutcome::Kind;

int32_t Fail(DecoyPortOutcome* pOutcome, Kind kind, uint32_t dwError = 0) {
    if (pOutcome != nullptr) {
        pOutcome->m_Kind = kind;
        pOutcome->m_dwError = dwError;
    }
    return -1;
}

}  // namespace

void ListeningPort::Close() {
    plat::CloseSocket(m_hSocket);
    m_hSocket = plat::kInvalidSocket;
}

bool ListeningPort::FoundNoneWaiting() {
    return plat::GetLastError() == kWouldBlock;
}

bool ListeningPort::ResetWaiting() {
    if (!IsOpen()) {
        return false;
    }
    plat::Ipv4Endpoint peer;
    bool bIpv4 = false;
    const plat::SocketHandle hRefused = plat::AcceptOnSocket(m_hSocket, peer, bIpv4);
    if (hRefused == plat::kInvalidSocket) {
        return false;
    }
    plat::SetSocketLinger(hRefused, true, 0);
    plat::CloseSocket(hRefused);
    return true;
}

uint32_t ListeningPort::ResetAllWaiting(uint32_t dwMax, SpareDescriptor* pSpare) {
    uint32_t dwReset = 0;
    bool bSpareLent = false;
    while (dwReset < dwMax) {
        if (ResetWaiting()) {
            ++dwReset;
            continue;
        }
        // Each reset gives its number back, so one spare serves them all.
        if (bSpareLent || !plat::LastErrorIsOutOfDescriptors() || pSpare == nullptr ||
            !pSpare->Release()) {
            break;
        }
        bSpareLent = true;
    }
    if (bSpareLent) {
        pSpare->Take();
    }
    return dwReset;
}

int32_t ListeningPort::Open(DecoyPortOutcome* pOutcome) {
    if (pOutcome != nullptr) {
        pOutcome->m_Kind = Kind::kOpen;
        pOutcome->m_dwError = 0;
    }
    if (m_wProtocol != kProtocolTcp) {
        return Fail(pOutcome, Kind::kNoSocket);
    }
    Close();
    plat::SocketHandle hSocket = plat::OpenTcpSocket();
    if (hSocket == plat::kInvalidSocket) {
        return Fail(pOutcome, Kind::kNoSocket, plat::GetLastError());
    }
    if (!plat::SetSocketLinger(hSocket, false, 0) && !g_bLingerFailureLogged.exchange(true)) {
        CSF_LOG(kCSFLogNotice, "can't disable LINGER option for %d", hSocket);
    }
    if (SomethingListens(m_wPort)) {
        CSF_LOG(kCSFLogError, "Port %d already in use on system.\n", m_wPort);
        plat::CloseSocket(hSocket);
        return Fail(pOutcome, Kind::kInUse);
    }
    // Held connections closed at a pause leave their port in a closing state
    // for a while; without address reuse the resumed engine could not listen
    // there again.  A second listener on the port is still refused.
    plat::AllowAddressReuse(hSocket);
    plat::Ipv4Endpoint local;
    local.m_wPort = plat::PortField(m_wPort);
    if (!plat::BindSocket(hSocket, local)) {
        const uint32_t dwError = plat::GetLastError();
        Kind kind = Kind::kBind;
        if (dwError == kAddressInUse) {
            CSF_LOG(kCSFLogError, "Port %d already in use on system.\n", m_wPort);
            kind = Kind::kInUse;
        } else {
            CSF_LOG(kCSFLogError, "Unable to bind to port %d (error: %d). (%s)\n", m_wPort,
                    static_cast<int>(dwError), ErrorWords(dwError).c_str());
            kind = dwError == kAccessDenied ? Kind::kNoRight : kind;
        }
        plat::CloseSocket(hSocket);
        return Fail(pOutcome, kind, dwError);
    }
    // A peer that gives up between the wait and the accept must not leave the
    // engine thread blocked in the accept.
    if (!plat::ListenOnSocket(hSocket, kBacklog) || !plat::SetSocketNonBlocking(hSocket)) {
        const uint32_t dwError = plat::GetLastError();
        CSF_LOG(kCSFLogError, "Unable to listen to port %d: %d. (%s)\n", m_wPort,
                static_cast<int>(dwError), ErrorWords(dwError).c_str());
        plat::CloseSocket(hSocket);
        return Fail(pOutcome, Kind::kListen, dwError);
    }
    m_hSocket = hSocket;
    return 1;
}
