#include "NTSyslog/NTSyslogListeningThread.h"

#include <chrono>
#include <cstring>

#include "NTSyslog/SyslogEntryQueue.h"
#include "platform/Console.h"
#include "platform/LastError.h"
#include "platform/PortHolder.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/ErrorWords.h"

namespace {

constexpr uint32_t kAddressInUse = 10048;
constexpr uint32_t kAccessDenied = 10013;
constexpr uint32_t kMessageTooLong = 10040;
constexpr uint32_t kWouldBlock = 10035;
constexpr int kWaitMs = 1000;

}  // namespace

NTSyslogListeningThread::NTSyslogListeningThread(const char* pszName, uint16_t wPort)
    : qorThread(pszName, kListenerPriorityLevel),
      m_wPort(wPort) {}

NTSyslogListeningThread::~NTSyslogListeningThread() {
    StopAndWait();
}

bool NTSyslogListeningThread::OpenSocket() {
    plat::SocketHandle socket = plat::OpenUdpSocket();
    if (socket == plat::kInvalidSocket) {
        m_strOpenFailure = "no UDP socket could be made";
        plat::ConsoleWrite("ERROR: Failed to create a UDP socket for NTSyslog\n");
        return false;
    }
    plat::Ipv4Endpoint local;
    local.m_wPort = plat::PortField(m_wPort);
    if (!plat::BindSocket(socket, local)) {
        ReportBindFailure(plat::GetLastError());
        plat::CloseSocket(socket);
        return false;
    }
    // Best effort: without it the socket keeps the system's default.
    plat::SetSocketReceiveBuffer(socket, kSocketReceiveBuffer);
    // Datagrams the system drops are counted with the engine's own drops;
    // without the count they would be lost without a trace.  A new socket
    // has dropped nothing.
    m_dwDropCount = 0;
    m_dwWakesSinceDropRead = 0;
    m_hSocket = socket;
    m_strOpenFailure.clear();
    EndFailureSaid();
    return true;
}

void NTSyslogListeningThread::EndFailureSaid() {
    if (!m_strFailureSaid.empty()) {
        CSFNoticeFindingEnded(m_strFailureSaid.c_str());
        m_strFailureSaid.clear();
    }
}

void NTSyslogListeningThread::ReportBindFailure(uint32_t dwError) {
    const std::string strPort = std::to_string(m_wPort);
    // Resumes, and so reloads that read a policy (which pause and resume the
    // engines), try the bind again; nothing else does.  A SIGHUP that reads
    // none leaves the engines running as they are.
    const char* const pszRetry =
        " Syslog input stays off until the port is tried again: at the next reload (a push or "
        "SIGHUP), resume or restart.";
    std::string strText;
    if (dwError == kAddressInUse) {
        const std::string strHolders = plat::DescribePortHolders(plat::PortProtocol::kUdp, m_wPort);
        m_strOpenFailure = "UDP port " + strPort + " is held by " +
                           (strHolders.empty() ? "another program" : strHolders);
        strText = "Syslog port (" + strPort + ") already in use on system. " + m_strOpenFailure +
                  ": stop it, or have it give up port " + strPort + "." + pszRetry;
    } else if (dwError == kAccessDenied) {
        m_strOpenFailure = "no right to bind UDP port " + strPort;
        strText = "Unable to bind to syslog port :" + strPort +
                  ": permission denied. Ports below 1024 need root or the bind capability: run "
                  "the host as root, or give its program the capability (setcap "
                  "cap_net_bind_service=+ep PROGRAM)." +
                  pszRetry;
    } else {
        const std::string strCause = ErrorWords(dwError);
        m_strOpenFailure = "UDP port " + strPort + " could not be bound (error " +
                           std::to_string(dwError) + ": " + strCause + ")";
        strText = "Unable to bind to syslog port :" + strPort + ": " + strCause + " (error " +
                  std::to_string(dwError) + ")." + pszRetry;
    }
    // Its console copy ("ERROR: ...") is the host's, so the host knows it
    // was shown.
    CSF_LOG(kCSFLogError | kCSFLogConsoleFlag, "%s", strText.c_str());
    if (strText != m_strFailureSaid) {
        EndFailureSaid();
        m_strFailureSaid = strText;
    }
}

void NTSyslogListeningThread::CloseSocket(Leftovers leftovers) {
    if (!IsSocketOpen()) {
        return;
    }
    DrainAtClose(leftovers);
    // The drops since the last datagram are known only to the socket.
    ReadKernelDrops();
    plat::CloseSocket(m_hSocket);
    m_hSocket = plat::kInvalidSocket;
}

void NTSyslogListeningThread::DrainAtClose(Leftovers leftovers) {
    // What the system holds for the socket would go with it, neither parsed
    // nor counted.  Once the socket takes no more, that is all there is,
    // bounded by the socket's buffer, and the drop count read after it is
    // the last.
    const bool bInputStopped = plat::StopDatagramInput(m_hSocket);
    if (!bInputStopped) {
        const uint32_t dwError = plat::GetLastError();
        CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag,
                "NTSyslog: new datagrams could not be kept out of UDP port %u before its "
                "close (error %u: %s): datagrams arriving while it closes may be lost uncounted",
                static_cast<unsigned>(m_wPort), dwError, ErrorWords(dwError).c_str());
    }
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (;;) {
        const auto elapsed = Clock::now() - start;
        // Reached only when senders could not be kept out (or the socket
        // keeps failing): a flood must not hold a stop.
        if (elapsed >= std::chrono::milliseconds(kCloseDrainMs)) {
            break;
        }
        const long count = m_Batch.Receive(m_hSocket);
        if (count < 0) {
            const uint32_t error = plat::GetLastError();
            if (error == kWouldBlock) {
                break;
            }
            // An error reported is an error taken off the socket; the
            // datagrams behind it are still there.
            ReportReceiveError(error);
            continue;
        }
        if (count == 0) {
            break;
        }
        // The queue takes them for a while; a close that takes longer (a
        // slow machine, a queue that cannot keep up) counts the rest
        // without their cost.
        if (leftovers == Leftovers::kQueue && m_pQueue != nullptr &&
            elapsed < std::chrono::milliseconds(kCloseQueueMs)) {
            for (size_t i = 0; i < static_cast<size_t>(count); ++i) {
                QueueReceived(i);
            }
        } else {
            m_qwLeftInSocket.fetch_add(static_cast<uint64_t>(count), std::memory_order_relaxed);
        }
    }
}

bool NTSyslogListeningThread::StartListening(SyslogEntryQueue* pQueue) {
    if (IsRunning()) {
        CSF_LOG(1, "SyslogListeningThread is already running. Can't start twice");
        plat::ConsoleWrite("ERROR: SyslogListeningThread is already running. Can't start twice\n");
        return false;
    }
    if (!IsSocketOpen() && !OpenSocket()) {
        return false;
    }
    m_pQueue = pQueue;
    Reset();
    // A wake-up left from the last stop must not end the new run's first wait.
    m_wake.Clear();
    if (!Start()) {
        const uint32_t dwError = plat::GetLastError();
        const std::string strWords = ErrorWords(dwError);
        CSF_LOG(1, "Unable to create SyslogListeningThread:%d (%s)", static_cast<int>(dwError),
                strWords.c_str());
        plat::ConsolePrintf("ERROR: Unable to create NTSyslogListeningThread:%d (%s)\n",
                            static_cast<int>(dwError), strWords.c_str());
        return false;
    }
    return true;
}

void NTSyslogListeningThread::QueueEntry(const plat::Ipv4Endpoint& sender, const char* pszText,
                                         size_t length) {
    if (m_pQueue == nullptr) {
        return;
    }
    m_pQueue->PushCopy(sender, pszText, length);
}

void NTSyslogListeningThread::RequestStop() {
    if (!IsRunning()) {
        return;
    }
    Stop(1, false);
    m_wake.Signal();
}

bool NTSyslogListeningThread::StopAndWait(Leftovers leftovers) {
    if (IsRunning()) {
        Stop(1, false);
        m_wake.Signal();
    }
    // The loop waits at most a second at a time, so the join is bounded;
    // only after it may the socket go.
    const bool ended = WaitForExit(plat::kInfinite) || !IsRunning();
    CloseSocket(leftovers);
    return ended;
}

void NTSyslogListeningThread::ReportReceiveError(uint32_t dwError) {
    if (!m_errorReports.Allow(ReportLimiter::Clock::now())) {
        return;
    }
    // A datagram too large is found by its length, not by the system: its
    // words say which buffer it did not fit.
    const std::string strWords =
        dwError == kMessageTooLong ? "message too long for the buffer of " +
                                         std::to_string(kReceiveBufferSize - 1) + " bytes"
                                   : ErrorWords(dwError);
    CSF_LOG(3, "Error recving syslog packet: %d (%s)", static_cast<int>(dwError),
            strWords.c_str());
    plat::ConsolePrintf("WARNING: Error recving syslog packet: %d (%s)\n",
                        static_cast<int>(dwError), strWords.c_str());
}

void NTSyslogListeningThread::ReadKernelDrops() {
    m_dwWakesSinceDropRead = 0;
    uint32_t dwDropCount = 0;
    if (IsSocketOpen() && plat::ReadDropCount(m_hSocket, dwDropCount)) {
        // The count wraps at 2^32: what it grew by since the last reading
        // is what counts.
        const uint32_t dwGrowth = dwDropCount - m_dwDropCount;
        m_dwDropCount = dwDropCount;
        m_qwKernelDropped.fetch_add(dwGrowth, std::memory_order_relaxed);
    }
}

void NTSyslogListeningThread::QueueReceived(size_t index) {
    const size_t length = m_Batch.Length(index);
    if (length > m_Batch.Size()) {
        m_qwOversized.fetch_add(1, std::memory_order_relaxed);
        ReportReceiveError(kMessageTooLong);
        return;
    }
    QueueEntry(m_Batch.Sender(index), m_Batch.Data(index), length);
}

uint32_t NTSyslogListeningThread::_doWork() {
    while (!StopRequested()) {
        switch (m_wake.WaitSocket(m_hSocket, kWaitMs)) {
            case plat::WakeSignal::Wait::kReadable:
                ReceivePending();
                break;
            case plat::WakeSignal::Wait::kWoken:
                m_wake.Clear();
                break;
            case plat::WakeSignal::Wait::kTimedOut:
                // A quiet second: drops after the last datagram show now
                // rather than only at the next datagram or the stop.
                ReadKernelDrops();
                break;
            case plat::WakeSignal::Wait::kFailed: {
                const uint32_t dwError = plat::GetLastError();
                plat::ConsolePrintf("Select in NTSyslogListeningThread return error: %d (%s)\n",
                                    static_cast<int>(dwError), ErrorWords(dwError).c_str());
                // A wait that keeps failing must not spin; a stop still
                // ends this pause at once.
                Sleep(kWaitMs);
                break;
            }
        }
    }
    return 0;
}
