#pragma once
// The thread that owns the syslog UDP socket: it receives datagrams and
// hands each to the engine thread through a SyslogEntryQueue, and does
// nothing else, so the socket is drained as fast as datagrams arrive.
//
// The thread waits on its socket and on a wake signal together; a stop
// signals it, the thread is joined, and only then is the socket closed, so
// the descriptor is never closed (and reused) under a waiting thread.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Sockets.h"
#include "platform/WakeSignal.h"
#include "qorToolsLib/ReportLimiter.h"
#include "qorToolsLib/jsThread.h"

class SyslogEntryQueue;

class NTSyslogListeningThread : public qorThread {
public:
    static constexpr uint16_t kSyslogPort = 514;
    // The largest datagram taken whole is one byte less, which leaves room
    // for the terminating NUL.
    static constexpr size_t kReceiveBufferSize = 65506;
    // Datagrams taken from the socket with one system call.  A listener
    // that falls behind catches up in batches this large; the room they
    // need is touched only as far as the datagrams reach.
    static constexpr size_t kReceiveBatch = 32;
    static constexpr uint32_t kListenerPriorityLevel = 2;
    // What the kernel may hold for the listener: a burst, or a moment in
    // which the thread is not scheduled, must not overflow the socket.
    // The default (about 200 kB, a few hundred datagrams) lasts only a few
    // milliseconds at tens of thousands of datagrams a second.
    static constexpr int kSocketReceiveBuffer = 8 * 1024 * 1024;

    // What becomes of the datagrams the system still holds for the socket
    // when it closes.
    enum class Leftovers {
        // A pause: they are queued, to be parsed after the resume.
        kQueue,
        // A stop: they are counted as dropped, left in the socket.
        kCount,
    };
    // The close takes what the socket holds into the queue for this long at
    // most; what is still there after it is counted as left in the socket.
    static constexpr int kCloseQueueMs = 500;
    // A close that could not keep further datagrams out of the socket takes
    // and counts only for this long, so a flood cannot hold a stop.
    static constexpr int kCloseDrainMs = 1000;

    explicit NTSyslogListeningThread(const char* pszName, uint16_t wPort = kSyslogPort);
    ~NTSyslogListeningThread() override;

    // Opens and binds the socket when none is open, then starts the thread
    // feeding `pQueue`; true when the thread runs afterwards.
    bool StartListening(SyslogEntryQueue* pQueue);
    // Queues one datagram's text, all `length` bytes of it: a NUL the sender
    // put in it hides nothing after it from the rules.
    void QueueEntry(const plat::Ipv4Endpoint& sender, const char* pszText, size_t length);
    // Tells the thread to end without waiting for it.
    void RequestStop();
    // Tells the thread to end, waits until it has, then closes the socket,
    // first taking or counting, as `leftovers` says, the datagrams it still
    // holds; true when the thread has ended.
    bool StopAndWait(Leftovers leftovers = Leftovers::kCount);

    uint32_t _doWork() override;

    bool IsSocketOpen() const { return m_hSocket != plat::kInvalidSocket; }
    uint16_t GetPort() const { return m_wPort; }
    // Why the last attempt to open the socket failed, in a few words
    // ("held by rsyslogd (pid 812)"); empty after a success.  Read on the
    // control thread, which alone opens the socket.
    const std::string& GetOpenFailure() const { return m_strOpenFailure; }
    // Datagrams too large for the receive buffer, refused since the listener
    // was made.
    uint64_t OversizedCount() const { return m_qwOversized.load(std::memory_order_relaxed); }
    // Datagrams the system dropped before the listener could take them (the
    // socket's buffer was full), since the listener was made.  Complete
    // once the socket is closed; while it is open, up to the last reading
    // of the socket's count (see ReceivePending).
    uint64_t KernelDroppedCount() const {
        return m_qwKernelDropped.load(std::memory_order_relaxed);
    }
    // Datagrams the socket still held when it closed and that were not
    // queued, since the listener was made.
    uint64_t LeftInSocketCount() const {
        return m_qwLeftInSocket.load(std::memory_order_relaxed);
    }

private:
    bool OpenSocket();
    // Says why the bind failed, what to do about it, and that syslog input
    // is off meanwhile; keeps the cause for GetOpenFailure.  What it said
    // is taken back from the host's findings once a later bind (at a
    // reload or resume) takes the port, or fails for another reason.
    void ReportBindFailure(uint32_t dwError);
    void EndFailureSaid();
    void CloseSocket(Leftovers leftovers);
    // Takes what the socket holds, once nothing more can reach it, and
    // queues or counts it.
    void DrainAtClose(Leftovers leftovers);
    // Takes the datagrams waiting on the socket, batch by batch, up to a
    // limit, and reads the system's drop count when they may have
    // overflowed the socket.  It has a file of its own, so that a load
    // driver can build the sensor with another receive and compare them.
    void ReceivePending();
    // Queues datagram `index` of the batch just received, or counts it as
    // too large.
    void QueueReceived(size_t index);
    void ReportReceiveError(uint32_t dwError);
    // Adds what the socket's drop count grew by since it was last read.
    void ReadKernelDrops();

    plat::SocketHandle m_hSocket = plat::kInvalidSocket;
    SyslogEntryQueue* m_pQueue = nullptr;
    const uint16_t m_wPort;
    plat::WakeSignal m_wake;
    // Room for kReceiveBatch datagrams, each up to one byte less than the
    // receive buffer; a longer one is refused as too large.
    plat::DatagramBatch m_Batch{kReceiveBatch, kReceiveBufferSize - 1};
    std::atomic<uint64_t> m_qwOversized{0};
    std::atomic<uint64_t> m_qwKernelDropped{0};
    std::atomic<uint64_t> m_qwLeftInSocket{0};
    // The open socket's drop count as last read: the listener thread's
    // while it runs, the control thread's around it.
    uint32_t m_dwDropCount = 0;
    // Wakes since the drop count was last read (listener thread).
    uint32_t m_dwWakesSinceDropRead = 0;
    std::string m_strOpenFailure;
    // The bind failure said last and not yet seen to end (control thread).
    std::string m_strFailureSaid;
    // Receive errors and oversized datagrams are reported at most once a
    // minute; a sender cannot flood the log with them.
    ReportLimiter m_errorReports;
};
