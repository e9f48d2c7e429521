#include "ReplayAdapter.h"

#include <sys/time.h>

#include <chrono>
#include <thread>

#include "ShimStatus.h"

namespace shim {
namespace {

constexpr uint64_t kUnitsPerSecond = 10000000ull;
constexpr uint64_t kEpochDifferenceSeconds = 11644473600ull;

std::string BaseName(const std::string& name) {
    size_t slash = name.find_last_of("\\/");
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

}  // namespace

uint32_t ReplayAdapter::createRx(uint32_t /*bytes*/, uint32_t /*frameLenMax*/) {
    if (m_bOpen) {
        return kReceiveExists;
    }
    if (!m_Reader.open(m_Facts.m_strInterface)) {
        return kSystemError;
    }
    sizeRecord(PcapReader::kMaxRecord);
    if (!m_Options.m_strOutputDirectory.empty()) {
        std::string stem = m_Options.m_strOutputDirectory + "/" + BaseName(m_Facts.m_strName);
        uint32_t linkType = m_Reader.header().m_dwLinkType;
        if (!m_Passed.open(stem + ".pass.pcap", linkType) || !m_Dropped.open(stem + ".drop.pcap", linkType) ||
            !m_Injected.open(stem + ".inject.pcap", linkType)) {
            m_Reader.close();
            return kSystemError;
        }
    }
    m_bOpen = true;
    m_bCorrupt = false;
    return 0;
}

uint32_t ReplayAdapter::closeRx() {
    m_Reader.close();
    m_Passed.close();
    m_Dropped.close();
    m_Injected.close();
    m_bOpen = false;
    m_bRecordOut = false;
    m_bHeld = false;
    m_bPaceStarted = false;
    return 0;
}

bool ReplayAdapter::readNext() {
    PcapReader::Result result = PcapReader::Result::kEnd;
    // A looping file starts again once per read, so a file whose every
    // frame is bypassed cannot hold the reader forever.
    bool rewound = false;
    uint32_t seconds = 0;
    while (!m_bCorrupt) {
        result = m_Reader.next(recordData(), recordRoom(), m_dwCaptured, m_dwOriginal, seconds, m_dwFraction);
        if (result == PcapReader::Result::kEnd && m_Options.m_bLoop && !rewound) {
            rewound = true;
            m_bPaceStarted = false;
            m_Reader.rewind();
            result = m_Reader.next(recordData(), recordRoom(), m_dwCaptured, m_dwOriginal, seconds, m_dwFraction);
        }
        if (result != PcapReader::Result::kRecord || !m_Bypass.matches(recordData(), m_dwCaptured)) {
            break;
        }
        // Bypassed: passed on without the reader seeing it.
        m_Passed.write(recordData(), m_dwCaptured, m_dwOriginal, seconds,
                       m_Reader.header().m_bNanoseconds ? m_dwFraction / 1000 : m_dwFraction);
        ++m_Statistics.m_qwPassed;
    }
    if (result != PcapReader::Result::kRecord) {
        // A damaged file ends the replay where the damage starts.
        m_bCorrupt = m_bCorrupt || result == PcapReader::Result::kCorrupt;
        return false;
    }
    m_dwSeconds = seconds;
    m_dwMicroseconds = m_Reader.header().m_bNanoseconds ? m_dwFraction / 1000 : m_dwFraction;
    m_bHeld = true;
    return true;
}

uint64_t ReplayAdapter::millisecondsUntilDue() {
    const auto now = std::chrono::steady_clock::now();
    const uint64_t fileTime = uint64_t{m_dwSeconds} * 1000000u + m_dwMicroseconds;
    if (!m_bPaceStarted) {
        m_bPaceStarted = true;
        m_qwPaceFileStart = fileTime;
        m_PaceClockStart = now;
        return 0;
    }
    const uint64_t offset = fileTime > m_qwPaceFileStart ? fileTime - m_qwPaceFileStart : 0;
    const auto due = m_PaceClockStart + std::chrono::microseconds(offset);
    if (now >= due) {
        return 0;
    }
    return static_cast<uint64_t>(std::chrono::ceil<std::chrono::milliseconds>(due - now).count());
}

uint32_t ReplayAdapter::read(uint32_t timeoutMs, void** record) {
    if (record == nullptr) {
        return kInvalidParameter;
    }
    *record = nullptr;
    if (!m_bOpen) {
        return kNotOpen;
    }
    if (!m_bHeld && !readNext()) {
        // Nothing more will arrive: the read waits its time-out like a quiet wire.
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return kNoFrame;
    }
    if (m_Options.m_bPace) {
        const uint64_t wait = millisecondsUntilDue();
        if (wait > timeoutMs) {
            // Not yet due: the frame stays held for a later read.
            std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
            return kNoFrame;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    }
    m_bHeld = false;
    if (m_Facts.m_dwReadMode == 3) {
        uint64_t units = (m_dwSeconds + kEpochDifferenceSeconds) * kUnitsPerSecond +
                         (m_Reader.header().m_bNanoseconds ? m_dwFraction / 100 : uint64_t{m_dwFraction} * 10);
        fillHeader(0, m_dwCaptured, m_dwOriginal, static_cast<uint32_t>(units), static_cast<uint32_t>(units >> 32));
    } else {
        fillHeader(0, m_dwCaptured, m_dwOriginal, m_dwSeconds, m_dwMicroseconds);
    }
    ++m_Statistics.m_qwReceived;
    m_bRecordOut = true;
    *record = m_Record.data();
    return 0;
}

uint32_t ReplayAdapter::free(void* record, uint32_t direction) {
    if (!ownsRecord(record)) {
        return kInvalidParameter;
    }
    m_bRecordOut = false;
    uint32_t captured = rp::RecordWord(record, rp::kRecordCapturedLength);
    uint32_t wire = rp::RecordWord(record, rp::kRecordWireLength);
    bool drop = direction == rp::kFreeDrop;
    (drop ? m_Dropped : m_Passed).write(recordData(), captured, wire, m_dwSeconds, m_dwMicroseconds);
    ++(drop ? m_Statistics.m_qwBlocked : m_Statistics.m_qwPassed);
    return 0;
}

uint32_t ReplayAdapter::inject(const void* data, uint32_t length) {
    if (data == nullptr || length == 0) {
        return kInvalidParameter;
    }
    timeval now{};
    ::gettimeofday(&now, nullptr);
    m_Injected.write(static_cast<const uint8_t*>(data), length, length, static_cast<uint32_t>(now.tv_sec),
                     static_cast<uint32_t>(now.tv_usec));
    ++m_Statistics.m_qwInjected;
    return 0;
}

}  // namespace shim
