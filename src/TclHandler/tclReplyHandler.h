#pragma once
// The thread that reads the script process's replies off the connection and
// queues them for the script handler.  It only reads; the handler thread is
// the only writer on the connection.

#include <atomic>
#include <cstdint>
#include <memory>

#include "qorToolsLib/ReportLimiter.h"
#include "qorToolsLib/jsThread.h"

class LineSocket;
class tclQueueSet;
class tclRequest;

class tclReplyHandler : public qorThread {
public:
    // How long one read waits, so that a stop is noticed in good time.
    static constexpr uint32_t kReadTimeoutMs = 200;

    tclReplyHandler();
    ~tclReplyHandler() override;

    // Resets and starts the thread on the connection; true when it runs.
    // A previous run still winding down is awaited first, so two readers
    // never share the connection.
    bool Start(tclQueueSet* pQueues, LineSocket* pConnection);
    // Asks the thread to stop and waits a second for it, not forced.
    void Stop();
    // The process was asked to end: a connection that ends from now on is
    // no failure, and the thread leaves without reporting it.
    void ExpectEnd() { m_bEndExpected = 1; }

    uint32_t _doWork() override;

private:
    using qorThread::Start;
    using qorThread::Stop;
    void PushReply(std::unique_ptr<tclRequest>& pReply);
    void PushFailure(std::unique_ptr<tclRequest>& pReply);

    tclQueueSet* m_pQueues = nullptr;
    LineSocket* m_pConnection = nullptr;
    std::atomic<uint8_t> m_bEndExpected{0};
    // The process's lines that do not parse are logged so many times a
    // minute, the next line counting those left out.
    ReportLimiter m_ParseErrorReports{std::chrono::minutes(1), 20};
};
