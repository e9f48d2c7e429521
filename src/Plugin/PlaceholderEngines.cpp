#include "Plugin/PlaceholderEngines.h"

namespace {

// How often an idle thread looks at its stop flag besides being woken.
constexpr uint32_t kIdleWaitMs = 1000;

}  // namespace

// The thread is ended here, while the object is still whole.
CPlaceholderEngine::~CPlaceholderEngine() { StopAndWait(); }

int32_t CPlaceholderEngine::ConfigureEventSections(CSFEventRegistry* /*pRegistry*/) { return 0; }

int32_t CPlaceholderEngine::PopulateRuleContainer(RuleContainer* /*pContainer*/,
                                                  IPolicyContainer* /*pPolicy*/) {
    return 0;
}

uint32_t CPlaceholderEngine::_doWork() {
    while (StopRequested() == 0) {
        Sleep(kIdleWaitMs);
    }
    return 0;
}
