#pragma once
// Hands out packet drivers by adapter name and open mode.  A process-wide
// registry of the drivers handed out lets a second request for an adapter
// share the first driver's opened adapter (a clone) instead of opening it
// again; send-only requests may fall back to another adapter.

#include <cstdint>
#include <memory>
#include <string>

namespace rp {

class Driver;

class DriverFactory {
public:
    DriverFactory() = default;
    virtual ~DriverFactory() = default;

    // Raises OpenError when no driver can be made, and what driver
    // construction raises.
    virtual std::unique_ptr<Driver> createDriver(const std::string& adapterName, uint32_t openMode);

    // Removes the first record of `driver` under `key`; called by the
    // driver's destruction.
    static void deregister(const Driver* driver, const std::string& key);
    // How many drivers are registered (for diagnostics).
    static size_t registeredCount();

private:
    std::unique_ptr<Driver> obtain(const std::string& adapterName, uint32_t openMode);
    std::unique_ptr<Driver> createSendOnly(const std::string& adapterName);
};

}  // namespace rp
