// The plug-in container library: announces itself through the log it is
// given and registers one entry point, which answers each start-up step.

#include <cstdint>

#include "qorZamSensorLib/ZamModuleApi.h"

namespace {

uint32_t ContainerEntry(uint32_t step) {
    return step < 3 ? 0 : 1;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) uint32_t TARN_Initialize(
    const char* product, const char* containerPath, zam::TarnLogFn log,
    zam::TarnRegisterFn registerEntry) {
    if (log != nullptr) {
        log("Plug-in container %s started for %s\n", containerPath != nullptr ? containerPath : "",
            product != nullptr ? product : "");
    }
    if (registerEntry != nullptr) {
        registerEntry(&ContainerEntry);
    }
    return 0;
}
