#include "ReplayAdapter.h"

#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "ShimStatus.h"
#include "platform/LastError.h"

namespace shim {
namespace {

constexpr uint64_t kUnitsPerSecond = 10000000ull;
constexpr uint64_t kEpochDifferenceSeconds = 11644473600ull;

std::string BaseName(const std::string& name) {
    size_t slash = name.find_last_of("\\/");
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

// Why the capture file `path` cannot be opened, in words: the system's
// reason, or the platform's refusal (the path, what is there, its owner)
// with what makes the capture playable.
std::string OpenRefusal(const std::string& path, const std::string& why) {
    const std::string file = "the capture file " + path;
    if (why.rfind(path + ": ", 0) == 0) {
        return file + (plat::GetLastError() == plat::kErrFileNotFound ? std::string(" does not exist (no such file)")
                                                                       : " cannot be read: " + why.substr(path.size() + 2));
    }
    if (plat::GetLastError() == plat::kErrStoppedOnSymlink) {
        return "the capture file " + why + ": name the file itself";
    }
    return "the capture file " + why + ": the replay reads regular files only, so write the capture into one and name that";
}

// Why a file that opened is not a capture the replay plays; empty when it is.
std::string FormatRefusal(const std::string& path, const uint8_t* bytes, size_t length) {
    // Where a conversion may write: beside the file, under a name of its own.
    std::string stem = path;
    for (const char* pszEnding : {".pcapng", ".pcap", ".cap"}) {
        if (stem.ends_with(pszEnding)) {
            stem.resize(stem.size() - std::strlen(pszEnding));
            break;
        }
    }
    if (length >= 4 && bytes[0] == 0x0A && bytes[1] == 0x0D && bytes[2] == 0x0D && bytes[3] == 0x0A) {
        return "the capture file " + path +
               " is in the pcapng format (what tshark and dumpcap write unless told otherwise), which the "
               "replay does not read: convert it to pcap with: editcap -F pcap " +
               path + " " + (stem + ".pcap" == path ? stem + "-pcap.pcap" : stem + ".pcap");
    }
    PcapHeader header;
    if (length < PcapReader::kFileHeaderSize || !PcapReader::parseHeader(bytes, header)) {
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

}  // namespace

std::string ReplayOutputs::open(const std::string& folder, const std::string& adapter, uint32_t linkType) {
    const std::string named = "the replay's output folder " + folder + " (HW_PACKET_REPLAY_OUT)";
    plat::FileStatus status;
    if (!plat::GetFileStatus(folder.c_str(), status)) {
        const int error = errno;
        return named + (error == ENOENT ? " does not exist (" + std::string(std::strerror(error)) +
                                              "): make it, or name another"
                                        : " cannot be reached: " + std::string(std::strerror(error)));
    }
    if (!status.m_bIsDirectory) {
        return named + " is not a folder: name a folder";
    }
    const std::string stem = folder + "/" + BaseName(adapter);
    std::string problem;
    if (!m_Passed.open(stem + ".pass.pcap", linkType, problem) ||
        !m_Dropped.open(stem + ".drop.pcap", linkType, problem) ||
        !m_Injected.open(stem + ".inject.pcap", linkType, problem)) {
        m_Passed.close();
        m_Dropped.close();
        return "the replay's output file cannot be made: " + problem;
    }
    return "";
}

std::string ReplayAdapter::openCapture() {
    const std::string& path = m_Facts.m_strInterface;
    if (path.empty() || path[0] != '/') {
        return "the capture file \"" + path +
               "\" is named by a relative path, which the replay does not take: name it from / "
               "(hwhost works in the sensor root, not where it was started)";
    }
    // A FIFO, socket or device is refused without being opened, so the
    // replay neither waits for a writer nor takes what it writes.
    std::string why;
    const plat::FileHandle file = plat::OpenFileToRead(path, plat::Owners::kAnyAccount, &why);
    if (file == plat::kInvalidFile) {
        return OpenRefusal(path, why);
    }
    uint8_t bytes[PcapReader::kFileHeaderSize] = {};
    size_t length = 0;
    plat::FileStatus status;
    if (!plat::ReadFileAt(file, 0, bytes, sizeof bytes, length) || !plat::GetOpenFileStatus(file, status)) {
        const int error = errno;
        plat::CloseFile(file);
        return "the capture file " + path + " cannot be read: " + std::strerror(error);
    }
    if (std::string refusal = FormatRefusal(path, bytes, length); !refusal.empty()) {
        plat::CloseFile(file);
        return refusal;
    }
    if (!m_Reader.attach(file)) {
        return "the capture file " + path + " is not a capture file in the pcap format";
    }
    m_qwIdentity = status.m_qwIdentity;
    return "";
}

std::string ReplayAdapter::prepare(const ReplayAdapter* replaced) {
    if (std::string refusal = openCapture(); !refusal.empty()) {
        return refusal;
    }
    sizeRecord(PcapReader::kMaxRecord);
    // The same name and outputs as before: the capture was replaced on
    // disk.  Another name or folder is another replay altogether.
    if (replaced != nullptr && replaced->m_Facts.m_strInterface == m_Facts.m_strInterface &&
        replaced->m_Options.m_strOutputDirectory == m_Options.m_strOutputDirectory) {
        m_pOutputs = replaced->m_pOutputs;
        notice("the capture file " + m_Facts.m_strInterface +
               " was replaced on disk: the replay starts over with the new file's first record" +
               (m_pOutputs ? ", adding to its output files" : ""));
    } else if (!m_Options.m_strOutputDirectory.empty()) {
        auto outputs = std::make_shared<ReplayOutputs>();
        std::string problem =
            outputs->open(m_Options.m_strOutputDirectory, m_Facts.m_strName, m_Reader.header().m_dwLinkType);
        if (!problem.empty()) {
            m_Reader.close();
            return problem;
        }
        m_pOutputs = std::move(outputs);
    }
    return "";
}

bool ReplayAdapter::plays(const std::string& path) const {
    if (path != m_Facts.m_strInterface) {
        return false;
    }
    plat::FileStatus status;
    return plat::GetFileStatus(path.c_str(), status) && status.m_qwIdentity == m_qwIdentity;
}

uint32_t ReplayAdapter::createRx(uint32_t /*bytes*/, uint32_t /*frameLenMax*/) {
    if (m_bOpen) {
        return kReceiveExists;
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

void ReplayAdapter::write(PcapWriter ReplayOutputs::*output, uint32_t captured, uint32_t original,
                          uint32_t seconds, uint32_t microseconds, const uint8_t* data) {
    if (!m_pOutputs) {
        return;
    }
    std::string problem;
    if (!((*m_pOutputs).*output).write(data, captured, original, seconds, microseconds, problem)) {
        notice("the replay's output file cannot be written: " + problem +
               "; the frames it would hold from now on are not kept");
    }
}

void ReplayAdapter::reportDamage() {
    const PcapDamage& damage = m_Reader.damage();
    const std::string file = "the capture file " + m_Facts.m_strInterface + " is damaged: ";
    if (!damage.m_bSkipped) {
        m_bEnded = true;
        const uint64_t before = damage.m_qwRecord - 1;
        const std::string where =
            before == 0 ? std::string("before its first record") : "after record " + std::to_string(before);
        end("the capture file " + m_Facts.m_strInterface + " was played to its end at the damage: " +
            damage.m_strWhat + "; the replay ended there, " + where);
        if (!m_bFirstPass) {
            return;
        }
        std::string text = file + damage.m_strWhat + "; the replay ends there, " + where;
        if (m_qwSkipped > kDamageNotices) {
            text += " (" + std::to_string(m_qwSkipped) + " damaged records were skipped before it)";
        }
        notice(std::move(text));
        return;
    }
    if (!m_bFirstPass) {
        return;
    }
    ++m_qwSkipped;
    if (m_qwSkipped <= kDamageNotices) {
        notice(file + damage.m_strWhat + "; the replay skips it and goes on with record " +
               std::to_string(damage.m_qwRecord + 1) +
               (m_qwSkipped == kDamageNotices ? " (further damaged records are skipped and counted)" : ""));
    }
}

void ReplayAdapter::end(std::string words) {
    std::lock_guard<std::mutex> guard(m_EndLock);
    if (m_strEnd.empty()) {
        m_strEnd = std::move(words);
    }
}

bool ReplayAdapter::inputEnded(std::string& words) const {
    std::lock_guard<std::mutex> guard(m_EndLock);
    if (m_strEnd.empty()) {
        return false;
    }
    words = m_strEnd;
    return true;
}

bool ReplayAdapter::readNext() {
    // Played to its end, the replay stays there: what a file rewritten in
    // place or grown since holds is not played, as the end was told.
    if (m_bEnded) {
        return false;
    }
    // A looping file starts again once per read, so a file whose every
    // frame is bypassed cannot hold the reader forever.
    bool rewound = false;
    uint32_t seconds = 0;
    for (;;) {
        const PcapReader::Result result =
            m_Reader.next(recordData(), recordRoom(), m_dwCaptured, m_dwOriginal, seconds, m_dwFraction);
        if (result == PcapReader::Result::kDamaged) {
            reportDamage();
            if (m_bEnded) {
                return false;
            }
            continue;
        }
        if (result == PcapReader::Result::kEnd) {
            if (m_bFirstPass && m_qwSkipped > kDamageNotices) {
                notice("the capture file " + m_Facts.m_strInterface + " is damaged: " + std::to_string(m_qwSkipped) +
                       " damaged records were skipped in all; the replay has read every other record");
            }
            m_bFirstPass = false;
            if (!m_Options.m_bLoop) {
                m_bEnded = true;
                end(playedOut());
                return false;
            }
            if (rewound) {
                return false;
            }
            rewound = true;
            m_bPaceStarted = false;
            m_Reader.rewind();
            continue;
        }
        const uint32_t microseconds = m_Reader.header().m_bNanoseconds ? m_dwFraction / 1000 : m_dwFraction;
        if (!m_Bypass.matches(recordData(), m_dwCaptured)) {
            m_dwSeconds = seconds;
            m_dwMicroseconds = microseconds;
            m_bHeld = true;
            return true;
        }
        // Bypassed: passed on without the reader seeing it.
        write(&ReplayOutputs::m_Passed, m_dwCaptured, m_dwOriginal, seconds, microseconds, recordData());
        ++m_Statistics.m_qwPassed;
    }
}

std::string ReplayAdapter::playedOut() const {
    const std::string file = "the capture file " + m_Facts.m_strInterface + " was played to its end";
    const uint64_t records = m_Reader.record();
    if (records == 0) {
        return file + ": it holds no record";
    }
    std::string count = std::to_string(records) + (records == 1 ? " record" : " records");
    if (m_qwSkipped != 0) {
        count += ", " + std::to_string(m_qwSkipped) + " of them damaged and skipped";
    }
    return file + " (" + count + ")";
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
    // A notice goes out before the frame read after it, so the reader
    // hears of a record skipped before it sees the next.
    if (noticeWaits()) {
        return kAdapterNotice;
    }
    if (!m_bHeld && !readNext()) {
        if (noticeWaits()) {
            return kAdapterNotice;
        }
        // Nothing more will arrive: the read waits its time-out like a quiet wire.
        waitUnlessWoken(timeoutMs);
        return kNoFrame;
    }
    if (noticeWaits()) {
        return kAdapterNotice;
    }
    if (m_Options.m_bPace) {
        const uint64_t wait = millisecondsUntilDue();
        // Not yet due: the frame stays held for a later read, and so it
        // does when the wait is woken.
        if (wait > timeoutMs) {
            waitUnlessWoken(timeoutMs);
            return kNoFrame;
        }
        if (wait > 0 && !waitUnlessWoken(wait)) {
            return kNoFrame;
        }
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
    write(drop ? &ReplayOutputs::m_Dropped : &ReplayOutputs::m_Passed, captured, wire, m_dwSeconds, m_dwMicroseconds,
          recordData());
    ++(drop ? m_Statistics.m_qwBlocked : m_Statistics.m_qwPassed);
    return 0;
}

uint32_t ReplayAdapter::inject(const void* data, uint32_t length) {
    if (data == nullptr || length == 0) {
        return kInvalidParameter;
    }
    timeval now{};
    ::gettimeofday(&now, nullptr);
    write(&ReplayOutputs::m_Injected, length, length, static_cast<uint32_t>(now.tv_sec),
          static_cast<uint32_t>(now.tv_usec), static_cast<const uint8_t*>(data));
    ++m_Statistics.m_qwInjected;
    return 0;
}

}  // namespace shim
