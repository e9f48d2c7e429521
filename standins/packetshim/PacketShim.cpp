// The packet-capture driver library stand-in: the entry points the packet
// library and the IDS engine look up by name, over AF_PACKET raw sockets
// and capture-file replay.  An opened adapter is found from its adapter
// record: the shim writes a handle into the record's first bytes.

#include <strings.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BypassFilters.h"
#include "LinkWatcher.h"
#include "ReplayAdapter.h"
#include "ShimCatalog.h"
#include "ShimDiagnostics.h"
#include "ShimStatus.h"
#include "TapAdapter.h"

#define SHIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace shim {
namespace {

constexpr uint32_t kHandleMagic = 0x53505748u;  // "HWPS"
constexpr uint32_t kHandleMagicOffset = 0x0;
constexpr uint32_t kHandleSlotOffset = 0x4;
constexpr uint32_t kHandleGenerationOffset = 0x8;
constexpr uint32_t kSlots = 64;

struct ShimState {
    std::mutex m_Lock;
    int m_nInitCount = 0;
    // Slots are written under the lock and read by the one thread that
    // captures on the adapter.
    std::shared_ptr<ShimAdapter> m_Adapters[kSlots];
    uint32_t m_Generations[kSlots] = {};
    std::map<std::string, std::string> m_Parameters;
    // Every replay adapter opened since the library was initialised, by
    // adapter name: opened again, it goes on where it stopped.
    std::map<std::string, std::shared_ptr<ReplayAdapter>> m_Replays;
    // Why the last open, receive buffer or transmit buffer of an adapter
    // failed, by adapter name.
    std::map<std::string, std::string> m_Problems;
};

// Never destroyed: the packet library terminates the shim from its own
// exit-time clean-up, which may run after this library's statics are gone.
ShimState& State() {
    static ShimState* state = new ShimState();
    return *state;
}

ShimAdapter* AdapterOf(const rp::PacketAdapterEntry* entry) {
    if (entry == nullptr || rp::EntryWord(entry, kHandleMagicOffset) != kHandleMagic) {
        return nullptr;
    }
    uint32_t slot = rp::EntryWord(entry, kHandleSlotOffset);
    if (slot >= kSlots) {
        return nullptr;
    }
    ShimState& state = State();
    if (state.m_Generations[slot] != rp::EntryWord(entry, kHandleGenerationOffset)) {
        return nullptr;
    }
    return state.m_Adapters[slot].get();
}

// The replay opened under the record's adapter name, if any.
std::shared_ptr<ReplayAdapter> ReplayOf(const rp::PacketAdapterEntry* entry) {
    const std::string name(rp::EntryText(entry, rp::kEntryName), rp::EntryTextLength(entry, rp::kEntryName));
    ShimState& state = State();
    std::lock_guard<std::mutex> guard(state.m_Lock);
    for (const auto& [replayName, candidate] : state.m_Replays) {
        if (::strcasecmp(replayName.c_str(), name.c_str()) == 0) {
            return candidate;
        }
    }
    return nullptr;
}

// Keeps the adapter's words on a buffer that failed for PacketGetAdapterProblem.
void NoteProblem(const ShimAdapter& adapter, bool failed) {
    ShimState& state = State();
    std::lock_guard<std::mutex> guard(state.m_Lock);
    if (failed && !adapter.problem().empty()) {
        state.m_Problems[adapter.facts().m_strName] = adapter.problem();
    } else {
        state.m_Problems.erase(adapter.facts().m_strName);
    }
}

}  // namespace
}  // namespace shim

using namespace shim;

SHIM_EXPORT uint32_t PacketInit(const uint32_t* block) {
    if (block == nullptr) {
        return kInvalidParameter;
    }
    std::lock_guard<std::mutex> guard(State().m_Lock);
    // The packet library and the IDS engine both initialise the one library.
    return State().m_nInitCount++ == 0 ? 0 : kAlreadyInitialised;
}

SHIM_EXPORT uint32_t PacketTerm() {
    ShimState& state = State();
    std::lock_guard<std::mutex> guard(state.m_Lock);
    if (state.m_nInitCount > 0 && --state.m_nInitCount == 0) {
        // Nothing may call into a library that is about to be unloaded.
        SetLinkRoutine(nullptr);
        for (auto& adapter : state.m_Adapters) {
            adapter.reset();
        }
        state.m_Replays.clear();
        state.m_Problems.clear();
    }
    return 0;
}

SHIM_EXPORT uint32_t PacketGetDllVersion(const char** text) {
    if (text == nullptr) {
        return kInvalidParameter;
    }
    *text = "1.0";
    return 0;
}

SHIM_EXPORT uint32_t PacketSetParameter(const char* name, const char* value) {
    if (name == nullptr || value == nullptr) {
        return kInvalidParameter;
    }
    std::lock_guard<std::mutex> guard(State().m_Lock);
    State().m_Parameters[name] = value;
    return 0;
}

SHIM_EXPORT const char* PacketShimParameter(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(State().m_Lock);
    auto found = State().m_Parameters.find(name);
    return found != State().m_Parameters.end() ? found->second.c_str() : nullptr;
}

SHIM_EXPORT uint32_t PacketSetNotifyRoutine(rp::PacketNotifyFn routine) {
    SetLinkRoutine(routine);
    return 0;
}

SHIM_EXPORT uint32_t PacketGetAdapterList(rp::PacketAdapterEntry* entries, uint32_t count) {
    if (entries == nullptr) {
        return kInvalidParameter;
    }
    if (const char* failure = std::getenv("HW_PACKET_LIST_ERROR"); failure != nullptr && *failure != '\0') {
        return static_cast<uint32_t>(std::strtoul(failure, nullptr, 0));
    }
    std::vector<AdapterFacts> adapters = ListAdapters();
    std::vector<bool> placed(adapters.size(), false);
    std::vector<bool> used(count, false);
    // An adapter keeps the record it has: drivers hold on to their record
    // by position, and the open handle lives in it.
    for (uint32_t i = 0; i < count; ++i) {
        const size_t length = rp::EntryTextLength(entries + i, rp::kEntryName);
        if (length == 0) {
            continue;
        }
        const char* name = rp::EntryText(entries + i, rp::kEntryName);
        for (size_t j = 0; j < adapters.size() && !used[i]; ++j) {
            if (!placed[j] && adapters[j].m_strName.size() == length &&
                ::strncasecmp(adapters[j].m_strName.c_str(), name, length) == 0) {
                FillEntry(entries + i, adapters[j]);
                placed[j] = used[i] = true;
            }
        }
        if (used[i]) {
            continue;
        }
        if (AdapterOf(entries + i) != nullptr) {
            // Gone from the system while open: reported off-line, so the
            // reader of the list lets go of it and its capture.
            if (rp::EntryWord(entries + i, rp::kEntryFlags) != rp::kEntryFlagOffline) {
                rp::SetEntryWord(entries + i, rp::kEntryFlags, rp::kEntryFlagOffline);
            }
            used[i] = true;
        } else {
            std::memset(entries[i].m_Bytes, 0, sizeof entries[i].m_Bytes);
        }
    }
    // New adapters take the free records in order.
    uint32_t next = 0;
    for (size_t j = 0; j < adapters.size(); ++j) {
        if (placed[j]) {
            continue;
        }
        while (next < count && used[next]) {
            ++next;
        }
        if (next == count) {
            break;
        }
        FillEntry(entries + next, adapters[j]);
        used[next] = true;
    }
    return 0;
}

SHIM_EXPORT uint32_t PacketOpen(rp::PacketAdapterEntry* entry, uint32_t /*mode*/) {
    if (entry == nullptr) {
        return kInvalidParameter;
    }
    ShimState& state = State();
    std::lock_guard<std::mutex> guard(state.m_Lock);
    if (AdapterOf(entry) != nullptr) {
        return 0;
    }
    std::string name(rp::EntryText(entry, rp::kEntryName), rp::EntryTextLength(entry, rp::kEntryName));
    AdapterFacts facts;
    if (!FindAdapter(name, facts)) {
        return kAdapterNotFound;
    }
    state.m_Problems.erase(facts.m_strName);
    uint32_t slot = 0;
    while (slot < kSlots && state.m_Adapters[slot]) {
        ++slot;
    }
    if (slot == kSlots) {
        return kSystemError;
    }
    if (facts.m_bReplay) {
        std::shared_ptr<ReplayAdapter>& replay = state.m_Replays[facts.m_strName];
        if (!replay || !replay->plays(facts.m_strInterface)) {
            // The first open, or the capture was replaced on disk: played
            // afresh, into the outputs the replay already has.
            auto fresh = std::make_shared<ReplayAdapter>(facts, ReplaySettings());
            if (std::string problem = fresh->prepare(replay.get()); !problem.empty()) {
                state.m_Problems[facts.m_strName] = problem;
                return kAdapterNotFound;
            }
            replay = std::move(fresh);
        }
        state.m_Adapters[slot] = replay;
    } else {
        state.m_Adapters[slot] = std::make_shared<TapAdapter>(facts);
    }
    FillEntry(entry, facts);
    rp::SetEntryWord(entry, kHandleMagicOffset, kHandleMagic);
    rp::SetEntryWord(entry, kHandleSlotOffset, slot);
    rp::SetEntryWord(entry, kHandleGenerationOffset, ++state.m_Generations[slot]);
    return 0;
}

SHIM_EXPORT uint32_t PacketClose(rp::PacketAdapterEntry* entry) {
    ShimState& state = State();
    std::lock_guard<std::mutex> guard(state.m_Lock);
    if (AdapterOf(entry) == nullptr) {
        return entry == nullptr ? kInvalidParameter : kNotOpen;
    }
    state.m_Adapters[rp::EntryWord(entry, kHandleSlotOffset)].reset();
    rp::SetEntryWord(entry, kHandleMagicOffset, 0);
    return 0;
}

SHIM_EXPORT uint32_t PacketGetAdapterProblem(const rp::PacketAdapterEntry* entry, char* text, uint32_t size) {
    if (entry == nullptr || text == nullptr || size == 0) {
        return kInvalidParameter;
    }
    AdapterFacts facts;
    const std::string name(rp::EntryText(entry, rp::kEntryName), rp::EntryTextLength(entry, rp::kEntryName));
    if (!FindAdapter(name, facts)) {
        return kAdapterNotFound;
    }
    ShimState& state = State();
    std::lock_guard<std::mutex> guard(state.m_Lock);
    auto found = state.m_Problems.find(facts.m_strName);
    if (found == state.m_Problems.end()) {
        return kNotOpen;
    }
    std::snprintf(text, size, "%s", found->second.c_str());
    return 0;
}

SHIM_EXPORT uint32_t PacketGetAdapterNotice(const rp::PacketAdapterEntry* entry, char* text, uint32_t size) {
    if (text == nullptr || size == 0) {
        return kInvalidParameter;
    }
    ShimAdapter* adapter = AdapterOf(entry);
    if (adapter == nullptr) {
        return kNotOpen;
    }
    std::string notice;
    if (!adapter->takeNotice(notice)) {
        return kNothingRead;
    }
    std::snprintf(text, size, "%s", notice.c_str());
    return 0;
}

SHIM_EXPORT uint32_t PacketGetAdapterInputEnd(const rp::PacketAdapterEntry* entry, char* text, uint32_t size) {
    if (entry == nullptr || text == nullptr || size == 0) {
        return kInvalidParameter;
    }
    // Asked from any thread, while the adapter's own thread reads: the
    // replay is held here so that a close cannot free it meanwhile, and it
    // keeps its end under its own lock.
    const std::shared_ptr<ReplayAdapter> replay = ReplayOf(entry);
    std::string words;
    if (!replay || !replay->inputEnded(words)) {
        return kNothingRead;
    }
    std::snprintf(text, size, "%s", words.c_str());
    return 0;
}

// A replay's frames come from its file, which waits for the reader.
SHIM_EXPORT uint32_t PacketGetAdapterRecorded(const rp::PacketAdapterEntry* entry) {
    if (entry == nullptr) {
        return kInvalidParameter;
    }
    return ReplayOf(entry) ? 0 : kNothingRead;
}

SHIM_EXPORT uint32_t PacketCreateRx(rp::PacketAdapterEntry* entry, uint32_t bytes, uint32_t frameLenMax,
                                    uint32_t /*flags*/) {
    ShimAdapter* adapter = AdapterOf(entry);
    if (adapter == nullptr) {
        return kNotOpen;
    }
    const uint32_t status = adapter->createRx(bytes, frameLenMax);
    NoteProblem(*adapter, status != 0 && status != kReceiveExists);
    return status;
}

SHIM_EXPORT uint32_t PacketCloseRx(rp::PacketAdapterEntry* entry) {
    ShimAdapter* adapter = AdapterOf(entry);
    return adapter != nullptr ? adapter->closeRx() : kNotOpen;
}

SHIM_EXPORT uint32_t PacketStartCapture(rp::PacketAdapterEntry* entry) {
    return AdapterOf(entry) != nullptr ? 0 : kNotOpen;
}

SHIM_EXPORT uint32_t PacketRead(rp::PacketAdapterEntry* entry, uint32_t timeoutMs, void** record) {
    ShimAdapter* adapter = AdapterOf(entry);
    if (adapter == nullptr) {
        if (record != nullptr) {
            *record = nullptr;
        }
        return kNotOpen;
    }
    return adapter->readAsReader(timeoutMs, record);
}

// Any thread, beside the one that reads: the adapter is held here so that
// a close cannot free it meanwhile.
SHIM_EXPORT uint32_t PacketInterruptRead(const rp::PacketAdapterEntry* entry) {
    std::shared_ptr<ShimAdapter> adapter;
    {
        ShimState& state = State();
        std::lock_guard<std::mutex> guard(state.m_Lock);
        if (AdapterOf(entry) != nullptr) {
            adapter = state.m_Adapters[rp::EntryWord(entry, kHandleSlotOffset)];
        }
    }
    if (!adapter) {
        return entry == nullptr ? kInvalidParameter : kNotOpen;
    }
    adapter->wakeRead();
    return 0;
}

SHIM_EXPORT uint32_t PacketFree(rp::PacketAdapterEntry* entry, void* record, uint32_t direction) {
    ShimAdapter* adapter = AdapterOf(entry);
    return adapter != nullptr ? adapter->free(record, direction) : kNotOpen;
}

SHIM_EXPORT uint32_t PacketGetStatistics(rp::PacketAdapterEntry* entry, void* block, uint32_t kind) {
    ShimAdapter* adapter = AdapterOf(entry);
    if (adapter == nullptr) {
        return kNotOpen;
    }
    if (block == nullptr || kind != 1) {
        return kInvalidParameter;
    }
    adapter->statistics(*static_cast<rp::PacketStatistics*>(block));
    return 0;
}

SHIM_EXPORT uint32_t PacketSetShutdown(rp::PacketAdapterEntry* /*entry*/) { return 0; }

SHIM_EXPORT uint32_t PacketTxOpen(rp::PacketAdapterEntry* entry, uint32_t /*count*/, uint8_t /*option*/) {
    ShimAdapter* adapter = AdapterOf(entry);
    if (adapter == nullptr) {
        return kNotOpen;
    }
    const uint32_t status = adapter->txOpen();
    NoteProblem(*adapter, status != 0 && status != kTransmitOpen);
    return status;
}

SHIM_EXPORT uint32_t PacketTxClose(rp::PacketAdapterEntry* entry) {
    ShimAdapter* adapter = AdapterOf(entry);
    return adapter != nullptr ? adapter->txClose() : kNotOpen;
}

SHIM_EXPORT uint32_t PacketTxSendArray(rp::PacketAdapterEntry* entry, const void* const* data,
                                       const uint32_t* lengths, uint32_t count, uint32_t /*wait*/,
                                       uint32_t* sent) {
    ShimAdapter* adapter = AdapterOf(entry);
    if (sent != nullptr) {
        *sent = 0;
    }
    if (adapter == nullptr) {
        return kNotOpen;
    }
    if (data == nullptr || lengths == nullptr) {
        return kInvalidParameter;
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t status = adapter->transmit(data[i], lengths[i]);
        if (status != 0) {
            return status;
        }
        if (sent != nullptr) {
            ++*sent;
        }
    }
    return 0;
}

SHIM_EXPORT uint32_t PacketInjectReceive(rp::PacketAdapterEntry* entry, const void* data, uint32_t length) {
    ShimAdapter* adapter = AdapterOf(entry);
    return adapter != nullptr ? adapter->injectReceive(data, length) : kNotOpen;
}

SHIM_EXPORT uint32_t PacketInjectTransmit(rp::PacketAdapterEntry* entry, const void* data, uint32_t length) {
    ShimAdapter* adapter = AdapterOf(entry);
    return adapter != nullptr ? adapter->transmit(data, length) : kNotOpen;
}

SHIM_EXPORT uint32_t PacketPurgeBypassFilters(void* /*argument*/) {
    PurgePendingFilters();
    return 0;
}

SHIM_EXPORT uint32_t PacketAddBypassFilter(uint32_t address, uint32_t prefix, uint32_t protocol,
                                           uint32_t direction) {
    return AddPendingFilter({address, prefix, protocol, direction}) ? 0 : kInvalidParameter;
}

SHIM_EXPORT uint32_t PacketPushAllBypassFilters(void* /*argument*/) {
    PublishFilters();
    return 0;
}

SHIM_EXPORT uint32_t OpenDeviceInstance(void* /*argument*/) { return 0; }
SHIM_EXPORT uint32_t CloseDeviceInstance(void* /*argument*/) { return 0; }
