#include "IDS/CaptureKeeper.h"

#include <exception>

#include "IDS/FrameHold.h"
#include "platform/Wait.h"
#include "qorCSFLib/CSFLog.h"
#include "rawpacket/Driver.h"
#include "rawpacket/Frame.h"
#include "rawpacket/RpErrors.h"

CaptureKeeper::CaptureKeeper(const std::string& strAdapter, rp::Driver& driver, rp::Frame& frame,
                             FrameHold& hold)
    : qorThread((strAdapter + " through a reload").c_str(), kPriorityLevel),
      m_strAdapter(strAdapter),
      m_Driver(driver),
      m_Frame(frame),
      m_Hold(hold) {}

CaptureKeeper::~CaptureKeeper() { End(); }

void CaptureKeeper::End() {
    if (!IsRunning()) {
        Reset();
        return;
    }
    Stop(1, false);
    // A library without the interrupt ends the read at its time-out.
    m_Driver.interruptRead();
    WaitForExit(plat::kInfinite);
    Reset();
}

uint32_t CaptureKeeper::_doWork() {
    while (StopRequested() == 0) {
        uint32_t dwStatus = 0;
        try {
            m_Driver.readFrame(m_Frame);
            dwStatus = m_Frame.status();
        } catch (const std::exception& error) {
            CSF_TRACE(kCSFLogError, "%s: reading a frame failed: %s", m_strAdapter.c_str(), error.what());
            dwStatus = rp::kStatusDriverStopped;
        }
        if (dwStatus == 0) {
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
        if (dwStatus != rp::kDllNoFrame && dwStatus != rp::kDllNothingRead) {
            Sleep(kReadErrorPauseMs);
        }
    }
    return 0;
}
