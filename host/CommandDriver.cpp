#include "CommandDriver.h"

#include <condition_variable>

#include "HostCommandRequest.h"
#include "hostwarden/ICSFSensor.h"

CommandDriver::CommandDriver(ICSFSensor& sensor) : m_sensor(sensor) {}

CommandDriver::~CommandDriver() {
    if (m_thread.joinable()) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_bAbandon = true;
        }
        m_sensor.WakeSensorThread();
        m_thread.join();
    }
}

void CommandDriver::Start() {
    std::mutex readyLock;
    std::condition_variable readyChanged;
    bool ready = false;
    m_thread = std::thread([&] {
        m_sensor.WaitForCommand(0, 0);
        {
            std::lock_guard<std::mutex> guard(readyLock);
            ready = true;
            readyChanged.notify_one();
        }
        SensorThread();
        std::lock_guard<std::mutex> guard(m_lock);
        m_bEnded = true;
        m_ended.notify_all();
    });
    std::unique_lock<std::mutex> guard(readyLock);
    readyChanged.wait(guard, [&] { return ready; });
}

bool CommandDriver::Issue(HostCommand command, HostCommandRequest* pRequest) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_bStopIssued) {
            return false;
        }
        m_queue.push_back(Pending{command, pRequest});
        m_bStopIssued = command == HostCommand::kStop;
    }
    m_sensor.WakeSensorThread();
    return true;
}

void CommandDriver::Join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool CommandDriver::JoinBy(std::chrono::steady_clock::time_point deadline) {
    if (!m_thread.joinable()) {
        return true;
    }
    bool bEnded;
    {
        std::unique_lock<std::mutex> guard(m_lock);
        bEnded = m_ended.wait_until(guard, deadline, [this] { return m_bEnded; });
    }
    if (bEnded) {
        m_thread.join();
    } else {
        m_thread.detach();
    }
    return bEnded;
}

uint64_t CommandDriver::CommandsRun() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_qwRun;
}

void CommandDriver::SensorThread() {
    for (;;) {
        m_sensor.WaitForCommand(0, 0);
        // One wake-up may stand for several commands: the event keeps one
        // signal however often it is set, so everything queued is run.
        for (;;) {
            Pending pending{HostCommand::kInit, nullptr};
            {
                std::lock_guard<std::mutex> guard(m_lock);
                if (m_bAbandon) {
                    return;
                }
                if (m_queue.empty()) {
                    break;
                }
                pending = m_queue.front();
                m_queue.pop_front();
            }
            Run(pending);
            if (pending.command == HostCommand::kStop) {
                return;
            }
        }
    }
}

void CommandDriver::Run(const Pending& pending) {
    HostCommandRequest* pRequest = pending.pRequest;
    switch (pending.command) {
        case HostCommand::kInit:
            m_sensor.Oninit(pRequest);
            break;
        case HostCommand::kStop:
            m_sensor.OnStop(pRequest);
            break;
        case HostCommand::kReloadPolicy:
            m_sensor.SetReloadFlag(1);
            m_sensor.OnReloadPolicy(pRequest);
            break;
        case HostCommand::kPause:
            m_sensor.OnPause(pRequest);
            break;
        case HostCommand::kResume:
            m_sensor.OnResume(pRequest);
            break;
        case HostCommand::kStatus:
            m_sensor.OnStatusRequest(pRequest);
            break;
        case HostCommand::kUpdateStarted:
            m_sensor.OnUpdateStarted(pRequest);
            break;
        case HostCommand::kUpdateCompleted:
            m_sensor.OnUpdateCompleted(pRequest);
            break;
        case HostCommand::kUpdateFailed:
            m_sensor.OnUpdateFailed(pRequest);
            break;
        case HostCommand::kUserOperationDone:
            m_sensor.OnUserOperationDone(pRequest);
            break;
        case HostCommand::kDoStats:
            m_sensor.OnDoStats();
            break;
        case HostCommand::kCml:
            m_sensor.OnCmlInput(pRequest);
            m_sensor.SetCmlFlag(1);
            m_sensor.ProcessCmlInput();
            m_sensor.SendCmlResponse(pRequest);
            if (pRequest != nullptr) {
                pRequest->Complete();
            }
            break;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_qwRun;
}
