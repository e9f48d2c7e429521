#include "rawpacket/DriverFactory.h"

#include <mutex>
#include <vector>

#include "rawpacket/Driver.h"
#include "rawpacket/LinuxHostInfo.h"
#include "rawpacket/MoatDriver.h"
#include "rawpacket/RpErrors.h"
#include "rawpacket/RpTrace.h"
#include "rawpacket/Singleton.h"

namespace rp {
namespace {

struct DriverRecord {
    Driver* m_pDriver;
    std::string m_strName;
    bool m_bSendSupported;
};

// Drivers are made and destroyed on the IDS engines' threads.  Two slaves
// never share an adapter name, but their records share one sequence, so
// every walk and change of it holds the lock.
class DriverRegistry : public Singleton {
public:
    static DriverRegistry& instance() {
        static DriverRegistry* registry = [] {
            auto* created = new DriverRegistry();
            int slot = 0;
            registerSingleton(created, slot);
            return created;
        }();
        return *registry;
    }
    void release() override { delete this; }

    std::mutex m_Lock;
    std::vector<DriverRecord> m_Records;

private:
    DriverRegistry() : Singleton(1) {}
};

void Trace(int level, const char* text, const std::string& name) {
    if (traceOn(level)) {
        traceAt(level, std::string("DriverFactory: ") + text + ": " + name);
    }
}

// A clone of the first registered driver for the name (for mode 5 one that
// can send), or null when none is registered.  A driver found but not
// cloned is an error.
std::unique_ptr<Driver> Lookup(const std::string& name, uint32_t openMode) {
    DriverRegistry& registry = DriverRegistry::instance();
    // Held through the clone: the record's driver cannot go meanwhile.
    std::lock_guard<std::mutex> guard(registry.m_Lock);
    for (const DriverRecord& record : registry.m_Records) {
        if (record.m_strName != name) {
            continue;
        }
        if (openMode == 5) {
            if (!record.m_bSendSupported) {
                continue;
            }
            Trace(750, "DriverMatch: Found a send supported by driver", record.m_strName);
        }
        Trace(750, "DriverMatch: Found a previously registered driver", record.m_strName);
        std::unique_ptr<Driver> copy = record.m_pDriver->clone();
        if (!copy) {
            throwOpenError(name, std::string(), "rp_drv_factory", __LINE__);
        }
        Trace(700, "Created new driver instance (cloned)", name);
        return copy;
    }
    return nullptr;
}

void Register(Driver& driver) {
    DriverRegistry& registry = DriverRegistry::instance();
    std::lock_guard<std::mutex> guard(registry.m_Lock);
    registry.m_Records.push_back({&driver, driver.getName(), driver.canTransmit()});
}

}  // namespace

std::unique_ptr<Driver> DriverFactory::obtain(const std::string& adapterName, uint32_t openMode) {
    std::unique_ptr<Driver> driver = Lookup(adapterName, openMode);
    bool cloned = driver != nullptr;
    if (!driver) {
        driver = std::make_unique<MoatDriver>(adapterName, openMode);
        Trace(700, "Created new driver instance (NOT cloned)", adapterName);
    }
    if (cloned) {
        driver->setMode(openMode);
    }
    Register(*driver);
    return driver;
}

std::unique_ptr<Driver> DriverFactory::createSendOnly(const std::string& adapterName) {
    try {
        return obtain(adapterName, 5);
    } catch (const std::exception&) {
        // Any Ethernet adapter that can send will do.
    }
    LinuxHostInfo host;
    AdaptersArray adapters;
    host.getAdapterList(adapters);
    for (const AdapterDescription& adapter : adapters.records()) {
        if (adapter.m_bMacKnown && adapter.m_dwMedium == kMediumEthernet && adapter.m_dwDriverKind == 2) {
            return obtain(adapter.m_strName, 5);
        }
    }
    throwOpenError(std::string(), std::string(), "rp_drv_factory", __LINE__);
}

std::unique_ptr<Driver> DriverFactory::createDriver(const std::string& adapterName, uint32_t openMode) {
    std::unique_ptr<Driver> driver = openMode == 5 ? createSendOnly(adapterName) : obtain(adapterName, openMode);
    if (!driver) {
        throwOpenError(adapterName, std::string(), "rp_drv_factory", __LINE__);
    }
    driver->registerWith(driver->getName(), this);
    if (traceOn(400)) {
        traceAt(400, std::string(eventName(kEvDrvOpened)) + adapterName + ": " + driver->getTitle());
    }
    return driver;
}

void DriverFactory::deregister(const Driver* driver, const std::string& key) {
    DriverRegistry& registry = DriverRegistry::instance();
    std::lock_guard<std::mutex> guard(registry.m_Lock);
    std::vector<DriverRecord>& records = registry.m_Records;
    for (auto it = records.begin(); it != records.end(); ++it) {
        if (it->m_strName == key && it->m_pDriver == driver) {
            records.erase(it);
            Trace(700, "Deregistered driver instance", key);
            return;
        }
    }
}

size_t DriverFactory::registeredCount() {
    DriverRegistry& registry = DriverRegistry::instance();
    std::lock_guard<std::mutex> guard(registry.m_Lock);
    return registry.m_Records.size();
}

}  // namespace rp
