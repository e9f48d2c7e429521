// The IDS slave's capture thread: read a frame, log it, let the module
// analyse it (its callbacks run the firewall checks and the match handling
// on this thread), answer blocked TCP with resets, and give the frame back
// to the driver, which passes or drops it.  Between frames the module ages
// its coalescer and does its housekeeping.  Also the two operations the
// master's watchdog calls.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>

#include "Common/InputBounds.h"
#include "IDS/CEngineIDSSlave.h"
#include "IDS/CaptureKeeper.h"
#include "IDS/IDSClock.h"
#include "IDS/SlaveReadyList.h"
#include "platform/FaultTrap.h"
#include "qorCSFLib/CSFLog.h"
#include "qorPacketLogLib/qorPacketLog.h"
#include "qorToolsLib/QorSeException.h"
#include "qorZamSensorLib/IZamSensor.h"
#include "qorZamSensorLib/qorZamSensorMgr.h"
#include "rawpacket/Driver.h"
#include "rawpacket/RpErrors.h"

namespace {

// The first read error of the process reaches the log; later ones of any
// slave only the trace.
std::atomic<bool> g_bReadErrorReported{false};

constexpr int32_t kVerdictDrop = zam::kVerdictDrop;
constexpr uint32_t kTcp = 6;
// The slave whose capture loop runs on this thread, if any.
thread_local const CEngineIDSSlave* t_pCapturingSlave = nullptr;

// How often a busy slave looks at the frames its adapter dropped.
constexpr uint64_t kCaptureDropFrames = 4096;

// Receive-context words the loop clears before every frame.
constexpr size_t kContextFirstCleared = 1;
constexpr size_t kContextWordsCleared = 6;

}  // namespace

uint32_t CEngineIDSSlave::_doWork() {
    const char* pszAdapter = m_strAdapterName.c_str();
    CSF_TRACE(kCSFLogInfo, "%s: %s called....", pszAdapter, "_doWork");
    SlaveReadyList::Instance().ReportReady(m_dwSlaveNumber);
    CSF_TRACE(kCSFLogInfo,
              "%s: called.... bIDSSInitialized %d, bZamLoaded %d, bPacketLogEnabled %d, pPacketLog "
              "%d CoalescerAgeInterval %d HousekeepingInterval %d",
              pszAdapter, bIDSSInitialized ? 1 : 0, bZamLoaded ? 1 : 0, bPacketLogEnabled ? 1 : 0,
              pPacketLog ? 1 : 0, static_cast<int32_t>(CoalescerAgeInterval),
              static_cast<int32_t>(HousekeepingInterval));
    if (!m_bPacketDriverInitialized || !m_pPacketDrv || !bIDSSInitialized) {
        // Nothing analyses what was kept: the reload does not wait for it.
        m_CatchUp.End();
    }
    if (!m_bPacketDriverInitialized || !m_pPacketDrv) {
        CSF_LOG(kCSFLogError,
                "Network Monitoring for interface %s is DISABLED. PacketDriver not initialized.\n",
                pszAdapter);
        return 1;
    }
    if (!bIDSSInitialized) {
        CSF_LOG(kCSFLogError,
                "Network Monitoring for interface %s is DISABLED. Networking Component not "
                "initialized.\n",
                pszAdapter);
        return 1;
    }
    t_pCapturingSlave = this;
    // One fault trap for the whole loop rather than one per frame: a fault
    // while the module holds the frame is the module's and ends the
    // process; any other is this thread's own, reported as for any body.
    m_bInsideModule = false;
    const plat::FaultRecord* pFault = plat::RunWithFaultTrap(
        [](void* pSlave) { static_cast<CEngineIDSSlave*>(pSlave)->CaptureLoop(); }, this);
    m_CaptureEnded = std::chrono::steady_clock::now();
    // A reload's keeper reads on from here.
    if (CaptureKeeper* pKeeper = m_pGate.load(std::memory_order_acquire)) {
        pKeeper->Open();
    }
    if (pFault != nullptr) {
        if (m_bInsideModule) {
            OnModuleFault(QorSeException(pFault->code, pFault));
        }
        TranslateFault(pFault);
    }
    CSF_TRACE(kCSFLogInfo, "%s: Leaving %s with Return Value %d....", pszAdapter, "_doWork", 0);
    return 0;
}

void CEngineIDSSlave::CountFrameRead() {
    // Only this thread writes the count: no locked increment needed.
    const uint64_t qwRead = m_qwFramesRead.load(std::memory_order_relaxed) + 1;
    m_qwFramesRead.store(qwRead, std::memory_order_relaxed);
    // A busy adapter never idles: its drops are looked at between frames.
    if (qwRead % kCaptureDropFrames == 0) {
        CountCaptureDrops(IDSNow());
    }
}

bool CEngineIDSSlave::AnalyseHeldFrames() {
    rp::Frame& frame = *m_pFrame;
    rp::PacketRecord packet{};
    while (StopRequested() == 0) {
        if (!m_Hold.Next(packet)) {
            return true;
        }
        // The library passed the frame on as it was kept: it is analysed
        // (alerts, resets) but no longer blocked.
        frame.setEmpty(0);
        frame.packet() = packet;
        ProcessFrame(true);
        CountFrameRead();
    }
    return false;
}

bool CEngineIDSSlave::CatchUpWithHeldFrames() {
    if (!AnalyseHeldFrames()) {
        return false;
    }
    if (CaptureKeeper* pKeeper = m_pCatchUpKeeper.load(std::memory_order_acquire)) {
        if (!pKeeper->HandedOver()) {
            // The keeper's last frames reach the hold before it lets go of
            // the capture; whatever it read is analysed here, once, and what
            // it had not read yet is this thread's next read.
            pKeeper->HandOver();
        }
        m_pCatchUpKeeper.store(nullptr, std::memory_order_release);
        if (!AnalyseHeldFrames()) {
            return false;
        }
    }
    if (m_CatchUp.Pending()) {
        CountKeptFramesLeftOut();
        CountCaptureDrops(IDSNow(), true);
        m_CatchUp.End();
    }
    return true;
}

void CEngineIDSSlave::CaptureLoop() {
    rp::Frame& frame = *m_pFrame;
    if (!CatchUpWithHeldFrames()) {
        return;
    }
    while (StopRequested() == 0) {
        uint32_t dwStatus = 0;
        try {
            m_pPacketDrv->readFrame(frame);
            dwStatus = frame.status();
        } catch (const std::exception& error) {
            CSF_TRACE(kCSFLogError, "%s: reading a frame failed: %s", m_strAdapterName.c_str(),
                      error.what());
            dwStatus = rp::kStatusDriverStopped;
        }
        if (dwStatus == 0) {
            ProcessFrame();
            CountFrameRead();
            continue;
        }
        m_bFrameInProgress = false;
        if (dwStatus == rp::kDllAdapterNotice) {
            // The packet library's words on this adapter's input or output
            // (a damaged capture, an output it cannot write) reach the log
            // and the console.
            CSF_LOG(kCSFLogConsoleFlag | kCSFLogWarning, "%s: %s", m_strAdapterName.c_str(),
                    frame.text().c_str());
            continue;
        }
        if (dwStatus == rp::kDllTimedOutUnloaded) {
            CSF_TRACE(kCSFLogError, "Packet Driver for %s has timed out and unloaded\n",
                      m_strAdapterName.c_str());
            RestartDriver();
            continue;
        }
        if (dwStatus != rp::kDllNoFrame && dwStatus != rp::kDllNothingRead) {
            if (!g_bReadErrorReported.exchange(true)) {
                CSF_TRACE(kCSFLogError, "%s PacketRead returned error %d\n",
                          m_strAdapterName.c_str(), static_cast<int32_t>(dwStatus));
            }
            CSF_TRACE(kCSFLogInfo, "%s: got unknown error %d - call CoalescerAge + Housekeeping?",
                      m_strAdapterName.c_str(), static_cast<int32_t>(dwStatus));
            RunIdleTasks(IDSNow());
            Sleep(kReadErrorPauseMs);
            continue;
        }
        RunIdleTasks(IDSNow());
    }
}

void CEngineIDSSlave::RestartDriver() {
    try {
        m_pPacketDrv->stop();
        CSF_TRACE(kCSFLogInfo, "Restarting Packet Driver for %s\n", m_strAdapterName.c_str());
        m_pPacketDrv->open(true, m_pPacketDrv->canTransmit());
    } catch (const std::exception& error) {
        CSF_LOG(kCSFLogError, "%s: the packet driver could not be restarted: %s",
                m_strAdapterName.c_str(), error.what());
    }
}

void CEngineIDSSlave::RunIdleTasks(int64_t tNow) {
    CountCaptureDrops(tNow);
    const int32_t tSeconds = static_cast<int32_t>(tNow);
    int64_t tConsolidation = 0;
    if (m_bConsolidation && m_pCoalescer != nullptr &&
        m_ConsolidationClock.Idle(tNow, tConsolidation)) {
        AgeCoalescer(static_cast<int32_t>(tConsolidation));
    }
    if (m_pZamSensor != nullptr &&
        tSeconds - m_tLastHousekeeping > static_cast<int32_t>(HousekeepingInterval)) {
        m_tLastHousekeeping = tSeconds;
        m_pZamSensor->Housekeeping();
    }
}

void CEngineIDSSlave::CountCaptureDrops(int64_t tNow, bool bNow) {
    if (tNow == m_tCaptureDropsCounted && !bNow) {
        return;
    }
    m_tCaptureDropsCounted = tNow;
    const uint64_t qwDropped = m_pPacketDrv->framesDroppedForReader();
    // Fewer than before: the library counts afresh for a new opening.
    const uint64_t qwBefore = qwDropped < m_qwCaptureDrops ? 0 : m_qwCaptureDrops;
    m_qwCaptureDrops = qwDropped;
    if (qwDropped == qwBefore) {
        return;
    }
    m_CaptureBound.LeftOut(
        [&]() -> InputBound& {
            return InputBounds::Instance().Bound(
                "adapter " + m_strAdapterName,
                m_strCaptureBuffer.empty() ? std::string("the packet library's capture buffer")
                                           : "capture buffer of " + m_strCaptureBuffer,
                "frames");
        },
        qwDropped - qwBefore);
}

void CEngineIDSSlave::ProcessFrame(bool bHeld) {
    rp::Frame& frame = *m_pFrame;
    m_bFrameInProgress = true;
    // A log that cannot be written stays on: it closes its file, counts
    // the frames it cannot take and is tried again (qorPacketLog.h).
    if (bPacketLogEnabled && pPacketLog && !pPacketLog->Write(frame.packet()) && pPacketLog->FailureBegan()) {
        CSF_LOG(kCSFLogError,
                "%s: Failed to write frame to packet log -- disabling packet logging until it can be written "
                "again: it is tried once a second, and goes on in the same file",
                m_strAdapterName.c_str());
    }
    m_pParsedFrameInfo->Reset();
    // The mark belongs to the match of this frame, never to an earlier one.
    m_bNonSequitur = false;
    if (bZamLoaded && m_pZamSensor != nullptr) {
        if (!AnalyseFrame(bHeld)) {
            return;
        }
    }
    if (frame.blocked() && m_pParsedFrameInfo->protocol == kTcp && !m_bNonSequitur) {
        CSF_TRACE(kCSFLogInfo, " Recognized TCP packet\n");
        SendResets();
    }
    if (bHeld) {
        return;
    }
    uint32_t dwStatus = 0;
    try {
        dwStatus = m_pPacketDrv->freeFrame(frame);
    } catch (const std::exception& error) {
        CSF_LOG(kCSFLogError, "%s: PacketFree failed: %s", m_strAdapterName.c_str(), error.what());
        return;
    }
    if (dwStatus == rp::kDllTimedOutUnloaded) {
        m_bFrameInProgress = false;
        CSF_LOG(kCSFLogError, "%s PacketDriver has timed out and unloaded: reloading\n",
                m_strAdapterName.c_str());
        RestartDriver();
    } else if (dwStatus != 0) {
        CSF_LOG(kCSFLogError, "PacketFree: error %d", static_cast<int32_t>(dwStatus));
    }
}

bool CEngineIDSSlave::AnalyseFrame(bool bHeld) {
    rp::Frame& frame = *m_pFrame;
    uint32_t* pContext = reinterpret_cast<uint32_t*>(m_ReceiveContext);
    std::memset(pContext + kContextFirstCleared, 0, kContextWordsCleared * sizeof(uint32_t));
    m_dwDirection = (frame.packet().m_dwDllFlags & 1u) != 0 ? kOutbound : kInbound;
    if (!DiagnosticPacketsEnabled) {
        return true;
    }
    const int64_t tEngine = IDSNow();
    const int32_t tFrame = static_cast<int32_t>(
        m_ConsolidationClock.OnFrame(frame.packet().m_dwSeconds, tEngine));
    m_tReceiveStart.store(tEngine, std::memory_order_relaxed);
    m_bInsideModule = true;
    const int32_t nVerdict = m_pZamSensor->Receive(&frame.packet(), m_ReceiveContext);
    m_bInsideModule = false;
    LeaveModule();
    CSF_TRACE(kCSFLogInfo, "_DoWork -ZAM callback function returned %d, zamPacket()->receiveBlocked is %d\n",
              nVerdict, frame.blocked() ? 1 : 0);
    if (nVerdict == kVerdictDrop ||
        (frame.blocked() && m_pParsedFrameInfo->protocol != kTcp && !m_bNonSequitur)) {
        CSF_TRACE(kCSFLogInfo, "SensorDrop: About to call drop NON TCP packet via freePacket:%s",
                  m_strAdapterName.c_str());
        // The driver library drops what carries the block flag.
        frame.setBlocked(true);
        try {
            if (!bHeld) {
                m_pPacketDrv->freeFrame(frame);
            }
        } catch (const std::exception& error) {
            CSF_LOG(kCSFLogError, "%s: PacketFree failed: %s", m_strAdapterName.c_str(),
                    error.what());
        }
        return false;
    }
    if (m_bConsolidation && m_pCoalescer != nullptr) {
        m_bInsideModule = true;
        AgeCoalescer(tFrame);
        m_bInsideModule = false;
    }
    return true;
}

void CEngineIDSSlave::AgeCoalescer(int32_t tNow) {
    if (tNow - m_tLastCoalescerAge > static_cast<int32_t>(CoalescerAgeInterval)) {
        m_tLastCoalescerAge = tNow;
        m_pCoalescer->Age(static_cast<uint32_t>(tNow));
    }
}

void CEngineIDSSlave::SendResets() {
    const bool bOutbound = m_dwDirection == kOutbound;
    if (m_bRxInline) {
        CSF_TRACE(kCSFLogInfo, bOutbound ? "inbound packet2, last parameter true\n"
                                         : "inbound packet1,last parameter false\n");
        SendReset(bOutbound, false);
    }
    if (m_bTxInline) {
        CSF_TRACE(kCSFLogInfo, bOutbound ? "outbound packet1, Last Param false\n"
                                         : "outbound packet2, Last Param true\n");
        SendReset(!bOutbound, true);
    }
}

void CEngineIDSSlave::SendReset(bool bReverse, bool bTransmit) {
    const char* pszDirection = m_dwDirection == kOutbound ? "OUTBOUND" : "INBOUND";
    const void* pStart = nullptr;
    uint32_t dwLength = 0;
    void* pReset = m_pZamSensor->ResetFrameCreate(&m_pFrame->packet(), m_ReceiveContext, nullptr,
                                                  0, nullptr, 0, false, &pStart, &dwLength,
                                                  bReverse);
    const bool bValid = pReset != nullptr && m_pZamSensor->ResetFrameIsValid(pReset);
    if (bValid && pStart != nullptr && dwLength > 0) {
        try {
            m_pPacketDrv->inject(pStart, dwLength, bTransmit);
        } catch (const std::exception& error) {
            CSF_TRACE(kCSFLogError, "%s: injecting a reset failed: %s", m_strAdapterName.c_str(),
                      error.what());
        }
        CSF_TRACE(kCSFLogInfo,
                  bTransmit ? "Reset Frame valid and Sent, TxInline,%s"
                            : "Reset Frame sent Valid and Sent, RxInline,%s",
                  pszDirection);
    } else {
        CSF_TRACE(kCSFLogInfo,
                  bTransmit ? "Reset Frame not valid, TxInline,%s" : "Reset Frame not valid, RxInline,%s",
                  pszDirection);
    }
    if (pReset != nullptr) {
        m_pZamSensor->ResetFrameDestroy(pReset);
    }
}

void CEngineIDSSlave::OnModuleFault(const QorSeException& fault) {
    if (m_pZamSensorMgr != nullptr) {
        m_pZamSensorMgr->LogCrashEx(&m_pFrame->packet(), fault.ExceptionAddress(),
                                    fault.FramePointer(), fault.ExceptionPointers());
    }
    CSF_LOG(kCSFLogError, "Exception detected: possible ZAM_Internal_Error , the sensor is shutting down");
    // The module's state is lost; nothing of the process may run on.
    std::fflush(nullptr);
    std::_Exit(1);
}

void CEngineIDSSlave::LeaveModule() {
    // Sequentially consistent with LogCrash: either the recorder sees this
    // store and leaves the frame out, or this thread sees the recorder and
    // waits for it.
    m_tReceiveStart.store(0, std::memory_order_seq_cst);
    while (m_dwCrashRecorders.load(std::memory_order_seq_cst) != 0) {
        std::this_thread::yield();
    }
    if (m_bTimedOut.load(std::memory_order_relaxed)) {
        m_bTimedOut.store(false, std::memory_order_relaxed);
    }
}

bool CEngineIDSSlave::isTimedOut(int64_t tNow) {
    const int32_t nTimeout = ZamLoopTimeout;
    const int64_t tStart = m_tReceiveStart.load(std::memory_order_relaxed);
    if (nTimeout <= 0 || tStart <= 0 || tNow - tStart <= nTimeout) {
        return false;
    }
    m_bTimedOut = true;
    CSF_LOG(kCSFLogError, "CEngineIDSSlave::isTimedOut: Interface %s has timed out. Time elapsed: %d",
            m_strAdapterName.c_str(), static_cast<int32_t>(tNow - tStart));
    return true;
}

void CEngineIDSSlave::LogCrash(void*) {
    if (m_pZamSensorMgr == nullptr) {
        CSF_LOG(kCSFLogError, "qorZamSensorMgr not available (m_pZamSensorMgr = NULL)");
        return;
    }
    // From another thread the frame is read only while the module holds it
    // past the time-out: a slave that goes on capturing rewrites it.
    const bool bOwnThread = t_pCapturingSlave == this;
    bool bWithFrame = m_bFrameInProgress;
    if (!bOwnThread) {
        m_dwCrashRecorders.fetch_add(1, std::memory_order_seq_cst);
        bWithFrame = bWithFrame && m_bTimedOut.load(std::memory_order_relaxed) &&
                     m_tReceiveStart.load(std::memory_order_seq_cst) > 0;
    }
    if (bWithFrame) {
        CSF_TRACE(kCSFLogInfo, "Logging crash with frame available ip=%x *bp=%x", 0u, 0u);
        m_pZamSensorMgr->LogCrashEx(&m_pFrame->packet(), 0, 0, nullptr);
    } else {
        CSF_TRACE(kCSFLogInfo, "Logging crash without frame available ip=%x *bp=%x", 0u, 0u);
        m_pZamSensorMgr->LogCrashEx(nullptr, 0, 0, nullptr);
    }
    if (!bOwnThread) {
        m_dwCrashRecorders.fetch_sub(1, std::memory_order_seq_cst);
    }
}
