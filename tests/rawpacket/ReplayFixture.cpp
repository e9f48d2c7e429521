#include "ReplayFixture.h"

#include <cstring>
#include <mutex>

#include "rawpacket/PacketDll.h"

namespace rptest {
namespace {

std::recursive_mutex g_TableLock;
void LockTable() { g_TableLock.lock(); }
void UnlockTable() { g_TableLock.unlock(); }

void AppendWord(std::string& out, uint32_t value) { out.append(reinterpret_cast<const char*>(&value), 4); }

}  // namespace

std::vector<TestFrame> MakeFrames(size_t count) {
    std::vector<TestFrame> frames;
    for (size_t i = 0; i < count; ++i) {
        TestFrame frame;
        frame.m_Bytes.resize(60 + (i * 37) % 1400);
        for (size_t b = 0; b < frame.m_Bytes.size(); ++b) {
            frame.m_Bytes[b] = static_cast<uint8_t>(b * 7 + i);
        }
        frame.m_Bytes[12] = 0x88;  // a local experimental ethertype
        frame.m_Bytes[13] = 0xB5;
        frame.m_dwSeconds = 1700000000u + static_cast<uint32_t>(i);
        frame.m_dwMicroseconds = static_cast<uint32_t>(i * 1001 % 1000000);
        frames.push_back(frame);
    }
    return frames;
}

std::string PcapBytes(const std::vector<TestFrame>& frames) {
    std::string out;
    for (uint32_t word : {0xa1b2c3d4u, 0x00040002u, 0u, 0u, 262144u, 1u}) {
        AppendWord(out, word);
    }
    for (const TestFrame& frame : frames) {
        AppendWord(out, frame.m_dwSeconds);
        AppendWord(out, frame.m_dwMicroseconds);
        AppendWord(out, static_cast<uint32_t>(frame.m_Bytes.size()));
        AppendWord(out, static_cast<uint32_t>(frame.m_Bytes.size()));
        out.append(reinterpret_cast<const char*>(frame.m_Bytes.data()), frame.m_Bytes.size());
    }
    return out;
}

AdapterTable::AdapterTable() { rp::setAdapterTable(m_Entries, rp::kAdapterTableEntries, LockTable, UnlockTable); }

AdapterTable::~AdapterTable() { rp::setAdapterTable(nullptr, 0, nullptr, nullptr); }

void AdapterTable::Fill() {
    rp::PacketDll binding;
    std::lock_guard<std::recursive_mutex> guard(g_TableLock);
    binding.m_pfnPacketGetAdapterList(m_Entries, rp::kAdapterTableEntries);
}

int AdapterTable::Find(const std::string& name) const {
    for (size_t i = 0; i < rp::kAdapterTableEntries; ++i) {
        if (name == rp::EntryText(&m_Entries[i], rp::kEntryName)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace rptest
