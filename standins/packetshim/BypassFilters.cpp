#include "BypassFilters.h"

#include <arpa/inet.h>

#include <cstring>
#include <mutex>

namespace shim {
namespace {

constexpr size_t kMaxFilters = 256;

struct FilterState {
    std::mutex m_Lock;
    std::vector<BypassFilter> m_Pending;
    std::vector<BypassFilter> m_Published;
    std::atomic<uint32_t> m_dwGeneration{0};
};

// Never destroyed, like the rest of the shim's state.
FilterState& State() {
    static FilterState* state = new FilterState();
    return *state;
}

uint32_t Mask(uint32_t prefix) { return prefix == 0 ? 0 : htonl(0xFFFFFFFFu << (32 - prefix)); }

bool Covers(uint32_t filterAddress, uint32_t prefix, uint32_t address) {
    return ((filterAddress ^ address) & Mask(prefix)) == 0;
}

}  // namespace

bool AddPendingFilter(const BypassFilter& filter) {
    if (filter.m_dwPrefix > 32 || filter.m_dwDirection < 1 || filter.m_dwDirection > 3) {
        return false;
    }
    FilterState& state = State();
    std::lock_guard<std::mutex> guard(state.m_Lock);
    if (state.m_Pending.size() >= kMaxFilters) {
        return false;
    }
    state.m_Pending.push_back(filter);
    return true;
}

void PurgePendingFilters() {
    FilterState& state = State();
    std::lock_guard<std::mutex> guard(state.m_Lock);
    state.m_Pending.clear();
}

void PublishFilters() {
    FilterState& state = State();
    std::lock_guard<std::mutex> guard(state.m_Lock);
    state.m_Published = state.m_Pending;
    state.m_dwGeneration.fetch_add(1);
}

void BypassView::refresh() {
    FilterState& state = State();
    std::lock_guard<std::mutex> guard(state.m_Lock);
    m_Filters = state.m_Published;
    m_dwGeneration = state.m_dwGeneration.load();
}

bool BypassView::matches(const uint8_t* frame, uint32_t length) {
    if (State().m_dwGeneration.load(std::memory_order_acquire) != m_dwGeneration) {
        refresh();
    }
    if (m_Filters.empty() || length < 14) {
        return false;
    }
    uint32_t offset = 12;
    uint16_t type = static_cast<uint16_t>(frame[offset] << 8 | frame[offset + 1]);
    if (type == 0x8100 && length >= 18) {
        offset += 4;
        type = static_cast<uint16_t>(frame[offset] << 8 | frame[offset + 1]);
    }
    offset += 2;
    if (type != 0x0800 || length < offset + 20 || (frame[offset] >> 4) != 4) {
        return false;
    }
    uint32_t protocol = frame[offset + 9];
    uint32_t source;
    uint32_t destination;
    std::memcpy(&source, frame + offset + 12, 4);
    std::memcpy(&destination, frame + offset + 16, 4);
    for (const BypassFilter& filter : m_Filters) {
        if (filter.m_dwProtocol != 255 && filter.m_dwProtocol != protocol) {
            continue;
        }
        bool bySource = filter.m_dwDirection != 3 && Covers(filter.m_dwAddress, filter.m_dwPrefix, source);
        bool byDestination = filter.m_dwDirection != 1 && Covers(filter.m_dwAddress, filter.m_dwPrefix, destination);
        if (bySource || byDestination) {
            return true;
        }
    }
    return false;
}

}  // namespace shim
