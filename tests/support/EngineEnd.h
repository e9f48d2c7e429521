#pragma once
// Ending an engine a test made, before it is freed.  An engine's own stop
// waits a bound for its thread, then leaves the thread running; the sensor
// never deletes an engine left so, but a destructor frees whatever the
// bounded wait answers.  On a starved machine a thread can take longer than
// that bound to end, and would then read the engine after it is gone.  So a
// fixture asks for the stop as the sensor does (the engine's OnStopInit
// wakes its thread), waits for the thread's end as long as a loaded machine
// may take, and only then frees the engine.  A thread that never ends fails
// the test, and the engine is left to it rather than freed under it.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "support/TestUtil.h"

namespace hwtest {

// How long a thread told to stop may take to end on the slowest machine the
// suite runs on, far past any engine's own stop bound.
inline constexpr double kEngineEndSeconds = 300.0;

enum class EngineStop {
    // The thread is told to stop and awaited; the engine's destructor does
    // the rest of the stop.
    kThreadOnly,
    // Then the engine's OnStop is called, as the sensor's stop does, and
    // any thread of its own it stops (an adapter's) is awaited as well.
    kWithOnStop,
};

// Tells the engine's thread to stop and waits for it to end; true when no
// thread of the engine runs any more.
template <typename Engine>
bool AwaitEngineEnd(Engine& engine, EngineStop stop = EngineStop::kThreadOnly) {
    engine.OnStopInit(0);
    // An engine whose OnStopInit skips its stop (no rules) may still run a
    // thread a test started: it is told as well.
    engine.RequestStop();
    if (!WaitUntil([&] { return !engine.IsRunning(); }, kEngineEndSeconds)) {
        return false;
    }
    if (stop == EngineStop::kWithOnStop) {
        engine.OnStop(0);
    }
    return WaitUntil([&] { return !engine.IsRunning() && !engine.LeavesThreadRunning(); }, kEngineEndSeconds);
}

// Frees the engine once its thread has ended.  One whose thread never ends
// fails the test and is leaked.
template <typename Engine>
void EndEngine(std::unique_ptr<Engine>& pEngine, EngineStop stop = EngineStop::kThreadOnly) {
    if (!pEngine) {
        return;
    }
    if (!AwaitEngineEnd(*pEngine, stop)) {
        ADD_FAILURE() << "a thread of the engine " << pEngine->GetName() << " did not end within "
                      << kEngineEndSeconds << " s of its stop: the engine is left to it, not freed";
        (void)pEngine.release();
        return;
    }
    pEngine.reset();
}

// For an engine the fixture holds by value, which cannot be leaked: one whose
// thread never ends ends the test program, said, before it can be freed.
template <typename Engine>
void EndHeldEngine(Engine& engine, EngineStop stop = EngineStop::kThreadOnly) {
    if (!AwaitEngineEnd(engine, stop)) {
        std::fprintf(stderr,
                     "FATAL: a thread of the engine %s did not end within %.0f s of its stop; the engine "
                     "cannot be left to it, so the test program ends here\n",
                     engine.GetName(), kEngineEndSeconds);
        std::fflush(stderr);
        std::abort();
    }
}

}  // namespace hwtest
