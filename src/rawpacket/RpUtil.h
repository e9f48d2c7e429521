#pragma once
// Shared helpers of the library: loading libraries, the control of the
// adapter-configuration driver service, names of high-performance capture
// devices and the operating-system version test.

#include <cstdint>
#include <string>

namespace rp {

using ModuleHandle = void*;

// Raises ResourceError with the name as text when the library cannot be loaded.
ModuleHandle loadLibrary(const char* name, const char* file, int line);
// Null when the module has no such entry.
void* getProcAddress(ModuleHandle module, const char* name);
void freeLibrary(ModuleHandle& module);

// The high-performance capture drivers and their configuration service
// exist only on the sensor's original platform.  Here the service calls
// answer "not supported" (50) so a caller never mistakes them for a started
// service; nothing in the library reaches them on this platform.
uint32_t ensureDriverService(const char* service, const char* image, const char* displayName,
                             const char* description, bool replace);
uint32_t createDriverService(const char* service, const char* image, const char* displayName);
uint32_t deleteDriverService(const char* service);
uint32_t startService(const char* service);
uint32_t stopService(const char* service, bool stopDependents, uint32_t timeoutMs);

// The device name of a high-performance driver for a card, or empty.
std::string makeSpecialDeviceName(uint32_t unit, uint64_t linkSpeed, const std::string& description,
                                  uint32_t variant);

// True when the running version is above major.minor, or equal and (on the
// NT platform) at least the given service pack.
bool isWindowsAtLeast(uint32_t major, uint32_t minor, uint32_t servicePack);

}  // namespace rp
