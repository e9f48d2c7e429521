#include "IDS/CaptureKeeper.h"

#include <chrono>
#include <exception>
#include <optional>

#include "IDS/FrameHold.h"
#include "platform/Wait.h"
#include "qorCSFLib/CSFLog.h"
#include "rawpacket/Driver.h"
#include "rawpacket/RpErrors.h"

namespace {

// A library without the interrupt ends the read at its time-out; the
// interrupt is asked again meanwhile, in case the read it ended was
// another's.
constexpr std::chrono::milliseconds kHandOverSlice{100};
// How often a drain looks whether the thread has begun reading or ended.
constexpr uint32_t kDrainLookMs = 20;

}  // namespace

CaptureKeeper::CaptureKeeper(const std::string& strAdapter, rp::Driver& driver, FrameHold& hold)
    : qorThread((strAdapter + " through a reload").c_str(), kPriorityLevel),
      m_strAdapter(strAdapter),
      m_Driver(driver),
      m_Hold(hold) {}

CaptureKeeper::~CaptureKeeper() { End(); }

void CaptureKeeper::Open() {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bOpen = true;
    }
    m_openSignal.notify_all();
}

void CaptureKeeper::HandOver() {
    std::unique_lock<std::mutex> guard(m_lock);
    m_bHandOverAsked = true;
    // A keeper not let in yet hands over at once.
    m_openSignal.notify_all();
    while (!m_bHandedOver && IsRunning()) {
        guard.unlock();
        m_Driver.interruptRead();
        guard.lock();
        m_handedOverSignal.wait_for(guard, kHandOverSlice, [this] { return m_bHandedOver; });
    }
    m_bHandedOver = true;
}

bool CaptureKeeper::HandedOver() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_bHandedOver;
}

void CaptureKeeper::End() {
    if (!IsRunning()) {
        Reset();
        return;
    }
    Stop(1, false);
    // Let in, it sees the stop before it reads.
    Open();
    m_Driver.interruptRead();
    WaitForExit(plat::kInfinite);
    Reset();
}

void CaptureKeeper::DrainAndEnd(uint32_t dwMaxMs) {
    if (!IsRunning()) {
        Reset();
        return;
    }
    const uint64_t qwReadsAtAsk = m_qwReads.load();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bDrainThenEnd = true;
    }
    Open();
    const auto asked = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::time_point> firstRead;
    for (;;) {
        if (WaitForExit(kDrainLookMs)) {
            Reset();
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!firstRead && m_qwReads.load() != qwReadsAtAsk) {
            firstRead = now;
        }
        if (firstRead ? now - *firstRead >= std::chrono::milliseconds(dwMaxMs)
                      : now - asked >= std::chrono::milliseconds(kFirstReadMaxMs)) {
            break;
        }
    }
    End();
}

uint32_t CaptureKeeper::_doWork() {
    {
        std::unique_lock<std::mutex> guard(m_lock);
        m_openSignal.wait(guard, [this] { return m_bOpen || m_bHandOverAsked; });
    }
    const auto handOverAsked = [this] {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_bHandOverAsked;
    };
    const auto drainThenEnd = [this] {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_bDrainThenEnd;
    };
    // Reads in a row that found nothing since a drain was asked.
    uint32_t dwEmptyReads = 0;
    while (StopRequested() == 0 && !handOverAsked()) {
        uint32_t dwStatus = 0;
        try {
            m_Driver.readFrame(m_Frame);
            dwStatus = m_Frame.status();
            m_qwReads.fetch_add(1);
        } catch (const std::exception& error) {
            CSF_TRACE(kCSFLogError, "%s: reading a frame failed: %s", m_strAdapter.c_str(), error.what());
            dwStatus = rp::kStatusDriverStopped;
        }
        if (dwStatus == 0) {
            dwEmptyReads = 0;
            // Counted by the hold when it has no room; passed on either way.
            m_Hold.Add(m_Frame.packet());
            try {
                m_Driver.freeFrame(m_Frame);
            } catch (const std::exception& error) {
                CSF_LOG(kCSFLogError, "%s: PacketFree failed: %s", m_strAdapter.c_str(), error.what());
            }
            continue;
        }
        if (dwStatus == rp::kDllAdapterNotice) {
            CSF_LOG(kCSFLogConsoleFlag | kCSFLogWarning, "%s: %s", m_strAdapter.c_str(), m_Frame.text().c_str());
            continue;
        }
        if (dwStatus == rp::kDllNoFrame || dwStatus == rp::kDllNothingRead) {
            // An interrupt given while no read waited (the capture thread
            // told to end between two of its reads) ends the next read at
            // once, with frames waiting or not: the first empty read is no
            // proof, the second in a row is.
            if (drainThenEnd() && ++dwEmptyReads >= 2) {
                break;
            }
        } else {
            Sleep(kReadErrorPauseMs);
        }
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_bHandedOver = true;
    }
    m_handedOverSignal.notify_all();
    return 0;
}
