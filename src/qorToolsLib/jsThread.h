#pragma once
// Worker threads.  A class derives from qorThread, supplies _doWork (its
// result is the thread's exit code) and may override OnThreadException,
// which receives on the thread itself whatever ended the body: a
// std::exception, or for a processor fault a std::runtime_error whose text
// is the crash report.  The process goes on either way.
//
// No thread is ever killed.  Stop sets the stop flag and wakes the thread;
// bodies poll StopRequested after each Sleep.  A thread that has not
// reached its body leaves at its start gate with exit code 0xDEAD; an
// immediate or forced stop of a running body cancels it at its next
// jsThread::Sleep or event wait, which unwinds the body (destructors run)
// and leaves exit code 0xDEAD.  A body that never waits and ignores the
// flag is not stopped.

#include <cstdint>
#include <exception>
#include <string>

#include "qorToolsLib/jsBase.h"

class jsThreadState;

// Thread priority (-2 lowest to 2 highest) of a level 0 to 4; other levels
// give 0 (normal).
int MapThreadPriority(uint32_t level);
// The level of a thread priority; unknown priorities give 2 (normal).
uint32_t MapPriorityToLevel(int priority);

// The exit code of a thread that ended by an exception or was stopped.
constexpr uint32_t kThreadStoppedExitCode = 0xDEAD;
constexpr uint32_t kThreadStillActive = 259;
constexpr uint32_t kThreadExceptionExitCode = 0xE0000001u;

class jsThread : public jsBase {
public:
    // The last argument is ignored.
    jsThread(const char* name, uint32_t priorityLevel, uint32_t unused = 0);
    ~jsThread() override;
    jsThread(const jsThread&) = delete;
    jsThread& operator=(const jsThread&) = delete;

    // Creates the thread (parked, given its priority, let through); true
    // at once when it already runs.  An ended thread is reset first.
    virtual bool Start();
    // 1 when the thread ended (or never existed), 0 when it still runs
    // after `timeoutMs`, or the result of cancelling it (see above): with
    // time-out 0, or before the body started, at once whatever `force`.
    virtual uint32_t Stop(uint32_t timeoutMs, bool force);
    virtual uint32_t _doWork() = 0;
    virtual void OnThreadException(const std::exception& error);

    // Lets go of an ended thread so it can be started again; always 1.
    uint32_t Reset();
    bool IsRunning();
    uint32_t StopRequested();
    // Waits on the wake event: true when woken (by Stop), false on
    // time-out.  A wake-up that came before the call is lost, so bodies
    // test StopRequested after it.
    bool Sleep(uint32_t ms);
    bool Yield() { return Sleep(1); }
    // True when the thread ended within `ms` (plat::kInfinite: no limit).
    bool WaitForExit(uint32_t ms);
    // 259 while running; 0xDEAD without a thread.
    uint32_t ExitCode();
    void Wake();
    void SetPriority(uint32_t level);
    uint32_t GetPriority();
    uint32_t GetThreadId();
    bool IsThread(uint32_t threadId);
    const char* GetName() const { return m_strName.c_str(); }

    static uint32_t CurrentThreadId();

private:
    jsThreadState* m_pState;
    std::string m_strName;
    uint32_t m_uPriority;
};

class qorThread : public jsThread {
public:
    qorThread(const char* name, uint32_t priorityLevel) : jsThread(name, priorityLevel, 0) {}
};

// The routine every thread runs: the owner's body with processor faults
// translated, and every exception handed to OnThreadException.
uint32_t ThreadEntryPoint(void* state);
