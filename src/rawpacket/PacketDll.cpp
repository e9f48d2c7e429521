#include "rawpacket/PacketDll.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/DynamicLoader.h"
#include "platform/LastError.h"
#include "rawpacket/AdapterInfo.h"
#include "rawpacket/Frame.h"
#include "rawpacket/RpErrors.h"
#include "rawpacket/RpTrace.h"
#include "rawpacket/RpUtil.h"

namespace rp {
namespace {

// The IDS engine's adapter table, registered once at its start.
PacketAdapterEntry* g_pEntries = nullptr;
uint32_t g_dwCapacity = 0;
TableLockFn g_pfnLock = nullptr;
TableLockFn g_pfnUnlock = nullptr;

void LockTable() {
    if (g_pfnLock != nullptr) {
        g_pfnLock();
    }
}
void UnlockTable() {
    if (g_pfnUnlock != nullptr) {
        g_pfnUnlock();
    }
}

// The entry at `index`, for a caller holding the table lock.
PacketAdapterEntry* EntryAt(int32_t index) {
    if (g_pEntries == nullptr || index < 0 || static_cast<uint32_t>(index) >= g_dwCapacity) {
        return nullptr;
    }
    return g_pEntries + index;
}

uint32_t DllOpenMode(uint32_t openMode) {
    switch (openMode) {
        case 1:
        case 3:
        case 4:
        case 5:
            return 2;
        case 2:
            return 1;
        default:
            return 0;
    }
}

uint32_t ReceiveFlags(uint32_t medium, uint32_t openMode) {
    if (medium <= 2) {
        switch (openMode) {
            case 1:
                return 6;
            case 2:
                return 0x10;
            case 3:
            case 4:
                return 3;
            default:
                return 0;
        }
    }
    return medium == 3 && openMode == 3 ? 0x10 : 0;
}

std::string AddressText(const PacketAdapterEntry* entry, uint32_t offset) {
    uint32_t length = std::min(EntryWord(entry, kEntryAddressLength), static_cast<uint32_t>(kEntryAddressSize));
    std::string text;
    char part[4];
    for (uint32_t i = 0; i < length; ++i) {
        std::snprintf(part, sizeof part, "%02X", entry->m_Bytes[offset + i]);
        if (i != 0) {
            text += '-';
        }
        text += part;
    }
    return text;
}

template <typename Fn>
void Bind(void* module, const char* name, Fn& slot) {
    slot = reinterpret_cast<Fn>(getProcAddress(module, name));
}

// The library's words from one of its optional text entries (a problem, a
// notice, an input's end) into `text`; false when it gave none.
bool LibraryWords(PacketGetAdapterProblemFn fn, const PacketAdapterEntry* entry,
                  std::string& text) {
    char words[4096];
    if (fn == nullptr || fn(entry, words, sizeof words) != 0) {
        return false;
    }
    text.assign(words, ::strnlen(words, sizeof words));
    return true;
}

}  // namespace

void setAdapterTable(PacketAdapterEntry* entries, uint32_t capacity, TableLockFn lock, TableLockFn unlock) {
    g_pEntries = entries;
    g_dwCapacity = capacity;
    g_pfnLock = lock;
    g_pfnUnlock = unlock;
}

std::string EntryAddressText(const PacketAdapterEntry* entry) {
    std::string text = AddressText(entry, kEntryAddress1);
    if (EntryWord(entry, kEntryAddressCount) > 1) {
        text += " + " + AddressText(entry, kEntryAddress2);
    }
    return text;
}

PacketDllLoader& PacketDllLoader::instance() {
    static PacketDllLoader* loader = [] {
        auto* created = new PacketDllLoader();
        int slot = 0;
        registerSingleton(created, slot);
        return created;
    }();
    return *loader;
}

PacketDllLoader::~PacketDllLoader() {
    if (m_hModule != nullptr) {
        if (!m_bSkipTerminate && m_pfnPacketTerm != nullptr) {
            m_pfnPacketTerm();
        }
        freeLibrary(m_hModule);
    }
    m_pfnPacketInit = nullptr;
    m_pfnPacketTerm = nullptr;
}

void PacketDllLoader::callPacketInit(PacketInitFn init) {
    const uint32_t first[3] = {6, 1, 12};
    uint32_t result = init(first);
    if (result == 0 || result == kDllAlreadyInitialised) {
        return;
    }
    const uint32_t second[3] = {6, 1, 0};
    result = init(second);
    if (result != 0) {
        char text[64];
        std::snprintf(text, sizeof text, "PacketInit failed with status 0x%08X", result);
        throwResourceError(text, result, "rp_moat_common", __LINE__);
    }
}

void PacketDllLoader::initialise(uint8_t /*flag*/) {
    if (m_hModule != nullptr) {
        return;
    }
    m_bLoading = true;
    void* module = plat::LoadModule(m_strFileName.c_str());
    m_bLoading = false;
    if (module == nullptr) {
        throwResourceError(m_strFileName + " cannot be loaded", plat::GetLastError(), "rp_moat_common", __LINE__);
    }
    m_hModule = module;
    Bind(module, "PacketInit", m_pfnPacketInit);
    Bind(module, "PacketTerm", m_pfnPacketTerm);
    if (m_pfnPacketInit != nullptr && m_pfnPacketTerm != nullptr) {
        traceAt(725, "Packet init and terminate API(s) loaded successfully");
        try {
            callPacketInit(m_pfnPacketInit);
        } catch (...) {
            // Kept, it would pass for initialised at every later use: let
            // go, the next use loads and initialises it again.
            freeLibrary(m_hModule);
            m_pfnPacketInit = nullptr;
            m_pfnPacketTerm = nullptr;
            throw;
        }
    } else {
        traceAt(200, "Packet init or terminate API(s) not found ()");
    }
    traceAt(400, std::string(eventName(kEvDrvInitialized)) + "Duskwall");
}

PacketDll::PacketDll() : m_pShared(std::make_shared<int>(0)) {
    PacketDllLoader& loader = PacketDllLoader::instance();
    loader.initialise(m_byInitFlag);
    void* module = loader.module();
    Bind(module, "PacketClose", m_pfnPacketClose);
    Bind(module, "PacketOpen", m_pfnPacketOpen);
    Bind(module, "PacketRead", m_pfnPacketRead);
    Bind(module, "PacketCreateRx", m_pfnPacketCreateRx);
    Bind(module, "PacketCloseRx", m_pfnPacketCloseRx);
    Bind(module, "PacketGetStatistics", m_pfnPacketGetStatistics);
    Bind(module, "PacketGetDllVersion", m_pfnPacketGetDllVersion);
    Bind(module, "PacketGetAdapterProblem", m_pfnPacketGetAdapterProblem);
    Bind(module, "PacketGetAdapterNotice", m_pfnPacketGetAdapterNotice);
    Bind(module, "PacketGetAdapterInputEnd", m_pfnPacketGetAdapterInputEnd);
    Bind(module, "PacketGetAdapterRecorded", m_pfnPacketGetAdapterRecorded);
    Bind(module, "PacketInterruptRead", m_pfnPacketInterruptRead);
    Bind(module, "PacketSetShutdown", m_pfnPacketSetShutdown);
    Bind(module, "PacketTxSendArray", m_pfnPacketTxSendArray);
    Bind(module, "PacketTxOpen", m_pfnPacketTxOpen);
    Bind(module, "PacketTxClose", m_pfnPacketTxClose);
    Bind(module, "PacketInjectReceive", m_pfnPacketInjectReceive);
    Bind(module, "PacketInjectTransmit", m_pfnPacketInjectTransmit);
    Bind(module, "PacketFree", m_pfnPacketFree);
    Bind(module, "PacketStartCapture", m_pfnPacketStartCapture);
    Bind(module, "PacketGetAdapterList", m_pfnPacketGetAdapterList);
    Bind(module, "PacketPurgeBypassFilters", m_pfnPacketPurgeBypassFilters);
    Bind(module, "PacketAddBypassFilter", m_pfnPacketAddBypassFilter);
    Bind(module, "PacketPushAllBypassFilters", m_pfnPacketPushAllBypassFilters);
    Bind(module, "OpenDeviceInstance", m_pfnOpenDeviceInstance);
    Bind(module, "CloseDeviceInstance", m_pfnCloseDeviceInstance);
    const std::pair<const char*, const void*> required[] = {
        {"PacketClose", reinterpret_cast<const void*>(m_pfnPacketClose)},
        {"PacketOpen", reinterpret_cast<const void*>(m_pfnPacketOpen)},
        {"PacketRead", reinterpret_cast<const void*>(m_pfnPacketRead)},
        {"PacketCreateRx", reinterpret_cast<const void*>(m_pfnPacketCreateRx)},
        {"PacketCloseRx", reinterpret_cast<const void*>(m_pfnPacketCloseRx)},
        {"PacketGetStatistics", reinterpret_cast<const void*>(m_pfnPacketGetStatistics)},
        {"PacketPurgeBypassFilters", reinterpret_cast<const void*>(m_pfnPacketPurgeBypassFilters)},
        {"PacketAddBypassFilter", reinterpret_cast<const void*>(m_pfnPacketAddBypassFilter)},
        {"PacketPushAllBypassFilters", reinterpret_cast<const void*>(m_pfnPacketPushAllBypassFilters)},
        {"OpenDeviceInstance", reinterpret_cast<const void*>(m_pfnOpenDeviceInstance)},
        {"CloseDeviceInstance", reinterpret_cast<const void*>(m_pfnCloseDeviceInstance)},
        {"PacketSetShutdown", reinterpret_cast<const void*>(m_pfnPacketSetShutdown)},
        {"PacketTxSendArray", reinterpret_cast<const void*>(m_pfnPacketTxSendArray)},
        {"PacketTxOpen", reinterpret_cast<const void*>(m_pfnPacketTxOpen)},
        {"PacketTxClose", reinterpret_cast<const void*>(m_pfnPacketTxClose)},
    };
    for (const auto& [name, address] : required) {
        if (address == nullptr) {
            throwResourceError(loader.m_strFileName + " lacks the entry point " + name, 0, "rp_moat_common",
                               __LINE__);
        }
    }
    loader.initialise(m_byInitFlag);
}

PacketDll::PacketDll(const PacketDll& other) { copyBinding(other); }

PacketDll& PacketDll::operator=(const PacketDll& other) {
    if (this != &other) {
        copyBinding(other);
    }
    return *this;
}

void PacketDll::copyBinding(const PacketDll& other) {
    m_pfnPacketClose = other.m_pfnPacketClose;
    m_pfnPacketOpen = other.m_pfnPacketOpen;
    m_pfnPacketCreateRx = other.m_pfnPacketCreateRx;
    m_pfnPacketCloseRx = other.m_pfnPacketCloseRx;
    m_pfnPacketRead = other.m_pfnPacketRead;
    m_pfnPacketGetStatistics = other.m_pfnPacketGetStatistics;
    m_pfnPacketGetDllVersion = other.m_pfnPacketGetDllVersion;
    m_pfnPacketGetAdapterProblem = other.m_pfnPacketGetAdapterProblem;
    m_pfnPacketGetAdapterNotice = other.m_pfnPacketGetAdapterNotice;
    m_pfnPacketGetAdapterInputEnd = other.m_pfnPacketGetAdapterInputEnd;
    m_pfnPacketGetAdapterRecorded = other.m_pfnPacketGetAdapterRecorded;
    m_pfnPacketInterruptRead = other.m_pfnPacketInterruptRead;
    m_pfnPacketSetShutdown = other.m_pfnPacketSetShutdown;
    m_pfnPacketTxClose = other.m_pfnPacketTxClose;
    m_pfnPacketTxOpen = other.m_pfnPacketTxOpen;
    m_pfnPacketTxSendArray = other.m_pfnPacketTxSendArray;
    m_pfnPacketFree = other.m_pfnPacketFree;
    m_pfnPacketStartCapture = other.m_pfnPacketStartCapture;
    m_pfnPacketGetAdapterList = other.m_pfnPacketGetAdapterList;
    m_pfnPacketInjectReceive = other.m_pfnPacketInjectReceive;
    m_pfnPacketInjectTransmit = other.m_pfnPacketInjectTransmit;
    m_pfnPacketPurgeBypassFilters = other.m_pfnPacketPurgeBypassFilters;
    m_pfnPacketAddBypassFilter = other.m_pfnPacketAddBypassFilter;
    m_pfnPacketPushAllBypassFilters = other.m_pfnPacketPushAllBypassFilters;
    m_pfnOpenDeviceInstance = other.m_pfnOpenDeviceInstance;
    m_pfnCloseDeviceInstance = other.m_pfnCloseDeviceInstance;
    m_nEntryIndex = other.m_nEntryIndex;
    m_byInitFlag = other.m_byInitFlag;
    m_pShared = other.m_pShared;
    m_dwFrameSequence = 0;
}

PacketAdapterEntry* PacketDll::lookupEntry() const {
    LockTable();
    PacketAdapterEntry* entry = EntryAt(m_nEntryIndex);
    UnlockTable();
    return entry;
}

void PacketDll::open(const std::string& adapterName, uint32_t openMode, AdapterInfo& info) {
    if (adapterName.empty()) {
        throwInvalidArgument("adapter name is empty", "rp_moat_common", __LINE__);
    }
    LockTable();
    if (g_pEntries == nullptr) {
        UnlockTable();
        throwOpenError(adapterName, kStatusOpenNoAdapterTable, "rp_moat_common", __LINE__);
    }
    uint32_t result = 0;
    std::string problem;
    try {
        for (uint32_t i = 0; i < g_dwCapacity; ++i) {
            const PacketAdapterEntry* candidate = g_pEntries + i;
            if (EntryTextLength(candidate, kEntryName) == adapterName.size() &&
                ::strncasecmp(EntryText(candidate, kEntryName), adapterName.c_str(), adapterName.size()) == 0) {
                m_nEntryIndex = static_cast<int32_t>(i);
                break;
            }
        }
        // The table lock is held already: the entry is taken directly
        // rather than through a second acquisition.
        PacketAdapterEntry* entry = EntryAt(m_nEntryIndex);
        result = m_pfnPacketOpen(entry, DllOpenMode(openMode));
        if (result == 0) {
            info.m_bOpened = true;
            if (entry != nullptr) {
                info.m_strMacAddress = EntryAddressText(entry);
                info.m_dwAddressLength = EntryWord(entry, kEntryAddressLength);
                info.m_dwMedium = AdapterInfo::mediumFromPacketLibrary(EntryWord(entry, kEntryMedium));
                info.m_dwFrameLenMax = EntryWord(entry, kEntryFrameLenMax);
                info.m_dwLinkSpeed = EntryWord(entry, kEntryLinkSpeed);
            }
            const char* version = nullptr;
            if (m_pfnPacketGetDllVersion == nullptr || m_pfnPacketGetDllVersion(&version) != 0) {
                version = nullptr;
            }
            std::string description;
            if (entry != nullptr) {
                description.assign(EntryText(entry, kEntryDescription), EntryTextLength(entry, kEntryDescription));
            }
            info.setTitle(description, version);
            result = info.m_dwMedium <= kMediumWan ? 0u : static_cast<uint32_t>(kStatusOpenUnsupportedMedium);
        } else {
            problem = adapterProblem(entry);
        }
    } catch (...) {
        result = kStatusOpenFailedInside;
    }
    if (result != 0 && info.m_bOpened) {
        // An adapter that cannot be used is not left open behind a failed
        // construction that nobody will stop.
        m_pfnPacketClose(EntryAt(m_nEntryIndex));
        info.m_bOpened = false;
    }
    UnlockTable();
    if (result != 0 && !problem.empty()) {
        throwOpenError(adapterName, problem, "rp_moat_common", __LINE__);
    }
    if (result != 0) {
        throwOpenError(adapterName, result, "rp_moat_common", __LINE__);
    }
}

std::string PacketDll::adapterProblem(const PacketAdapterEntry* entry) const {
    // The library's own words, where it has them, say more than its status.
    std::string text;
    if (entry != nullptr) {
        LibraryWords(m_pfnPacketGetAdapterProblem, entry, text);
    }
    return text;
}

void PacketDll::throwBufferFailed(const char* what, uint32_t status, const PacketAdapterEntry* entry,
                                  const AdapterInfo& info) const {
    const std::string problem = adapterProblem(entry);
    if (!problem.empty()) {
        throwRuntimeError(kStatusBufferFailed, problem, what, info.m_strName, "rp_moat_common", __LINE__);
    }
    throwRuntimeError(kStatusBufferFailed, status, what, info.m_strName, "rp_moat_common", __LINE__);
}

bool PacketDll::takeNotice(std::string& text) const {
    return LibraryWords(m_pfnPacketGetAdapterNotice, lookupEntry(), text);
}

bool PacketDll::copyEntry(PacketAdapterEntry& entry) const {
    // The library is asked about a copy of the record: the table may be
    // read again meanwhile, and the library takes no lock of the table's.
    LockTable();
    const PacketAdapterEntry* shared = EntryAt(m_nEntryIndex);
    if (shared != nullptr) {
        entry = *shared;
    }
    UnlockTable();
    return shared != nullptr;
}

bool PacketDll::inputEnded(std::string& text) const {
    PacketAdapterEntry entry;
    return m_pfnPacketGetAdapterInputEnd != nullptr && copyEntry(entry) &&
           LibraryWords(m_pfnPacketGetAdapterInputEnd, &entry, text);
}

bool PacketDll::playsRecording() const {
    PacketAdapterEntry entry;
    return m_pfnPacketGetAdapterRecorded != nullptr && copyEntry(entry) &&
           m_pfnPacketGetAdapterRecorded(&entry) == 0;
}

bool PacketDll::interruptRead() const {
    PacketAdapterEntry entry;
    return m_pfnPacketInterruptRead != nullptr && copyEntry(entry) && m_pfnPacketInterruptRead(&entry) == 0;
}

uint32_t PacketDll::receiveBufferBytes(const AdapterInfo& info) const {
    // A capture buffer size asked for through the driver's parameter or
    // environment is handed on; otherwise the binding's own size.
    if (info.m_dwCaptureBufferSize != 0) {
        return info.m_dwCaptureBufferSize;
    }
    if (m_dwReceiveBufferSize != 0) {
        return m_dwReceiveBufferSize;
    }
    double bytes = static_cast<double>(info.m_dwLinkSpeed) * 0.125 * 1000 * 0.001;
    bytes = std::max(bytes, 66000.0);
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && pageSize > 0) {
        bytes = std::min(bytes, static_cast<double>(pages) * static_cast<double>(pageSize) / 10.0);
    }
    bytes = std::min(bytes, 62500000.0);
    return static_cast<uint32_t>(bytes);
}

void PacketDll::startCapture(bool receive, bool transmit, uint32_t openMode, AdapterInfo& info) {
    PacketAdapterEntry* entry = lookupEntry();
    if (receive && !info.m_bStarted) {
        uint32_t status = m_pfnPacketCreateRx(entry, receiveBufferBytes(info), info.m_dwFrameLenMax,
                                              ReceiveFlags(info.m_dwMedium, openMode));
        if (status != 0 && status != kDllReceiveExists) {
            throwBufferFailed("Receive buffer", status, entry, info);
        }
        info.m_bReceiveCreated = true;
        info.m_dwReadMode = entry != nullptr ? EntryWord(entry, kEntryReadMode) : 0;
    }
    uint32_t status = kDllNotSupported;
    if (m_pfnPacketStartCapture != nullptr) {
        status = m_pfnPacketStartCapture(entry);
    }
    if (status != 0) {
        throwRuntimeError(kStatusBufferFailed, status, "Packet Start Capture", info.m_strName, "rp_moat_common",
                          __LINE__);
    }
    if (transmit && !info.m_bStarted) {
        if (info.m_nTransmitCapability == 0) {
            throwRuntimeError(kStatusNoTransmit, 0, "", "", "rp_moat_common", __LINE__);
        }
        status = m_pfnPacketTxOpen(entry, 1, info.m_byTransmitOption);
        if (status != 0 && status != kDllTransmitOpen) {
            throwBufferFailed("Transmit buffer", status, entry, info);
        }
        if (traceOn(400)) {
            traceAt(400, std::string(eventName(kEvDrvCaptureBufCreated)) + "Transmit buffer: " + info.m_strName);
        }
        info.m_bTransmitOpen = true;
    }
    info.m_bStarted = true;
}

void PacketDll::stop(AdapterInfo& info) {
    if (m_pShared && m_pShared.use_count() != 1) {
        return;
    }
    PacketAdapterEntry* entry = lookupEntry();
    if (info.m_bStarted) {
        uint32_t status = 0;
        if (info.m_bReceiveCreated) {
            status = m_pfnPacketCloseRx(entry);
            info.m_bReceiveCreated = false;
            // Asked before the adapter is closed, which forgets its counts.
            PacketStatistics counts{};
            info.m_qwLeftUnreadAtStop =
                m_pfnPacketGetStatistics(entry, &counts, 1) == 0 ? counts.m_qwLeftUnread : 0;
        }
        if (info.m_bTransmitOpen) {
            status = m_pfnPacketTxClose(entry);
            info.m_bTransmitOpen = false;
        }
        info.m_bStarted = false;
        if (status != 0) {
            throwRuntimeError(status, 0, info.m_strName, "", "rp_moat_common", __LINE__);
        }
    }
    if (info.m_bOpened) {
        uint32_t status = m_pfnPacketClose(entry);
        info.m_bOpened = false;
        if (status != 0) {
            throwRuntimeError(status, 0, info.m_strName, "", "rp_moat_common", __LINE__);
        }
    }
}

uint32_t PacketDll::free(Frame& frame) {
    if (m_pfnPacketFree == nullptr) {
        return kDllNotSupported;
    }
    uint32_t direction = frame.blocked() ? kFreeDrop : kFreePass;
    return m_pfnPacketFree(lookupEntry(), frame.record(), direction);
}

void PacketDll::inject(const void* data, uint32_t length, bool transmit, const AdapterInfo& info) {
    PacketInjectFn call = transmit ? m_pfnPacketInjectTransmit : m_pfnPacketInjectReceive;
    uint32_t status = kDllNotSupported;
    if (call != nullptr) {
        status = call(lookupEntry(), data, length);
    }
    if (status != 0) {
        throwRuntimeError(kStatusSendFailed, status,
                          transmit ? "PacketInjectTransmit failed" : "PacketInjectReceive failed", info.m_strName,
                          "rp_moat_common", __LINE__);
    }
}

void PacketDll::send(const void* data, uint32_t length, const AdapterInfo& info) {
    uint32_t sent = 0;
    uint32_t status = m_pfnPacketTxSendArray(lookupEntry(), &data, &length, 1, 1, &sent);
    if (status != 0 && sent != 1) {
        throwRuntimeError(kStatusSendFailed, status, "PacketTxSendArray failed", info.m_strName, "rp_moat_common",
                          __LINE__);
    }
}

}  // namespace rp
