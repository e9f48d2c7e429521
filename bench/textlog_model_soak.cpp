// Soak of the text-log engine's one rule: runs the seeded model of
// tests/TextLogs/TextLogModel.h (every line owed to a group reported once,
// whatever is done to the group's files between the passes) seed after
// seed, for as long as asked, and names every seed that breaks it.  A seed
// it names belongs in the fixed set of tests/TextLogs/TextLogModelTest.cpp.
//
//   textlog_model_soak [--seconds N] [--from SEED] [--steps N]
//
// Exits 1 when a seed failed.

#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "HostLoad.h"
#include "TextLogs/TextLogModel.h"

int main(int argc, char** argv) {
    uint64_t qwSeconds = 60;
    uint64_t qwFrom = 1000;
    uint64_t qwSteps = 1000;
    hwload::ParseOptions(argc, argv,
                         {hwload::NumberOption("--seconds", qwSeconds), hwload::NumberOption("--from", qwFrom),
                          hwload::NumberOption("--steps", qwSteps)});
    using Clock = std::chrono::steady_clock;
    const auto tEnd = Clock::now() + std::chrono::seconds(qwSeconds);
    uint64_t qwSeeds = 0;
    uint64_t qwFailed = 0;
    uint64_t qwOwed = 0;
    uint64_t qwPasses = 0;
    uint64_t qwSeed = qwFrom;
    for (; Clock::now() < tEnd; ++qwSeed, ++qwSeeds) {
        const TextLogModel::Result result = TextLogModel::Run(qwSeed, static_cast<uint32_t>(qwSteps));
        qwOwed += result.m_qwOwed;
        qwPasses += result.m_qwPasses;
        if (!result.m_bPassed) {
            ++qwFailed;
            std::printf("FAILED %s\n\n", result.m_strFailure.c_str());
            std::fflush(stdout);
        }
    }
    std::printf("seeds %" PRIu64 " to %" PRIu64 " of %" PRIu64 " steps: %" PRIu64 " failed; %" PRIu64
                " engine passes, %" PRIu64 " lines owed to the groups\n",
                qwFrom, qwSeed - 1, qwSteps, qwFailed, qwPasses, qwOwed);
    return qwFailed == 0 ? 0 : 1;
}
