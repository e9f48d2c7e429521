#include "ReplayAdapter.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
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

std::string ReplayAdapter::refusal(const std::string& path) {
    if (path.empty() || path[0] != '/') {
        return "the capture file \"" + path +
               "\" is named by a relative path, which the replay does not take: name it from / "
               "(hwhost works in the sensor root, not where it was started)";
    }
    std::FILE* file = std::fopen(path.c_str(), "rbe");
    if (file == nullptr) {
        const int error = errno;
        return "the capture file " + path +
               (error == ENOENT ? std::string(" does not exist (no such file)")
                                : " cannot be read: " + std::string(std::strerror(error)));
    }
    uint8_t magic[4] = {};
    const bool bShort = std::fread(magic, 1, sizeof magic, file) != sizeof magic;
    std::rewind(file);
    PcapHeader header;
    const bool bPcap = !bShort && PcapReader::readHeader(file, header);
    std::fclose(file);
    // Where a conversion may write: beside the file, under a name of its own.
    std::string stem = path;
    for (const char* pszEnding : {".pcapng", ".pcap", ".cap"}) {
        if (stem.ends_with(pszEnding)) {
            stem.resize(stem.size() - std::strlen(pszEnding));
            break;
        }
    }
    if (!bShort && magic[0] == 0x0A && magic[1] == 0x0D && magic[2] == 0x0D && magic[3] == 0x0A) {
        return "the capture file " + path +
               " is in the pcapng format (what tshark and dumpcap write unless told otherwise), which the "
               "replay does not read: convert it to pcap with: editcap -F pcap " +
               path + " " + (stem + ".pcap" == path ? stem + "-pcap.pcap" : stem + ".pcap");
    }
    if (!bPcap) {
        return "the capture file " + path + " is not a capture file in the pcap format";
    }
    switch (header.m_dwLinkType) {
        case 1:
            return "";
        case 113:
            return "the capture file " + path +
                   " holds Linux cooked frames (link type 113, what tcpdump -i any writes), not Ethernet "
                   "frames: capture on one interface (tcpdump -i eth0 -w FILE), or convert it with: "
                   "editcap -C 2 -T ether " +
                   path + " " + stem + "-ethernet.pcap (the frames keep their type and contents; their "
                   "Ethernet addresses are made up)";
        case 276:
            return "the capture file " + path +
                   " holds Linux cooked frames (link type 276, what tcpdump -i any writes), not Ethernet "
                   "frames: capture on one interface instead (tcpdump -i eth0 -w FILE)";
        default:
            return "the capture file " + path + " holds frames of link type " +
                   std::to_string(header.m_dwLinkType) +
                   ", not Ethernet (link type 1): capture on an Ethernet interface (tcpdump -i eth0 -w FILE)";
    }
}

bool ReplayAdapter::plays(const std::string& path) const {
    if (path != m_Facts.m_strInterface) {
        return false;
    }
    if (!m_bStarted) {
        return true;
    }
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && info.st_dev == m_Device && info.st_ino == m_Inode;
}

bool ReplayAdapter::start() {
    if (m_bStarted) {
        return true;
    }
    if (!m_Reader.open(m_Facts.m_strInterface)) {
        return false;
    }
    sizeRecord(PcapReader::kMaxRecord);
    if (!m_Options.m_strOutputDirectory.empty()) {
        std::string stem = m_Options.m_strOutputDirectory + "/" + BaseName(m_Facts.m_strName);
        uint32_t linkType = m_Reader.header().m_dwLinkType;
        if (!m_Passed.open(stem + ".pass.pcap", linkType) || !m_Dropped.open(stem + ".drop.pcap", linkType) ||
            !m_Injected.open(stem + ".inject.pcap", linkType)) {
            m_Reader.close();
            m_Passed.close();
            m_Dropped.close();
            return false;
        }
    }
    struct stat info {};
    if (::stat(m_Facts.m_strInterface.c_str(), &info) == 0) {
        m_Device = info.st_dev;
        m_Inode = info.st_ino;
    }
    m_bStarted = true;
    return true;
}

uint32_t ReplayAdapter::createRx(uint32_t /*bytes*/, uint32_t /*frameLenMax*/) {
    if (m_bOpen) {
        return kReceiveExists;
    }
    if (!start()) {
        return kSystemError;
    }
    m_bOpen = true;
    return 0;
}

uint32_t ReplayAdapter::closeRx() {
    // The place in the file, a frame held for its time and the output files
    // stay for the next receive buffer.
    m_bOpen = false;
    m_bRecordOut = false;
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
