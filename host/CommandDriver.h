#pragma once
// The host's two-thread command driver.  The sensor thread sits in the
// sensor's command wait; the control thread issues commands: it queues the
// command with its request and wakes the sensor thread, which runs every
// queued command in order on the sensor.  A command's request is completed
// by the sensor (the driver completes command-language requests itself,
// since the sensor only sets their status).

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

class ICSFSensor;
class HostCommandRequest;

enum class HostCommand {
    kInit,
    kStop,
    kReloadPolicy,
    kPause,
    kResume,
    kStatus,
    kUpdateStarted,
    kUpdateCompleted,
    kUpdateFailed,
    kUserOperationDone,
    kDoStats,
    kCml,
};

class CommandDriver {
public:
    explicit CommandDriver(ICSFSensor& sensor);
    // Stops the sensor thread if it still runs (without a stop command).
    ~CommandDriver();
    CommandDriver(const CommandDriver&) = delete;
    CommandDriver& operator=(const CommandDriver&) = delete;

    // Starts the sensor thread and returns once it has made its first
    // command wait, so no wake-up can come before the sensor's event exists.
    void Start();

    // Control thread: queues the command and wakes the sensor thread.  The
    // request (may be null) must live until it is completed.  After kStop
    // the sensor thread ends; later commands are refused (false).
    bool Issue(HostCommand command, HostCommandRequest* pRequest);

    // Waits for the sensor thread to end (after a kStop).
    void Join();
    // The same, until `deadline`: false when it still runs then, and it is
    // left to run on (detached) with this driver, which must outlive it.
    bool JoinBy(std::chrono::steady_clock::time_point deadline);

    uint64_t CommandsRun() const;
    // The thread the sensor runs its commands on (once started).
    std::thread::id SensorThreadId() const { return m_thread.get_id(); }

private:
    struct Pending {
        HostCommand command;
        HostCommandRequest* pRequest;
    };

    void SensorThread();
    void Run(const Pending& pending);

    ICSFSensor& m_sensor;
    mutable std::mutex m_lock;
    std::deque<Pending> m_queue;
    bool m_bStopIssued = false;
    // The sensor thread has left its loop.
    bool m_bEnded = false;
    std::condition_variable m_ended;
    bool m_bAbandon = false;
    uint64_t m_qwRun = 0;
    std::thread m_thread;
};
