#include "qorToolsLib/jsThread.h"

#include <cxxabi.h>
#include <atomic>
#include <stdexcept>

#include "platform/Thread.h"
#include "qorToolsLib/QorSeException.h"
#include "qorToolsLib/jsEvent.h"

namespace {

constexpr size_t kReportSize = 4096;

}  // namespace

// Owns the system thread of one jsThread.
class jsThreadState : public jsBase {
public:
    jsThreadState(jsThread* owner, const char* name, uint32_t level)
        : m_pOwner(owner),
          m_strName(name != nullptr ? name : ""),
          m_iPriority(MapThreadPriority(level)) {}
    ~jsThreadState() override;

    bool Start();
    uint32_t Stop(uint32_t timeoutMs, bool force);
    uint32_t Reset();
    bool Sleep(uint32_t ms);

    jsThread* const m_pOwner;
    // Auto-reset; Sleep resets it before waiting anyway.
    jsEvent m_wake{false, false};
    std::string m_strName;
    std::atomic<uint32_t> m_uStop{0};
    // A sleep has ended early for the stop asked for.
    std::atomic<bool> m_bStopSlept{false};
    plat::Thread m_thread;
    uint32_t m_uThreadId = 0;
    int m_iPriority;
    std::atomic<uint32_t> m_uRunning{0};
};

jsThreadState::~jsThreadState() {
    if (m_thread.Exists() && !m_thread.IsCurrent() && m_thread.ExitCode() == kThreadStillActive) {
        // The body may use its object until it ends, so it is stopped and
        // awaited rather than left running on freed memory.
        m_uStop = 1;
        m_wake.Set();
        m_thread.Cancel();
        m_thread.Join(plat::kInfinite);
    }
    m_thread.Close();
}

bool jsThreadState::Start() {
    if (m_thread.Exists()) {
        if (m_thread.ExitCode() == kThreadStillActive) {
            return true;
        }
        Reset();
    }
    m_uRunning = 0;
    SeTranslatorScope translator(SeTranslator);
    try {
        if (m_thread.Create(ThreadEntryPoint, this)) {
            m_uThreadId = m_thread.Id();
            m_thread.SetPriority(m_iPriority);
            m_thread.Resume();
        }
    } catch (...) {
        // Creation failed half way; the thread, if any, leaves at its gate.
        m_thread.Close();
    }
    return m_thread.Exists();
}

uint32_t jsThreadState::Stop(uint32_t timeoutMs, bool force) {
    m_uStop = 1;
    m_wake.Set();
    if (!m_thread.Exists()) {
        return 1;
    }
    if (timeoutMs != 0 && m_uRunning == 1) {
        if (m_thread.Join(timeoutMs) != plat::kWaitTimeout) {
            return 1;
        }
        if (!force) {
            return 0;
        }
    }
    // Never a kill: a thread at its gate leaves there, a running body is
    // cancelled at its next wait.
    return m_thread.Cancel() ? 1 : 0;
}

uint32_t jsThreadState::Reset() {
    m_thread.Close();
    m_uThreadId = 0;
    m_uStop = 0;
    m_bStopSlept = false;
    m_uRunning = 0;
    m_iPriority = 0;
    return 1;
}

bool jsThreadState::Sleep(uint32_t ms) {
    m_wake.Reset();
    // A stop asked for after the body last looked and before the reset
    // above set the event this reset took back: it ends the first sleep
    // after it all the same, or a pause, reload or stop would wait out the
    // whole time.  Later sleeps (a body that goes on polling while it
    // ends) wait as asked.  The wait of no time keeps the sleep a point
    // where a forced stop takes effect.
    if (m_uStop != 0 && !m_bStopSlept.exchange(true)) {
        m_wake.Wait(0);
        return true;
    }
    return m_wake.Wait(ms) == plat::kWaitSignalled;
}

int MapThreadPriority(uint32_t level) {
    return level <= 4 ? static_cast<int>(level) - 2 : 0;
}

uint32_t MapPriorityToLevel(int priority) {
    return priority >= -2 && priority <= 2 ? static_cast<uint32_t>(priority + 2) : 2;
}

jsThread::jsThread(const char* name, uint32_t priorityLevel, uint32_t /*unused*/)
    : m_pState(new jsThreadState(this, name, priorityLevel)),
      m_strName(name != nullptr ? name : ""),
      m_uPriority(priorityLevel) {}

jsThread::~jsThread() {
    delete m_pState;
}

bool jsThread::Start() {
    return m_pState->Start();
}

uint32_t jsThread::Stop(uint32_t timeoutMs, bool force) {
    return m_pState->Stop(timeoutMs, force);
}

void jsThread::OnThreadException(const std::exception& /*error*/) {}

uint32_t jsThread::Reset() {
    return m_pState->Reset();
}

bool jsThread::IsRunning() {
    return m_pState->m_thread.Exists() && m_pState->m_thread.ExitCode() == kThreadStillActive;
}

uint32_t jsThread::StopRequested() {
    return m_pState->m_uStop;
}

bool jsThread::Sleep(uint32_t ms) {
    return m_pState->Sleep(ms);
}

bool jsThread::WaitForExit(uint32_t ms) {
    return m_pState->m_thread.Join(ms) == plat::kWaitSignalled;
}

uint32_t jsThread::ExitCode() {
    return m_pState->m_thread.ExitCode();
}

void jsThread::Wake() {
    m_pState->m_wake.Set();
}

void jsThread::SetPriority(uint32_t level) {
    m_uPriority = level;
    m_pState->m_thread.SetPriority(MapThreadPriority(level));
}

uint32_t jsThread::GetPriority() {
    const plat::Thread& thread = m_pState->m_thread;
    return MapPriorityToLevel(thread.Exists() ? thread.Priority() : m_pState->m_iPriority);
}

uint32_t jsThread::GetThreadId() {
    return m_pState->m_uThreadId;
}

bool jsThread::IsThread(uint32_t threadId) {
    return m_pState->m_uThreadId == threadId;
}

uint32_t jsThread::CurrentThreadId() {
    return plat::Thread::CurrentId();
}

uint32_t ThreadEntryPoint(void* state) {
    auto* threadState = static_cast<jsThreadState*>(state);
    threadState->m_uRunning = 1;
    // Nothing below touches the state once the body has run: a body may
    // delete its own object.
    jsThread* owner = threadState->m_pOwner;
    SeTranslatorScope translator(SeTranslator);
    uint32_t exitCode = kThreadExceptionExitCode;
    try {
        RunTranslated([&] { exitCode = owner->_doWork(); });
    } catch (const std::exception& error) {
        owner->OnThreadException(error);
    } catch (const QorSeException& fault) {
        char report[kReportSize];
        fault.FormatException(report, sizeof report);
        std::runtime_error error(report);
        owner->OnThreadException(error);
        exitCode = fault.Code();
    } catch (const plat::ThreadCancelled&) {
        throw;  // the layer ends the thread with 0xDEAD
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (...) {
        std::runtime_error error("The thread body ended by an exception of unknown type");
        owner->OnThreadException(error);
    }
    return exitCode;
}
