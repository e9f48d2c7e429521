#include "TclHandler/tclReplyHandler.h"

#include "Common/LineSocket.h"
#include "TclHandler/tclQueueSet.h"
#include "TclHandler/tclRequest.h"
#include "platform/Sockets.h"
#include "platform/Wait.h"
#include "qorCSFLib/CSFLog.h"

tclReplyHandler::tclReplyHandler() : qorThread("tclReplyHandler", 2) {}

tclReplyHandler::~tclReplyHandler() {
    Stop();
    WaitForExit(plat::kInfinite);
}

bool tclReplyHandler::Start(tclQueueSet* pQueues, LineSocket* pConnection) {
    if (IsRunning()) {
        WaitForExit(plat::kInfinite);
    }
    Reset();
    m_bEndExpected = 0;
    m_pQueues = pQueues;
    m_pConnection = pConnection;
    if (m_pConnection != nullptr) {
        m_pConnection->SetReadTimeout(kReadTimeoutMs);
    }
    return qorThread::Start();
}

void tclReplyHandler::Stop() {
    qorThread::Stop(1000, false);
}

void tclReplyHandler::PushReply(std::unique_ptr<tclRequest>& pReply) {
    pReply->m_nAction = tclRequest::kReply;
    BoundedQueue<tclRequest>* pQueue =
        m_pQueues != nullptr ? &m_pQueues->Queue(tclQueueSet::kReplies) : nullptr;
    if (pQueue == nullptr || !m_pQueues->Push(tclQueueSet::kReplies, pReply.get())) {
        CSF_LOG(1, "ERROR pushing TCL reply (qsize: %d)",
                pQueue != nullptr ? static_cast<int>(pQueue->Size()) : 0);
        pReply.reset();
        return;
    }
    pReply.release();
}

void tclReplyHandler::PushFailure(std::unique_ptr<tclRequest>& pReply) {
    pReply->m_nAction = tclRequest::kConnectionFailed;
    if (m_pQueues != nullptr && m_pQueues->Push(tclQueueSet::kReplies, pReply.get())) {
        pReply.release();
    } else {
        pReply.reset();
    }
}

uint32_t tclReplyHandler::_doWork() {
    std::unique_ptr<tclRequest> pReply;
    while (StopRequested() == 0) {
        if (!pReply) {
            pReply = std::make_unique<tclRequest>();
        }
        uint32_t dwError = 0;
        int nResult = m_pConnection != nullptr ? pReply->Receive(*m_pConnection, dwError) : -1;
        if (m_pConnection == nullptr) {
            // Said as a failed read is, not with the text of another.
            dwError = plat::kWsaNotInitialised;
            pReply->m_strText = "Error when reading command from socket, errno = " +
                                std::to_string(dwError) + " (" + SocketErrorWords(dwError) + ")";
        }
        if (nResult == 1) {
            PushReply(pReply);
        } else if (nResult < 0 && dwError == 0) {
            if (m_ParseErrorReports.Allow(ReportLimiter::Now())) {
                CSF_LOG(1, "Error, %s%s\n", pReply->m_strText.c_str(),
                        m_ParseErrorReports.LeftOutNote("lines that did not parse").c_str());
            }
            pReply->Reset();
        } else if (nResult < 0) {
            if (StopRequested() != 0) {
                break;
            }
            if (m_bEndExpected != 0) {
                CSF_TRACE(9, "TclProc closed the connection after the Exit command");
                break;
            }
            CSF_LOG(1, "Socket error, %s\n", pReply->m_strText.c_str());
            PushFailure(pReply);
            Sleep(1000);
        }
    }
    return 0;
}
