#include "TextLogs/TextLogModel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "Common/AgentEventInfo.h"
#include "Common/FakeSensorCore.h"
#include "TextLogs/CEngineTextLog.h"
#include "TextLogs/SensorOutputs.h"
#include "platform/Console.h"
#include "platform/Descriptors.h"
#include "platform/OwnOutputs.h"
#include "support/DescriptorSqueeze.h"
#include "support/EngineEnd.h"
#include "support/TestUtil.h"

namespace {

constexpr int kGroups = 2;
constexpr const char* kGroupNames[kGroups] = {"All", "Ayes"};
// Names the steps use: some both groups match, some one, some none, and
// some in a folder no group watches.
constexpr std::array<const char*, 14> kPool = {"a.log",   "a.1.log",  "a.2.log", "b.log",      "b.1.log",
                                               "c.log",   "a.txt",    "c.txt",   "swap.tmp",   "cur.log",
                                               "ab.log",  "away/x.log", "away/y.log", "away/z.txt"};
// Writers hold at most this many files open.
constexpr size_t kMaxWriters = 40;
constexpr size_t kTraceSteps = 80;
// Where a line used to be cut in pieces, and where the reader's buffer
// grows: a marker across them is found whole.
constexpr size_t kOldPiece = 4095;
constexpr size_t kBufferEnd = 16384;
// A file cut back to a non-zero size goes on exactly there when the cut
// falls at the end of one of its first lines, or within the last bytes read
// (what the engine keeps of a file to know it again).
constexpr size_t kHeadLinesKnown = 64;
constexpr uint64_t kHeadBytesKnown = 8191;
constexpr uint64_t kTailKnown = 1000;

// The sensor's own alert file and the names its rotations give it, none of
// them the pool's: the first is the one the host writes, the next four are
// rotated names (Ayes matches them, All the last, as logrotate's
// "extension" names it), the others names both groups match that only the
// file itself tells: a copy is never given one.
constexpr std::array<const char*, 7> kOwnNames = {"alerts.log",   "alerts.log.1", "alerts.log.2", "alerts.log.2.gz",
                                                  "alerts.1.log", "arch.log",     "alink.log"};
// Lines of the sensor's own output are numbered from here, past any the
// pool's writers make.
constexpr uint64_t kOwnLineBase = 1000000000;

bool Matches(int nGroup, const std::string& strName) {
    if (strName.find('/') != std::string::npos) {
        return false;
    }
    return nGroup == 0 ? strName.size() > 4 && strName.compare(strName.size() - 4, 4, ".log") == 0
                       : strName[0] == 'a';
}

class ModelRun {
public:
    ModelRun(uint64_t qwSeed, TextLogModel::Scans scans)
        : m_Random(qwSeed), m_qwSeed(qwSeed), m_ExtraRandom(qwSeed ^ 0x6578747261ull),
          m_RereadRandom(qwSeed ^ 0x726572656164ull), m_SliceRandom(qwSeed ^ 0x736c696365ull),
          m_StopRandom(qwSeed ^ 0x73746f70ull), m_Scans(scans) {}
    ~ModelRun();

    TextLogModel::Result Go(uint32_t dwSteps);

private:
    struct Line {
        uint64_t m_qwFile = 0;
        uint64_t m_qwClock = 0;  // when its line feed was written; 0 while unfinished
        uint64_t m_qwBegun = 0;  // when its first byte was written
        uint64_t m_qwEnd = 0;    // the file offset after it
        uint64_t m_qwTakenAt = 0;  // when a cut took it; 0 while the file holds it
        bool m_bMarker = false;  // it carries MARK<n>END, for the rule "Marker"
    };
    struct Sighting {
        uint64_t m_qwClock = 0;
        uint64_t m_qwSize = 0;  // the file's size then
    };
    struct File {
        int m_nFd = -1;  // its writer, -1 once it let go
        // A writer without O_APPEND writes at its own offset, which a cut
        // leaves where it was.
        bool m_bAppend = true;
        uint64_t m_qwWriterAt = 0;
        uint32_t m_dwLinks = 0;
        uint64_t m_qwSize = 0;
        std::vector<uint64_t> m_Lines;  // finished, in order, that the file holds
        std::vector<uint64_t> m_Ever;   // every line begun in it
        int64_t m_llPending = -1;       // a line begun and not finished
        std::vector<uint64_t> m_Truncations;
        std::array<std::vector<Sighting>, kGroups> m_Seen;
    };
    // A name: a file (one of its hard links) or a symbolic link to a name.
    struct Name {
        bool m_bLink = false;
        uint64_t m_qwFile = 0;
        std::string m_strTarget;
    };

    // The hole a writer without O_APPEND may leave by seeking past the end.
    static constexpr uint64_t kHoleAhead = uint64_t{1} << 30;
    bool m_bHolesTold = false;

    std::string Path(const std::string& strName) const { return m_Dir.File(strName); }
    File* Resolve(const std::string& strName, int nDepth = 0);
    uint64_t FileOf(const std::string& strName);
    void Trace(const std::string& strStep);
    bool Fail(const std::string& strWhy);
    template <typename T>
    const T& Pick(const std::vector<T>& items) {
        return items[std::uniform_int_distribution<size_t>(0, items.size() - 1)(m_Random)];
    }
    bool Chance(unsigned nPercent) { return std::uniform_int_distribution<unsigned>(0, 99)(m_Random) < nPercent; }
    std::vector<std::string> NamesIf(bool bTaken, bool bFilesOnly = false) const;
    std::vector<uint64_t> Writable() const;
    // A free name for a link, and a file's name for it to lead to.
    bool PickLink(std::string& strLink, std::string& strTarget);

    bool Start();
    void Write(uint64_t qwFile, int nLines);
    void WriteBytes(File& file, const std::string& strBytes, uint64_t qwFile);
    // A line of the kinds writers make: short, with NULs inside, or longer
    // than a piece used to be, its marker across a piece's end.
    std::string MakeLine(uint64_t qwLine, uint64_t qwFile);
    void BeginLine(uint64_t qwFile);
    void Rename(const std::string& strFrom, const std::string& strTo);
    void Unlink(const std::string& strName);
    uint64_t Create(const std::string& strName);
    void Truncate(uint64_t qwFile);
    void CutTo(uint64_t qwFile, uint64_t qwTo);
    // What writers and rotations do besides: lines of one width whose
    // number lies anywhere in them, runs of NULs written before a line,
    // cuts written over before the engine looks, and files written again
    // byte for byte.
    void WriteOther(uint64_t qwFile);
    void WriteFixed(uint64_t qwFile, int nLines, uint64_t qwWidth = 0);
    void WriteNulRun(uint64_t qwFile);
    void CutAndWriteOver(uint64_t qwFile);
    void WriteAgainAsItWas(uint64_t qwFile);
    // Where each group read the file to at the last pass, at most.
    uint64_t ReadTo(const File& file) const;
    // Where a file may be cut so that its readers can tell what it kept.
    std::vector<uint64_t> CutPlaces(uint64_t qwFile) const;
    // Whether the group sees the file at the pass just made.
    bool SeenAtLastPass(int nGroup, const File& file) const;
    void Rotate(char cBase);
    void Swap();
    bool Pass();
    // The groups look at their names (and scan those from nScanFrom to
    // before nScanEnd) at the clock now: every file a name leads to is seen.
    void Look(int nScanFrom, int nScanEnd);
    // Checks the records reported since the last look.
    bool TakeReports();
    bool Step();
    bool Check();

    // The steps added since the generator's first (the stop, the sensor's
    // own output) draw on a generator of their own, so that a seed's other
    // steps are what they were.
    bool ExtraChance(unsigned nPercent) {
        return std::uniform_int_distribution<unsigned>(0, 99)(m_ExtraRandom) < nPercent;
    }
    // The stop: every file the engine holds is let go.
    bool Stop();

    // The sensor's own alert file, as the host writes and names it, and
    // what operators and logrotate do to it.
    void StartOwnOutput();
    void StepOwnOutput();
    // The SIGHUP: the host opens its path anew and names the file before
    // it writes to it.
    void ReopenOwn();
    void WriteOwn(int nLines);
    void RenameOwn(const std::string& strFrom, const std::string& strTo);
    void CopyOwn(const std::string& strFrom, const std::string& strTo);

    std::mt19937_64 m_Random;
    uint64_t m_qwSeed;
    hwtest::ScratchDirectory m_Dir;
    FakeSensorCore m_Sensor;
    IPolicyContainer* m_pPolicy = nullptr;
    std::unique_ptr<CEngineTextLog> m_pEngine;
    std::map<std::string, Name> m_Names;
    std::vector<File> m_Files;  // 0 is none
    std::vector<Line> m_Lines;
    uint64_t m_qwClock = 1;
    uint32_t m_dwPass = 0;
    bool m_bStarted = false;
    // The names each group's scans matched: the last scan's, the one's before.
    std::array<std::set<std::string>, kGroups> m_LastScan;
    std::array<std::set<std::string>, kGroups> m_ScanBefore;
    std::array<std::set<uint64_t>, kGroups> m_History;
    // Lines a group's first scan met begun and not finished: owed once
    // finished, history while they are not (TextLogModel.h).
    std::array<std::set<uint64_t>, kGroups> m_BegunAtFirstScan;
    std::array<std::map<uint64_t, uint32_t>, kGroups> m_Reported;
    std::array<std::map<uint64_t, uint32_t>, kGroups> m_Markers;
    // Lines of one width: each file's width and where their numbers lie.
    std::map<uint64_t, std::pair<uint64_t, uint64_t>> m_FixedShapes;
    std::set<uint64_t> m_FixedLines;
    // Lines written again byte for byte where they were, and how often:
    // the engine may take them for those it read, or read them again, once
    // for each time (TextLogModel.h); and lines such a rewrite took, which
    // nothing may tell.
    std::map<uint64_t, uint32_t> m_WrittenAgain;
    std::set<uint64_t> m_TakenUnseen;
    uint64_t m_qwTruncationOps = 0;
    std::vector<uint64_t> m_PassClocks;
    std::deque<std::string> m_Trace;
    TextLogModel::Result m_Result;
    std::mt19937_64 m_ExtraRandom;
    // Whether, and how slowly, files are read again after cuts.
    std::mt19937_64 m_RereadRandom;
    // Whether a scan's groups are scanned a pass apart, as the slices of a
    // machine too busy to give them any time leave them; and the group the
    // scan under way takes next (-1: none under way).
    std::mt19937_64 m_SliceRandom;
    // Whether the stop comes short of descriptors.
    std::mt19937_64 m_StopRandom;
    TextLogModel::Scans m_Scans;
    bool m_bScanSpread = false;
    int m_nScanNext = -1;
    std::array<bool, kGroups> m_bScanned{};
    bool m_bStopped = false;
    int m_nOwnFd = -1;
    // Renamed away, the host still writing the file it has open.
    bool m_bReopenDue = false;
    // The names of the sensor's own files, and whether the file is a copy a
    // rotation made (known by its rotated names only).
    std::map<std::string, bool> m_OwnNames;
};

ModelRun::~ModelRun() {
    hwtest::EndEngine(m_pEngine);
    if (m_nOwnFd >= 0) {
        ::close(m_nOwnFd);
    }
    SensorOutputs::Instance().SetForTest({});
    for (File& file : m_Files) {
        if (file.m_nFd >= 0) {
            ::close(file.m_nFd);
        }
    }
    m_Sensor.DeleteRules();
    if (m_pPolicy != nullptr) {
        m_pPolicy->Release();
    }
    plat::SetConsoleSink(nullptr);
}

void ModelRun::Trace(const std::string& strStep) {
    m_Trace.push_back(std::to_string(m_Result.m_qwSteps) + " (" + std::to_string(m_qwClock) + "): " + strStep);
    if (m_Trace.size() > kTraceSteps) {
        m_Trace.pop_front();
    }
}

bool ModelRun::Fail(const std::string& strWhy) {
    if (m_Result.m_bPassed) {
        m_Result.m_bPassed = false;
        std::string strTrace;
        for (const std::string& strStep : m_Trace) {
            strTrace += "\n  " + strStep;
        }
        m_Result.m_strFailure = "seed " + std::to_string(m_qwSeed) + ": " + strWhy + "\nlast steps:" + strTrace;
    }
    return false;
}

ModelRun::File* ModelRun::Resolve(const std::string& strName, int nDepth) {
    auto it = m_Names.find(strName);
    if (it == m_Names.end() || nDepth > 8) {
        return nullptr;
    }
    return it->second.m_bLink ? Resolve(it->second.m_strTarget, nDepth + 1) : &m_Files[it->second.m_qwFile];
}

uint64_t ModelRun::FileOf(const std::string& strName) {
    File* pFile = Resolve(strName);
    return pFile == nullptr ? 0 : static_cast<uint64_t>(pFile - m_Files.data());
}

std::vector<std::string> ModelRun::NamesIf(bool bTaken, bool bFilesOnly) const {
    std::vector<std::string> names;
    for (const char* pszName : kPool) {
        auto it = m_Names.find(pszName);
        if ((it != m_Names.end()) == bTaken && (!bFilesOnly || (bTaken && !it->second.m_bLink))) {
            names.push_back(pszName);
        }
    }
    return names;
}

std::vector<uint64_t> ModelRun::Writable() const {
    std::vector<uint64_t> files;
    for (size_t n = 1; n < m_Files.size(); ++n) {
        if (m_Files[n].m_nFd >= 0) {
            files.push_back(n);
        }
    }
    return files;
}

std::string ModelRun::MakeLine(uint64_t qwLine, uint64_t qwFile) {
    const std::string strHead = "L" + std::to_string(qwLine) + " ";
    const unsigned nKind = std::uniform_int_distribution<unsigned>(0, 99)(m_Random);
    if (nKind < 8) {
        // NULs within the line: its writer's bytes like any other.
        return strHead + std::string("a\0b\0\0", 5) + " line of file " + std::to_string(qwFile);
    }
    if (nKind >= 12) {
        return strHead + "line of file " + std::to_string(qwFile);
    }
    // Longer than a piece used to be (or than a line is matched whole, now
    // and then), with a marker across the end of a piece or of the buffer.
    m_Lines[qwLine].m_bMarker = true;
    ++m_Result.m_qwMarkerLines;
    const std::string strMarker = "MARK" + std::to_string(qwLine) + "END";
    const size_t nAcross = nKind == 11 ? kBufferEnd : kOldPiece;
    const size_t nBefore =
        nAcross - std::uniform_int_distribution<size_t>(0, strMarker.size())(m_Random) - strHead.size();
    const size_t nAfter = nKind == 10 ? CTextLogListener::kLineMax : std::uniform_int_distribution<size_t>(0, 3000)(m_Random);
    return strHead + std::string(nBefore, 'x') + strMarker + std::string(nAfter, 'y');
}

void ModelRun::WriteBytes(File& file, const std::string& strBytes, uint64_t qwFile) {
    if (::write(file.m_nFd, strBytes.data(), strBytes.size()) != static_cast<ssize_t>(strBytes.size())) {
        Fail("cannot write to file " + std::to_string(qwFile));
        return;
    }
    const uint64_t qwAt = file.m_bAppend ? file.m_qwSize : file.m_qwWriterAt;
    file.m_qwWriterAt = qwAt + strBytes.size();
    file.m_qwSize = std::max(file.m_qwSize, file.m_qwWriterAt);
}

void ModelRun::Write(uint64_t qwFile, int nLines) {
    File& file = m_Files[qwFile];
    std::string strBytes;
    if (!file.m_bAppend && file.m_llPending < 0 && m_bHolesTold && Chance(4)) {
        // A writer that seeks far past the end first leaves a hole, which
        // read as NULs would hold the lines after it back for minutes.
        file.m_qwWriterAt = std::max(file.m_qwWriterAt, file.m_qwSize) + kHoleAhead;
        if (::lseek(file.m_nFd, static_cast<off_t>(file.m_qwWriterAt), SEEK_SET) < 0) {
            Fail("cannot seek in file " + std::to_string(qwFile));
            return;
        }
        ++m_Result.m_qwHolesAhead;
        Trace("hole of " + std::to_string(kHoleAhead) + " bytes in file " + std::to_string(qwFile));
    }
    uint64_t qwAt = file.m_bAppend ? file.m_qwSize : file.m_qwWriterAt;
    if (file.m_llPending >= 0) {
        // The rest of the line begun before.
        strBytes += "tial\n";
        Line& line = m_Lines[static_cast<size_t>(file.m_llPending)];
        line.m_qwClock = m_qwClock;
        line.m_qwEnd = qwAt + strBytes.size();
        file.m_Lines.push_back(static_cast<uint64_t>(file.m_llPending));
        file.m_llPending = -1;
    }
    for (int n = 0; n < nLines; ++n) {
        const uint64_t qwLine = m_Lines.size();
        m_Lines.push_back({qwFile, m_qwClock, m_qwClock});
        strBytes += MakeLine(qwLine, qwFile) + "\n";
        m_Lines[qwLine].m_qwEnd = qwAt + strBytes.size();
        file.m_Lines.push_back(qwLine);
        file.m_Ever.push_back(qwLine);
    }
    WriteBytes(file, strBytes, qwFile);
    Trace("write " + std::to_string(nLines) + " lines to file " + std::to_string(qwFile) + " (" +
          std::to_string(strBytes.size()) + " bytes)");
}

void ModelRun::BeginLine(uint64_t qwFile) {
    File& file = m_Files[qwFile];
    const uint64_t qwLine = m_Lines.size();
    m_Lines.push_back({qwFile, 0, m_qwClock});
    file.m_llPending = static_cast<int64_t>(qwLine);
    file.m_Ever.push_back(qwLine);
    const std::string strBytes = "L" + std::to_string(qwLine) + " par";
    WriteBytes(file, strBytes, qwFile);
    m_Lines[qwLine].m_qwEnd = file.m_qwWriterAt;
    Trace("begin line L" + std::to_string(qwLine) + " in file " + std::to_string(qwFile));
}

uint64_t ModelRun::Create(const std::string& strName) {
    if (Writable().size() >= kMaxWriters) {
        // Writers of files no name leads to let go first.
        for (File& file : m_Files) {
            if (file.m_nFd >= 0 && file.m_dwLinks == 0) {
                ::close(file.m_nFd);
                file.m_nFd = -1;
            }
        }
        if (Writable().size() >= kMaxWriters) {
            return 0;
        }
    }
    // A writer that opened its log without O_APPEND goes on at its own
    // offset after a cut.
    const bool bAppend = m_bStarted ? Chance(75) : true;
    const int nFd = ::open(Path(strName).c_str(), O_WRONLY | (bAppend ? O_APPEND : 0) | O_CREAT | O_EXCL | O_CLOEXEC,
                           0644);
    if (nFd < 0) {
        Fail("cannot make " + strName);
        return 0;
    }
    File file;
    file.m_nFd = nFd;
    file.m_bAppend = bAppend;
    file.m_dwLinks = 1;
    m_Files.push_back(std::move(file));
    const uint64_t qwFile = m_Files.size() - 1;
    m_Names[strName] = Name{false, qwFile, std::string()};
    Trace("make " + strName + " (file " + std::to_string(qwFile) + (bAppend ? ")" : ", written without O_APPEND)"));
    return qwFile;
}

void ModelRun::Unlink(const std::string& strName) {
    auto it = m_Names.find(strName);
    if (it == m_Names.end()) {
        return;
    }
    if (::unlink(Path(strName).c_str()) != 0) {
        Fail("cannot remove " + strName);
        return;
    }
    if (!it->second.m_bLink) {
        --m_Files[it->second.m_qwFile].m_dwLinks;
    }
    m_Names.erase(it);
    Trace("remove " + strName);
}

void ModelRun::Rename(const std::string& strFrom, const std::string& strTo) {
    auto from = m_Names.find(strFrom);
    if (from == m_Names.end() || strFrom == strTo) {
        return;
    }
    auto to = m_Names.find(strTo);
    if (::rename(Path(strFrom).c_str(), Path(strTo).c_str()) != 0) {
        Fail("cannot rename " + strFrom + " to " + strTo);
        return;
    }
    Trace("rename " + strFrom + " to " + strTo);
    // Two hard links of one file: rename does nothing.
    if (to != m_Names.end() && !to->second.m_bLink && !from->second.m_bLink &&
        to->second.m_qwFile == from->second.m_qwFile) {
        return;
    }
    if (to != m_Names.end() && !to->second.m_bLink) {
        --m_Files[to->second.m_qwFile].m_dwLinks;
    }
    const Name name = from->second;
    m_Names.erase(from);
    m_Names[strTo] = name;
}

bool ModelRun::SeenAtLastPass(int nGroup, const File& file) const {
    return !m_PassClocks.empty() && !file.m_Seen[nGroup].empty() &&
           file.m_Seen[nGroup].back().m_qwClock == m_PassClocks.back();
}

std::vector<uint64_t> ModelRun::CutPlaces(uint64_t qwFile) const {
    // A cut to a non-zero size is one its readers can tell: below where
    // each group that ever saw the file read it to at the last pass (so the
    // cut shows), at the end of one of the file's first lines or within the
    // last bytes read, in a file no group holds history of.
    const File& file = m_Files[qwFile];
    uint64_t qwBelow = UINT64_MAX;
    uint64_t qwReadTo = 0;
    for (int nGroup = 0; nGroup < kGroups; ++nGroup) {
        if (file.m_Seen[nGroup].empty()) {
            continue;
        }
        if (!SeenAtLastPass(nGroup, file)) {
            return {};
        }
        qwBelow = std::min(qwBelow, file.m_Seen[nGroup].back().m_qwSize);
        qwReadTo = std::max(qwReadTo, file.m_Seen[nGroup].back().m_qwSize);
        for (uint64_t qwLine : file.m_Ever) {
            if (m_History[nGroup].count(qwLine) != 0) {
                return {};
            }
        }
    }
    std::vector<uint64_t> places;
    for (size_t n = 0; n < file.m_Lines.size(); ++n) {
        const uint64_t qwEnd = m_Lines[file.m_Lines[n]].m_qwEnd;
        if (qwEnd < qwBelow && qwEnd <= file.m_qwSize &&
            ((n < kHeadLinesKnown && qwEnd <= kHeadBytesKnown) || qwBelow == UINT64_MAX ||
             qwEnd + kTailKnown >= qwReadTo)) {
            places.push_back(qwEnd);
        }
    }
    return places;
}

void ModelRun::Truncate(uint64_t qwFile) {
    const std::vector<uint64_t> places = Chance(40) ? CutPlaces(qwFile) : std::vector<uint64_t>();
    CutTo(qwFile, places.empty() ? 0 : Pick(places));
}

void ModelRun::CutTo(uint64_t qwFile, uint64_t qwTo) {
    File& file = m_Files[qwFile];
    if (::ftruncate(file.m_nFd, static_cast<off_t>(qwTo)) != 0) {
        Fail("cannot truncate file " + std::to_string(qwFile));
        return;
    }
    file.m_qwSize = qwTo;
    // What lay past the cut is gone; a line begun is never finished: its
    // start is gone.
    std::vector<uint64_t> kept;
    for (uint64_t qwLine : file.m_Lines) {
        if (m_Lines[qwLine].m_qwEnd <= qwTo) {
            kept.push_back(qwLine);
        } else {
            m_Lines[qwLine].m_qwTakenAt = m_qwClock;
        }
    }
    file.m_Lines = std::move(kept);
    if (file.m_llPending >= 0) {
        m_Lines[static_cast<size_t>(file.m_llPending)].m_qwTakenAt = m_qwClock;
        file.m_llPending = -1;
    }
    file.m_Truncations.push_back(m_qwClock);
    ++m_qwTruncationOps;
    m_Result.m_qwCutsToASize += qwTo != 0 ? 1 : 0;
    m_Result.m_qwCutsUnderOffsetWriters += file.m_bAppend ? 0 : 1;
    Trace("truncate file " + std::to_string(qwFile) + " to " + std::to_string(qwTo) + " bytes");
}

uint64_t ModelRun::ReadTo(const File& file) const {
    uint64_t qwReadTo = 0;
    for (int nGroup = 0; nGroup < kGroups; ++nGroup) {
        if (SeenAtLastPass(nGroup, file)) {
            qwReadTo = std::max(qwReadTo, file.m_Seen[nGroup].back().m_qwSize);
        }
    }
    return qwReadTo;
}

void ModelRun::WriteOther(uint64_t qwFile) {
    const File& file = m_Files[qwFile];
    const unsigned nKind = std::uniform_int_distribution<unsigned>(0, 99)(m_Random);
    if (file.m_llPending >= 0) {
        Write(qwFile, 1);
    } else if (nKind < 50) {
        WriteFixed(qwFile, std::uniform_int_distribution<int>(1, 12)(m_Random));
    } else if (nKind < 62) {
        WriteNulRun(qwFile);
    } else if (m_pEngine->HasBacklog() || !file.m_bAppend) {
        // A cut while the engine's last pass left lines to read takes lines
        // no reader could know of; a writer without O_APPEND writes after
        // the hole a cut leaves, as other steps make it.
        Trace("no cut: the engine's last pass left lines to read, or the writer writes at its own offset");
    } else if (nKind < 84) {
        CutAndWriteOver(qwFile);
    } else {
        WriteAgainAsItWas(qwFile);
    }
}

void ModelRun::WriteFixed(uint64_t qwFile, int nLines, uint64_t qwWidth) {
    // Each file's lines are of one width (some 40 to 300 bytes), their
    // number at their first byte, in their middle or right before their
    // line end, the rest the same in every line.
    auto shape = m_FixedShapes.find(qwFile);
    if (shape == m_FixedShapes.end()) {
        const uint64_t qwShapeWidth = std::uniform_int_distribution<uint64_t>(40, 300)(m_Random);
        const unsigned nWhere = std::uniform_int_distribution<unsigned>(0, 2)(m_Random);
        const uint64_t qwAt = nWhere == 0 ? 0 : nWhere == 1 ? qwShapeWidth / 2 : qwShapeWidth - 13;
        shape = m_FixedShapes.emplace(qwFile, std::make_pair(qwShapeWidth, qwAt)).first;
    }
    File& file = m_Files[qwFile];
    const uint64_t qwAt0 = file.m_bAppend ? file.m_qwSize : file.m_qwWriterAt;
    std::string strBytes;
    for (int n = 0; n < nLines; ++n) {
        const uint64_t qwLine = m_Lines.size();
        m_Lines.push_back({qwFile, m_qwClock, m_qwClock});
        const uint64_t qwWidth0 = n + 1 == nLines && qwWidth != 0 ? qwWidth : shape->second.first;
        std::string strLine(qwWidth0 - 1, 'x');
        char szNumber[16];
        std::snprintf(szNumber, sizeof szNumber, "F%09lluZ", static_cast<unsigned long long>(qwLine));
        strLine.replace(std::min(shape->second.second, qwWidth0 - 12), 11, szNumber);
        strBytes += strLine + "\n";
        m_Lines[qwLine].m_qwEnd = qwAt0 + strBytes.size();
        file.m_Lines.push_back(qwLine);
        file.m_Ever.push_back(qwLine);
        m_FixedLines.insert(qwLine);
        ++m_Result.m_qwFixedLines;
    }
    WriteBytes(file, strBytes, qwFile);
    Trace("write " + std::to_string(nLines) + " lines of " + std::to_string(shape->second.first) +
          " bytes, numbered at byte " + std::to_string(shape->second.second) + ", to file " + std::to_string(qwFile));
}

void ModelRun::WriteNulRun(uint64_t qwFile) {
    // NULs written as data, not a hole: no part of the line after them.
    File& file = m_Files[qwFile];
    const auto qwRun = std::uniform_int_distribution<uint64_t>(1, 3 << 20)(m_Random);
    WriteBytes(file, std::string(qwRun, '\0'), qwFile);
    ++m_Result.m_qwNulRuns;
    Trace("write " + std::to_string(qwRun) + " NULs to file " + std::to_string(qwFile));
    WriteFixed(qwFile, 1);
}

void ModelRun::CutAndWriteOver(uint64_t qwFile) {
    // Copied away and truncated, and written again before the engine looks:
    // to fewer bytes than a group read, as many, or more.
    File& file = m_Files[qwFile];
    const uint64_t qwReadTo = ReadTo(file);
    const unsigned nSize = std::uniform_int_distribution<unsigned>(0, 2)(m_Random);
    const uint64_t qwTarget = nSize == 0 ? qwReadTo / 2 : nSize == 1 ? qwReadTo : qwReadTo + 500;
    CutTo(qwFile, 0);
    if (qwTarget < 13) {
        WriteFixed(qwFile, 2);
        ++m_Result.m_qwCutsWrittenOver;
        return;
    }
    if (m_FixedShapes.count(qwFile) == 0) {
        WriteFixed(qwFile, 0);
    }
    const uint64_t qwWidth = m_FixedShapes[qwFile].first;
    // Whole lines of the file's width, and one of what is left (one line
    // longer than the others when what is left is too short for a line).
    uint64_t qwLines = qwTarget / qwWidth;
    uint64_t qwLast = qwTarget % qwWidth;
    if (qwLast != 0 && qwLast < 13) {
        if (qwLines > 0) {
            --qwLines;
            qwLast += qwWidth;
        } else {
            qwLast = 13;
        }
    }
    if (qwLines > 0) {
        WriteFixed(qwFile, static_cast<int>(qwLines));
    }
    if (qwLast >= 13) {
        WriteFixed(qwFile, 1, qwLast);
    }
    ++m_Result.m_qwCutsWrittenOver;
    Trace("file " + std::to_string(qwFile) + " written over to " + std::to_string(file.m_qwSize) + " bytes, " +
          std::to_string(qwReadTo) + " read");
}

void ModelRun::WriteAgainAsItWas(uint64_t qwFile) {
    // Cut and written again byte for byte, up to one of its line ends, and
    // written on, before the engine looks: what a file a writer rewrites
    // from what it holds looks like.  A file of which a group holds
    // history is left alone: lines taken for new would be history again.
    File& file = m_Files[qwFile];
    for (int nGroup = 0; nGroup < kGroups; ++nGroup) {
        for (uint64_t qwLine : file.m_Ever) {
            if (m_History[nGroup].count(qwLine) != 0) {
                return;
            }
        }
    }
    const std::vector<uint64_t> lines = file.m_Lines;
    if (lines.empty()) {
        return;
    }
    const size_t nKeep = std::uniform_int_distribution<size_t>(1, lines.size())(m_Random);
    const uint64_t qwTo = m_Lines[lines[nKeep - 1]].m_qwEnd;
    // Its writer holds it open for writing only: read through another
    // descriptor of the same file.
    std::string strBytes(qwTo, '\0');
    const int nFd = ::open(("/proc/self/fd/" + std::to_string(file.m_nFd)).c_str(), O_RDONLY | O_CLOEXEC);
    const bool bRead = nFd >= 0 && ::pread(nFd, strBytes.data(), qwTo, 0) == static_cast<ssize_t>(qwTo);
    if (nFd >= 0) {
        ::close(nFd);
    }
    if (!bRead) {
        Fail("cannot read file " + std::to_string(qwFile));
        return;
    }
    CutTo(qwFile, 0);
    for (size_t n = 0; n < nKeep; ++n) {
        m_Lines[lines[n]].m_qwTakenAt = 0;
        ++m_WrittenAgain[lines[n]];
    }
    for (size_t n = nKeep; n < lines.size(); ++n) {
        m_TakenUnseen.insert(lines[n]);
    }
    file.m_Lines.assign(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(nKeep));
    WriteBytes(file, strBytes, qwFile);
    ++m_Result.m_qwWrittenAgain;
    Trace("file " + std::to_string(qwFile) + " written again as it was up to byte " + std::to_string(qwTo));
    if (Chance(50)) {
        WriteFixed(qwFile, std::uniform_int_distribution<int>(1, 5)(m_Random));
    }
}

void ModelRun::Rotate(char cBase) {
    const std::string strBase(1, cBase);
    if (cBase == 'a') {
        Rename("a.1.log", "a.2.log");
    }
    Rename(strBase + ".log", strBase + ".1.log");
    if (m_Names.count(strBase + ".log") == 0) {
        Create(strBase + ".log");
    }
}

void ModelRun::Swap() {
    if (m_Names.count("a.log") == 0 || m_Names.count("b.log") == 0 || m_Names.count("swap.tmp") != 0) {
        return;
    }
    Rename("a.log", "swap.tmp");
    Rename("b.log", "a.log");
    Rename("swap.tmp", "b.log");
}

bool ModelRun::Start() {
    m_Files.emplace_back();
    {
        // Holes are made only where the file system tells where they are.
        const int nFd = ::open(Path("holes").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        m_bHolesTold = nFd >= 0 && ::ftruncate(nFd, kHoleAhead) == 0 && ::lseek(nFd, 0, SEEK_DATA) < 0 &&
                       errno == ENXIO;
        if (nFd >= 0) {
            ::close(nFd);
        }
        ::unlink(Path("holes").c_str());
    }
    plat::SetConsoleSink([](std::string_view) {});
    if (::mkdir(Path("away").c_str(), 0755) != 0) {
        return Fail("cannot make the folder away");
    }
    m_pPolicy = CreatePluginPolicyContainer();
    const bool bAll = false;
    const bool bEnabled = true;
    for (int nGroup = 0; nGroup < kGroups; ++nGroup) {
        const std::string strKey = std::string("\\Advanced\\Logs\\") + kGroupNames[nGroup];
        const std::string strPath = m_Dir.Path() + (nGroup == 0 ? "/*.log" : "/a*");
        m_pPolicy->SetText(strKey.c_str(), "Path", strPath.c_str());
        m_pPolicy->SetBool(strKey.c_str(), "NewestOnly", &bAll);
    }
    // Each line reported by its number; a marker anywhere in a line,
    // whatever its length, by its own.
    for (const auto& [pszRule, pszPattern, pszPair, pszTemplate] :
         {std::tuple{"Lines", "^L[0-9]+ ", "Id", "@Field0"}, std::tuple{"Marker", "MARK[0-9]+END", "Mark", "MARK{!}END"},
          std::tuple{"Fixed", "F[0-9]+Z", "Fid", "F{!}Z"}}) {
        const std::string strRule = std::string("\\Advanced\\Rules\\SysLog Rules\\") + pszRule;
        m_pPolicy->SetBool(strRule.c_str(), "Enabled", &bEnabled);
        m_pPolicy->SetText(strRule.c_str(), "Log Type", "TextLog");
        m_pPolicy->SetText(strRule.c_str(), "Logs", "All,Ayes");
        m_pPolicy->SetText(strRule.c_str(), "Regular Expression", pszPattern);
        m_pPolicy->SetText((strRule + "\\Info").c_str(), "Group", "@Group");
        m_pPolicy->SetText((strRule + "\\Info").c_str(), pszPair, pszTemplate);
    }
    m_Sensor.m_pPolicy = m_pPolicy;
    // History: what files hold before the start.
    for (const char* pszName : {"a.log", "b.log", "a.txt", "away/x.log"}) {
        const uint64_t qwFile = Create(pszName);
        Write(qwFile, 2);
    }
    StartOwnOutput();
    m_pEngine = std::make_unique<CEngineTextLog>();
    // The stop reads all there is, however slow the build and busy the
    // machine: what is checked here is which lines are read, not how fast
    // (the stop's time is held by the engine's own tests).
    m_pEngine->SetStopReading(std::chrono::minutes(5));
    // Nor does a seed's run depend on the clock: a pass reads all it has
    // (or one round of turns, below), and a scan takes either the whole
    // pass it comes in or one group a pass, never what a slice of the
    // clock allows.
    m_pEngine->SetPassReading(std::chrono::minutes(5));
    m_bScanSpread = std::uniform_int_distribution<unsigned>(0, 1)(m_SliceRandom) == 1 ||
                    m_Scans == TextLogModel::Scans::kOneGroupAPass;
    m_pEngine->SetScanSlice(m_bScanSpread ? std::chrono::milliseconds(0) : std::chrono::minutes(5));
    m_Result.m_bScansOverPasses = m_bScanSpread;
    if (m_bScanSpread) {
        Trace("a scan takes one group a pass");
    }
    if (std::uniform_int_distribution<unsigned>(0, 1)(m_RereadRandom) == 1) {
        const auto llShare = std::uniform_int_distribution<int64_t>(1024, 16384)(m_RereadRandom);
        m_pEngine->SetRereadShare(llShare);
        m_pEngine->SetPassReading(std::chrono::milliseconds(0));
        m_Result.m_bRereadsOverPasses = true;
        Trace("files cut are read again " + std::to_string(llShare) + " bytes a turn, a round a pass");
    }
    if (m_pEngine->Oninit(0) != 0 || m_pEngine->GetBindingCount() != 6) {
        return Fail("the engine did not take the policy");
    }
    ++m_qwClock;
    return Pass();
}

bool ModelRun::Pass() {
    // A scan begins at every fifth pass unless one is under way, and takes
    // its groups in order of their names.
    if (m_nScanNext < 0 && m_dwPass % CEngineTextLog::kScanInterval == 0) {
        m_nScanNext = 0;
    }
    const int nScanEnd = m_nScanNext < 0 ? 0 : m_bScanSpread ? m_nScanNext + 1 : kGroups;
    Look(m_nScanNext < 0 ? kGroups : m_nScanNext, nScanEnd);
    Trace("pass " + std::to_string(m_dwPass));
    if (!m_pEngine->RunPass(m_dwPass++, 0)) {
        return Fail("a pass was cut short");
    }
    m_nScanNext = m_nScanNext >= 0 && nScanEnd < kGroups ? nScanEnd : -1;
    if (m_pEngine->IsScanning() != (m_nScanNext >= 0)) {
        return Fail("the engine's scan went on otherwise than the model's");
    }
    for (const char* pszName : kPool) {
        const CTextLogListener* pReader = m_pEngine->FindListener(Path(pszName));
        if (pReader != nullptr && pReader->IsRereading()) {
            ++m_Result.m_qwPassesMidReread;
            break;
        }
    }
    m_bStarted = true;
    ++m_Result.m_qwPasses;
    ++m_qwClock;
    return TakeReports();
}

void ModelRun::Look(int nScanFrom, int nScanEnd) {
    m_PassClocks.push_back(m_qwClock);
    for (int nGroup = 0; nGroup < kGroups; ++nGroup) {
        const bool bScan = nGroup >= nScanFrom && nGroup < nScanEnd;
        // What the files a group's first scan meets hold then is history.
        const bool bFirstScan = bScan && !m_bScanned[nGroup];
        if (bScan) {
            m_bScanned[nGroup] = true;
            std::set<std::string> matched;
            for (const auto& [strName, name] : m_Names) {
                if (Matches(nGroup, strName) && Resolve(strName) != nullptr) {
                    matched.insert(strName);
                }
            }
            m_ScanBefore[nGroup] = std::move(m_LastScan[nGroup]);
            m_LastScan[nGroup] = std::move(matched);
        }
        std::set<std::string> looked = m_LastScan[nGroup];
        looked.insert(m_ScanBefore[nGroup].begin(), m_ScanBefore[nGroup].end());
        std::set<uint64_t> seen;
        for (const std::string& strName : looked) {
            const uint64_t qwFile = FileOf(strName);
            if (qwFile != 0 && seen.insert(qwFile).second) {
                File& file = m_Files[qwFile];
                file.m_Seen[nGroup].push_back({m_qwClock, file.m_qwSize});
                if (bFirstScan) {
                    m_History[nGroup].insert(file.m_Lines.begin(), file.m_Lines.end());
                    if (file.m_llPending >= 0) {
                        m_BegunAtFirstScan[nGroup].insert(static_cast<uint64_t>(file.m_llPending));
                    }
                }
            }
        }
    }
}

bool ModelRun::TakeReports() {
    for (const auto& pRecord : m_Sensor.TakeReported()) {
        std::string strGroup;
        std::string strId;
        pRecord->GetInfoPairValue("Group", strGroup);
        const bool bMarker = pRecord->GetRuleName() == "Marker";
        const bool bFixed = pRecord->GetRuleName() == "Fixed";
        pRecord->GetInfoPairValue(bMarker ? "Mark" : bFixed ? "Fid" : "Id", strId);
        if (!bMarker && !bFixed) {
            strId = strId.size() > 1 && strId[0] == 'L' ? strId.substr(1) : std::string();
        }
        const int nGroup = strGroup == kGroupNames[0] ? 0 : strGroup == kGroupNames[1] ? 1 : -1;
        const uint64_t qwLine = !strId.empty() && strId.find_first_not_of("0123456789") == std::string::npos
                                    ? std::stoull(strId)
                                    : UINT64_MAX;
        if (!bMarker && qwLine != UINT64_MAX && qwLine >= kOwnLineBase) {
            return Fail("L" + strId + ", a line of the sensor's own alert file, reported in group " + strGroup);
        }
        if (nGroup < 0 || qwLine >= m_Lines.size() || (bMarker && !m_Lines[qwLine].m_bMarker) ||
            bFixed != (m_FixedLines.count(qwLine) != 0)) {
            return Fail("reported what was never written: group " + strGroup + ", " + pRecord->GetRuleName() + " " +
                        strId);
        }
        const Line& line = m_Lines[qwLine];
        // A line still unfinished is handed out only by a file let go, and
        // never when the group's first scan met it so: history.
        if (line.m_qwClock == 0 && m_BegunAtFirstScan[nGroup].count(qwLine) != 0) {
            return Fail("unfinished L" + std::to_string(qwLine) + " of file " + std::to_string(line.m_qwFile) +
                        ", history, reported in group " + strGroup);
        }
        if (line.m_qwClock == 0 && !m_bStopped && SeenAtLastPass(nGroup, m_Files[line.m_qwFile])) {
            return Fail("unfinished L" + std::to_string(qwLine) + " of file " + std::to_string(line.m_qwFile) +
                        " reported in group " + strGroup + " while its file is followed");
        }
        // A line written again as it was may be read again.
        const auto again = m_WrittenAgain.find(qwLine);
        if (++(bMarker ? m_Markers : m_Reported)[nGroup][qwLine] > 1 + (again != m_WrittenAgain.end() ? again->second : 0)) {
            return Fail("L" + std::to_string(qwLine) + " of file " + std::to_string(line.m_qwFile) + " reported twice in group " +
                        strGroup + (bMarker ? " by its marker" : ""));
        }
        if (m_History[nGroup].count(qwLine) != 0) {
            return Fail("L" + std::to_string(qwLine) + ", history, reported in group " + strGroup);
        }
        ++m_Result.m_qwReports;
    }
    return m_Result.m_bPassed;
}

bool ModelRun::PickLink(std::string& strLink, std::string& strTarget) {
    const std::vector<std::string> freeNames = NamesIf(false);
    const std::vector<std::string> files = NamesIf(true, true);
    if (freeNames.empty() || files.empty()) {
        return false;
    }
    strLink = Pick(freeNames);
    strTarget = Pick(files);
    return true;
}

bool ModelRun::Step() {
    ++m_Result.m_qwSteps;
    StepOwnOutput();
    const unsigned nKind = std::uniform_int_distribution<unsigned>(0, 99)(m_Random);
    const std::vector<uint64_t> writable = Writable();
    if (nKind < 30) {
        if (!writable.empty() && nKind < 8) {
            WriteOther(Pick(writable));
        } else if (!writable.empty()) {
            Write(Pick(writable), static_cast<int>(std::uniform_int_distribution<int>(1, 3)(m_Random)));
        }
    } else if (nKind < 34) {
        std::vector<uint64_t> unbegun;
        for (uint64_t qwFile : writable) {
            if (m_Files[qwFile].m_llPending < 0) {
                unbegun.push_back(qwFile);
            }
        }
        if (!unbegun.empty()) {
            BeginLine(Pick(unbegun));
        }
    } else if (nKind < 42) {
        const std::vector<std::string> taken = NamesIf(true);
        if (!taken.empty()) {
            // Onto a free name, or over a taken one.
            Rename(Pick(taken), Chance(60) ? std::string(kPool[std::uniform_int_distribution<size_t>(
                                                 0, kPool.size() - 1)(m_Random)])
                                           : Pick(taken));
        }
    } else if (nKind < 48) {
        Rotate(Chance(70) ? 'a' : 'b');
    } else if (nKind < 50) {
        Swap();
    } else if (nKind < 53) {
        std::string strLink;
        std::string strTarget;
        if (PickLink(strLink, strTarget)) {
            if (::symlink(Path(strTarget).c_str(), Path(strLink).c_str()) != 0) {
                return Fail("cannot link " + strLink);
            }
            m_Names[strLink] = Name{true, 0, strTarget};
            Trace("symbolic link " + strLink + " -> " + strTarget);
        }
    } else if (nKind < 56) {
        std::string strLink;
        std::string strTarget;
        if (PickLink(strLink, strTarget)) {
            if (::link(Path(strTarget).c_str(), Path(strLink).c_str()) != 0) {
                return Fail("cannot link " + strLink);
            }
            const uint64_t qwFile = m_Names[strTarget].m_qwFile;
            ++m_Files[qwFile].m_dwLinks;
            m_Names[strLink] = Name{false, qwFile, std::string()};
            Trace("hard link " + strLink + " = " + strTarget);
        }
    } else if (nKind < 59) {
        // A pass that read one round of turns may leave lines it saw
        // unread: what a cut takes of them no reader can know.
        if (m_pEngine->HasBacklog()) {
            Trace("no cut: the engine's last pass left lines to read");
        } else if (!writable.empty()) {
            Truncate(Pick(writable));
        }
    } else if (nKind < 64) {
        const std::vector<std::string> taken = NamesIf(true);
        if (!taken.empty()) {
            Unlink(Pick(taken));
        }
    } else if (nKind < 68) {
        const std::vector<std::string> freeNames = NamesIf(false);
        if (!freeNames.empty()) {
            const uint64_t qwFile = Create(Pick(freeNames));
            if (qwFile != 0 && Chance(50)) {
                Write(qwFile, 1);
            }
        }
    } else if (nKind < 70) {
        for (File& file : m_Files) {
            if (file.m_nFd >= 0 && file.m_dwLinks == 0 && Chance(50)) {
                ::close(file.m_nFd);
                file.m_nFd = -1;
            }
        }
        Trace("writers of removed files let go");
    } else if (nKind < 98) {
        return Pass();
    } else if (nKind < 99) {
        // Paused and resumed: the thread's next run counts from 0.
        Trace("pause");
        m_dwPass = 0;
        return Pass();
    } else {
        Trace("reload");
        if (m_pEngine->OnReloadPolicy(0) != 0) {
            return Fail("the reload failed");
        }
        // The groups read again: a scan under way is given up.
        m_nScanNext = -1;
        m_dwPass = 0;
        return Pass();
    }
    ++m_qwClock;
    return m_Result.m_bPassed;
}

bool ModelRun::Check() {
    uint64_t qwLossesOwed = 0;
    for (int nGroup = 0; nGroup < kGroups; ++nGroup) {
        for (size_t qwFile = 1; qwFile < m_Files.size(); ++qwFile) {
            const File& file = m_Files[qwFile];
            const std::vector<Sighting>& seen = file.m_Seen[nGroup];
            // The first sighting after `qwAt`.
            const auto After = [&](uint64_t qwAt) {
                return std::upper_bound(seen.begin(), seen.end(), qwAt,
                                        [](uint64_t qwClock, const Sighting& s) { return qwClock < s.m_qwClock; });
            };
            for (uint64_t qwLine : file.m_Ever) {
                const Line& line = m_Lines[qwLine];
                if (m_History[nGroup].count(qwLine) != 0) {
                    continue;
                }
                // An unfinished line is owed once its file, seen since it
                // was begun, is let go: no name of the group leads to it at
                // the end.
                const bool bUnfinished = line.m_qwClock == 0;
                const bool bBegunAtFirstScan = m_BegunAtFirstScan[nGroup].count(qwLine) != 0;
                if (bUnfinished && (bBegunAtFirstScan || line.m_qwTakenAt != 0 ||
                                    (!m_bStopped && SeenAtLastPass(nGroup, file)))) {
                    continue;
                }
                auto next = After(bUnfinished ? line.m_qwBegun : line.m_qwClock);
                if (next == seen.end() || (line.m_qwTakenAt != 0 && line.m_qwTakenAt < next->m_qwClock)) {
                    continue;
                }
                ++m_Result.m_qwOwed;
                m_Result.m_qwUnfinishedOwed += bUnfinished ? 1 : 0;
                m_Result.m_qwBegunAtFirstScanOwed += bBegunAtFirstScan ? 1 : 0;
                m_Result.m_qwUnfinishedAtStop += bUnfinished && SeenAtLastPass(nGroup, file) ? 1 : 0;
                if (m_Reported[nGroup].count(qwLine) == 0) {
                    return Fail(std::string(bUnfinished ? "unfinished " : "") + "L" + std::to_string(qwLine) +
                                " of file " + std::to_string(qwFile) + ", written at " +
                                std::to_string(bUnfinished ? line.m_qwBegun : line.m_qwClock) + " and seen by group " +
                                kGroupNames[nGroup] + " at " + std::to_string(next->m_qwClock) + ", was never reported");
                }
                if (line.m_bMarker && m_Markers[nGroup].count(qwLine) == 0) {
                    return Fail("the marker of L" + std::to_string(qwLine) + " of file " + std::to_string(qwFile) +
                                " was never reported in group " + kGroupNames[nGroup]);
                }
            }
            // Truncations before the next pass that took lines the group
            // had not read, of a file it had read up to its last pass.
            for (const Sighting& sighting : seen) {
                const uint64_t qwFrom = sighting.m_qwClock;
                const auto nextPass = std::upper_bound(m_PassClocks.begin(), m_PassClocks.end(), qwFrom);
                const uint64_t qwTo = nextPass == m_PassClocks.end() ? UINT64_MAX : *nextPass;
                const bool bTook = sighting.m_qwSize > 0 &&
                                   std::any_of(file.m_Ever.begin(), file.m_Ever.end(), [&](uint64_t qwLine) {
                                       const Line& line = m_Lines[qwLine];
                                       return line.m_qwClock > qwFrom && line.m_qwTakenAt > qwFrom &&
                                              line.m_qwTakenAt < qwTo && m_Reported[nGroup].count(qwLine) == 0 &&
                                              m_TakenUnseen.count(qwLine) == 0;
                                   });
                qwLossesOwed += bTook ? 1 : 0;
            }
        }
    }
    const TextLogLosses& losses = m_pEngine->GetLosses();
    if (losses.m_qwTruncations < qwLossesOwed) {
        return Fail(std::to_string(qwLossesOwed) + " truncations took lines, " +
                    std::to_string(losses.m_qwTruncations) + " counted");
    }
    if (losses.m_qwTruncations > m_qwTruncationOps * kGroups) {
        return Fail(std::to_string(losses.m_qwTruncations) + " truncations counted of " +
                    std::to_string(m_qwTruncationOps) + " made");
    }
    if (losses.m_qwVanished != 0) {
        return Fail(std::to_string(losses.m_qwVanished) + " files said gone before they could be read");
    }
    if (losses.m_qwUnreadAtLetGo != 0) {
        return Fail(std::to_string(losses.m_qwUnreadAtLetGo) + " files let go with bytes not read");
    }
    return true;
}

bool ModelRun::Stop() {
    Trace("stop");
    m_bStopped = true;
    // The stop looks for every group's names once more, a whole scan of
    // each (a scan under way is given up): what a file made, renamed into
    // place or begun anew since the last pass holds is owed.
    Look(0, kGroups);
    // The process short of descriptors: the sensor's other parts have
    // taken all but two above the floor kept free, or every one.
    std::optional<hwtest::DescriptorSqueeze> squeeze;
    const unsigned nShort = std::uniform_int_distribution<unsigned>(0, 2)(m_StopRandom);
    if (nShort != 0) {
        squeeze.emplace(plat::DescriptorFloorFor(0) + 2);
        if (nShort == 2) {
            squeeze->TakeAll();
        }
        m_Result.m_bStopShortOfDescriptors = squeeze->IsLowered();
        Trace(nShort == 2 ? "stop with no descriptor left" : "stop with two descriptors to spare");
    }
    m_pEngine->ReadAtStop();
    squeeze.reset();
    return TakeReports();
}

void ModelRun::StartOwnOutput() {
    SensorOutputs::Instance().SetForTest({{"alert", Path(kOwnNames[0]), false}});
    ReopenOwn();
    WriteOwn(2);
}

void ModelRun::ReopenOwn() {
    if (m_nOwnFd >= 0) {
        ::close(m_nOwnFd);
    }
    m_nOwnFd = ::open(Path(kOwnNames[0]).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (m_nOwnFd < 0) {
        Fail("cannot open the sensor's own alert file");
        return;
    }
    plat::OwnOutputs::Instance().Opened(m_nOwnFd, "alert");
    m_OwnNames[kOwnNames[0]] = false;
    m_bReopenDue = false;
    Trace("own alert file opened anew");
}

void ModelRun::WriteOwn(int nLines) {
    std::string strBytes;
    for (int n = 0; n < nLines; ++n) {
        strBytes += "L" + std::to_string(kOwnLineBase + m_Result.m_qwOwnLines++) + " alert of the sensor\n";
    }
    if (::write(m_nOwnFd, strBytes.data(), strBytes.size()) != static_cast<ssize_t>(strBytes.size())) {
        Fail("cannot write the sensor's own alert file");
    }
    Trace("write " + std::to_string(nLines) + " lines to the sensor's own alert file, up to L" +
          std::to_string(kOwnLineBase + m_Result.m_qwOwnLines - 1));
}

void ModelRun::RenameOwn(const std::string& strFrom, const std::string& strTo) {
    if (m_OwnNames.count(strFrom) == 0 || strFrom == strTo) {
        return;
    }
    // Two hard links of one file: rename does nothing.
    struct stat from {};
    struct stat to {};
    if (::stat(Path(strFrom).c_str(), &from) == 0 && ::stat(Path(strTo).c_str(), &to) == 0 &&
        from.st_ino == to.st_ino && from.st_dev == to.st_dev) {
        return;
    }
    if (::rename(Path(strFrom).c_str(), Path(strTo).c_str()) != 0) {
        Fail("cannot rename " + strFrom + " to " + strTo);
        return;
    }
    const bool bCopy = m_OwnNames[strFrom];
    m_OwnNames.erase(strFrom);
    m_OwnNames[strTo] = bCopy;
    m_bReopenDue = m_bReopenDue || strFrom == kOwnNames[0];
    Trace("own " + strFrom + " renamed to " + strTo);
}

void ModelRun::CopyOwn(const std::string& strFrom, const std::string& strTo) {
    std::ifstream in(Path(strFrom), std::ios::binary);
    const std::string strBytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::ofstream(Path(strTo), std::ios::binary | std::ios::trunc) << strBytes;
    m_OwnNames[strTo] = true;
    Trace("own " + strFrom + " copied to " + strTo);
}

void ModelRun::StepOwnOutput() {
    // The host looks at least once a second, once a pass here, for the
    // earlier outputs removed since.
    plat::OwnOutputs::Instance().LetGoRemoved(true);
    if (!ExtraChance(20)) {
        return;
    }
    const unsigned nKind = std::uniform_int_distribution<unsigned>(0, 99)(m_ExtraRandom);
    const bool bCurrent = m_OwnNames.count(kOwnNames[0]) != 0 && !m_bReopenDue;
    if (m_bReopenDue && nKind < 40) {
        ReopenOwn();
    } else if (nKind < 45) {
        WriteOwn(std::uniform_int_distribution<int>(1, 3)(m_ExtraRandom));
    } else if (nKind < 60) {
        // Renamed through the numbered names, and opened anew at once or
        // some steps later.
        RenameOwn(kOwnNames[1], kOwnNames[2]);
        RenameOwn(kOwnNames[0], kOwnNames[1]);
        ++m_Result.m_qwOwnRotations;
        if (ExtraChance(50)) {
            ReopenOwn();
        }
    } else if (nKind < 70 && bCurrent) {
        // copytruncate: the writer goes on at the new end.
        CopyOwn(kOwnNames[0], kOwnNames[1]);
        if (::truncate(Path(kOwnNames[0]).c_str(), 0) != 0) {
            Fail("cannot truncate the sensor's own alert file");
        }
        ++m_Result.m_qwOwnRotations;
        Trace("own alert file truncated");
    } else if (nKind < 78 && m_OwnNames.count(kOwnNames[2]) != 0) {
        // Compressed: a new file by a rotated name, the old one removed.
        CopyOwn(kOwnNames[2], kOwnNames[3]);
        ::unlink(Path(kOwnNames[2]).c_str());
        m_OwnNames.erase(kOwnNames[2]);
        ++m_Result.m_qwOwnRotations;
    } else if (nKind < 88 && !m_OwnNames.empty()) {
        // To a rotated name All matches too, or, one the host wrote, to a
        // name the groups match that only the file itself tells.
        auto it = std::next(m_OwnNames.begin(),
                            std::uniform_int_distribution<std::ptrdiff_t>(
                                0, static_cast<std::ptrdiff_t>(m_OwnNames.size()) - 1)(m_ExtraRandom));
        const std::string strFrom = it->first;
        RenameOwn(strFrom, it->second || ExtraChance(50) ? kOwnNames[4] : kOwnNames[5]);
        ++m_Result.m_qwOwnRotations;
    } else if (nKind < 93 && bCurrent && m_OwnNames.count(kOwnNames[6]) == 0) {
        if (::link(Path(kOwnNames[0]).c_str(), Path(kOwnNames[6]).c_str()) != 0) {
            Fail("cannot link the sensor's own alert file: " + std::string(std::strerror(errno)));
            return;
        }
        m_OwnNames[kOwnNames[6]] = false;
        Trace("own alert file linked as " + std::string(kOwnNames[6]));
    } else if (nKind >= 93) {
        std::vector<std::string> earlier;
        for (const auto& [strName, bCopy] : m_OwnNames) {
            if (strName != kOwnNames[0]) {
                earlier.push_back(strName);
            }
        }
        if (!earlier.empty()) {
            const std::string strName =
                earlier[std::uniform_int_distribution<size_t>(0, earlier.size() - 1)(m_ExtraRandom)];
            ::unlink(Path(strName).c_str());
            m_OwnNames.erase(strName);
            Trace("own " + strName + " removed");
        }
    }
}

TextLogModel::Result ModelRun::Go(uint32_t dwSteps) {
    if (Start()) {
        for (uint32_t n = 0; n < dwSteps && Step(); ++n) {
        }
    }
    // Enough passes for every file to be seen again and read, and every
    // file without a name to be let go, or a few; then the stop.
    const uint32_t dwPasses = ExtraChance(50) ? 4 * CEngineTextLog::kScanInterval + CLogGroupFiles::kQuietPasses
                                            : std::uniform_int_distribution<uint32_t>(0, 3)(m_ExtraRandom);
    for (uint32_t n = 0; m_Result.m_bPassed && n < dwPasses; ++n) {
        Pass();
    }
    if (m_Result.m_bPassed && Stop()) {
        Check();
    }
    m_Result.m_qwLines = m_Lines.size();
    return m_Result;
}

}  // namespace

TextLogModel::Result TextLogModel::Run(uint64_t qwSeed, uint32_t dwSteps, Scans scans) {
    ModelRun run(qwSeed, scans);
    return run.Go(dwSteps);
}
