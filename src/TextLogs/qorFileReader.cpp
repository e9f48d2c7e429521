#include "TextLogs/qorFileReader.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <utility>

#include "platform/LastError.h"

namespace {

// A fingerprint of a few bytes, eight at a time.
uint64_t Fingerprint(std::string_view bytes) {
    constexpr uint64_t kMultiplier = 0xFF51AFD7ED558CCDull;
    uint64_t qwHash = 0x9E3779B97F4A7C15ull ^ bytes.size();
    size_t n = 0;
    for (; n + 8 <= bytes.size(); n += 8) {
        uint64_t qwWord = 0;
        std::memcpy(&qwWord, bytes.data() + n, 8);
        qwHash = (qwHash ^ qwWord) * kMultiplier;
        qwHash ^= qwHash >> 32;
    }
    uint64_t qwLast = 0;
    std::memcpy(&qwLast, bytes.data() + n, bytes.size() - n);
    qwHash = (qwHash ^ qwLast) * kMultiplier;
    return qwHash ^ (qwHash >> 29);
}

}  // namespace

int64_t qorFileReader::Cut::Lost() const {
    // A writer that goes on at its own offset after the cut shows where
    // the file ended before it: what lay between the place and there was
    // never read.
    const int64_t llBeforeWriter = m_llWrittenAgainAt > m_llReached ? m_llWrittenAgainAt - m_llReached : 0;
    return m_llUnfinished + std::max(m_llSeenUnread, llBeforeWriter);
}

qorFileReader::qorFileReader(std::string strPath) : m_strPath(std::move(strPath)) {}

qorFileReader::~qorFileReader() { qorFileReader::Close(); }

int32_t qorFileReader::Open(int64_t llPosition) {
    Close();
    m_strOpenProblem.clear();
    m_hFile = plat::OpenFileToRead(m_strPath, plat::Owners::kAnyAccount, &m_strOpenProblem);
    if (m_hFile == plat::kInvalidFile) {
        return -1;
    }
    m_bRewound = false;
    m_llPosition = 0;
    m_llSeenSize = 0;
    m_nTail = 0;
    m_llLookedNs = 0;
    plat::FileStatus status;
    m_qwIdentity = plat::GetOpenFileStatus(m_hFile, status) ? status.m_qwIdentity : 0;
    if (llPosition != 0) {
        Seek(llPosition);
    } else {
        MarkWhatIsBefore(0);
        // A file met with a hole at its start (cut under a writer without
        // O_APPEND before it was met) begins with the writer's next line.
        m_bHoleAhead = true;
    }
    return 0;
}

void qorFileReader::Close() {
    if (m_hFile != plat::kInvalidFile) {
        plat::CloseFile(m_hFile);
        m_hFile = plat::kInvalidFile;
    }
}

int64_t qorFileReader::Seek(int64_t llPosition) {
    int64_t llReached = 0;
    if (!IsOpen() ||
        !plat::SeekFile(m_hFile, llPosition == kEndOfFile ? plat::kSeekToEnd : llPosition,
                        llReached)) {
        return -1;
    }
    m_llPosition = llReached;
    m_llSeenSize = llReached;
    m_bHoleAhead = false;
    // The bytes before the place are known from here on, so a file
    // truncated and written past the place again before its next read
    // shows, also when nothing was read from it yet (one opened at its end).
    const int32_t nTail = static_cast<int32_t>(std::min<int64_t>(llReached, kTailSize));
    m_nTail = std::max(0, ReadAt(llReached - nTail, m_Tail.data(), nTail));
    MarkWhatIsBefore(llReached);
    int64_t llSize = 0;
    if (m_nTail != nTail || !Look(llSize, m_llLookedNs)) {
        m_llLookedNs = 0;
    }
    return m_llPosition;
}

void qorFileReader::AddMark(int64_t llEnd, std::string_view lastBytes, bool bLineEnd) {
    if (lastBytes.size() > static_cast<size_t>(kMarkWindow)) {
        lastBytes.remove_prefix(lastBytes.size() - kMarkWindow);
    }
    if (m_Marks.empty() || m_Marks.back().m_llOffset < llEnd) {
        m_Marks.push_back(Mark{Fingerprint(lastBytes), llEnd, static_cast<int32_t>(lastBytes.size()), bLineEnd});
    }
    if (bLineEnd && m_nHeadMarks < kHeadLines && llEnd < kHeadBytes) {
        ++m_nHeadMarks;
        m_llNextMark = llEnd + 1;
        return;
    }
    int64_t llPower = 1;
    while (llPower > 0 && llPower <= llEnd) {
        llPower *= 2;
    }
    m_llNextMark = llPower > 0 ? llPower : INT64_MAX;
}

void qorFileReader::MarkWhatIsBefore(int64_t llPosition) {
    m_Marks.clear();
    m_nHeadMarks = 0;
    m_llNextMark = 1;
    if (llPosition <= 0) {
        return;
    }
    // The head's line ends, from one read of it.
    std::array<char, kHeadBytes> head{};
    const auto nHead = static_cast<int32_t>(std::min<int64_t>(llPosition, kHeadBytes));
    const int32_t nRead = std::max(0, ReadAt(0, head.data(), nHead));
    int32_t nLineStart = 0;
    for (int32_t n = 0; n < nRead && m_nHeadMarks < kHeadLines; ++n) {
        if (head[static_cast<size_t>(n)] == '\n') {
            AddMark(n + 1, std::string_view(head.data() + nLineStart, static_cast<size_t>(n + 1 - nLineStart)), true);
            nLineStart = n + 1;
        }
    }
    if (llPosition <= kHeadBytes && m_nHeadMarks < kHeadLines) {
        // All of it is head: the next line end read is one of the head's.
        m_llNextMark = llPosition;
        return;
    }
    m_nHeadMarks = kHeadLines;
    // Then the first line end past each power of two, as reading marks
    // them, or the power itself where no line end is near.
    constexpr int32_t kLook = 512;
    std::array<char, kMarkWindow + kLook> window{};
    int64_t llAt = 1;
    while (llAt > 0 && !m_Marks.empty() && llAt <= m_Marks.back().m_llOffset) {
        llAt *= 2;
    }
    for (; llAt > 0 && llAt <= llPosition;) {
        const int64_t llFrom = std::max<int64_t>(0, llAt - kMarkWindow);
        const auto nWanted = static_cast<int32_t>(std::min<int64_t>(llPosition - llFrom, kMarkWindow + kLook));
        const int32_t nGot = ReadAt(llFrom, window.data(), nWanted);
        if (nGot <= static_cast<int32_t>(llAt - llFrom)) {
            break;
        }
        const auto nAt = static_cast<size_t>(llAt - llFrom);
        const void* pNewline = std::memchr(window.data() + nAt - 1, '\n', static_cast<size_t>(nGot) - nAt + 1);
        const size_t nEnd = pNewline != nullptr ? static_cast<size_t>(static_cast<const char*>(pNewline) - window.data()) + 1 : nAt;
        const size_t nFrom = nEnd > static_cast<size_t>(kMarkWindow) ? nEnd - kMarkWindow : 0;
        AddMark(llFrom + static_cast<int64_t>(nEnd), std::string_view(window.data() + nFrom, nEnd - nFrom),
                pNewline != nullptr);
        llAt = m_llNextMark;
    }
}

void qorFileReader::NoteLineEnd(int64_t llEnd, std::string_view lastBytes) {
    if (llEnd >= m_llNextMark) {
        AddMark(llEnd, lastBytes, true);
    }
}

int64_t qorFileReader::KeptPlace(int64_t llSize, bool& bLineEnd) const {
    bLineEnd = false;
    // The first byte, up to where the file can still hold what was read,
    // that is known to differ from what was read there; and whether what
    // is known reaches that far.
    const int64_t llUpTo = std::min(llSize, m_llPosition);
    const std::vector<Mark>& marks = m_Marks;
    int64_t llFirstBad = INT64_MAX;
    int64_t llKnownTo = 0;
    // The byte ranges that still hold what was read, and the windows that
    // do not: a window that does not hold differs in a byte that no range
    // that holds covers.
    std::vector<std::pair<int64_t, int64_t>> held;
    std::vector<std::pair<int64_t, int64_t>> differing;
    for (const Mark& mark : marks) {
        if (mark.m_llOffset > llUpTo) {
            break;
        }
        (MarkHolds(mark) ? held : differing).emplace_back(mark.m_llOffset - mark.m_nWindow, mark.m_llOffset);
        llKnownTo = mark.m_llOffset;
    }
    const int64_t llTailStart = m_llPosition - m_nTail;
    int32_t nHeld = 0;
    if (m_nTail > 0 && llTailStart < llUpTo) {
        std::array<char, kTailSize> now{};
        const auto nWanted = static_cast<int32_t>(llUpTo - llTailStart);
        const int32_t nRead = ReadAt(llTailStart, now.data(), nWanted);
        while (nHeld < nRead && now[static_cast<size_t>(nHeld)] == m_Tail[static_cast<size_t>(nHeld)]) {
            ++nHeld;
        }
        held.emplace_back(llTailStart, llTailStart + nHeld);
        if (nHeld < nWanted) {
            llFirstBad = llTailStart + nHeld;
        }
        llKnownTo = llUpTo;
    }
    for (const auto& [llFrom, llTo] : differing) {
        int64_t llAt = llFrom;
        for (bool bMoved = true; bMoved && llAt < llTo;) {
            bMoved = false;
            for (const auto& [llHeldFrom, llHeldTo] : held) {
                if (llHeldFrom <= llAt && llAt < llHeldTo) {
                    llAt = llHeldTo;
                    bMoved = true;
                }
            }
        }
        llFirstBad = std::min(llFirstBad, std::min(llAt, llTo - 1));
    }
    // Cut short, with what it holds what was read there as far as is known,
    // and what is known reaching its very end (the last bytes read, or a
    // line end kept): it is read on from there, within a line or not.
    // Bytes past the last that is known may be a writer's after a cut
    // further back, which the last line end that holds keeps unread.
    if (llFirstBad == INT64_MAX && llUpTo > 0 && llKnownTo == llUpTo) {
        bLineEnd = (llUpTo > llTailStart && m_Tail[static_cast<size_t>(llUpTo - llTailStart - 1)] == '\n') ||
                   std::any_of(marks.begin(), marks.end(),
                               [&](const Mark& mark) { return mark.m_bLineEnd && mark.m_llOffset == llUpTo; });
        return llUpTo;
    }
    // Written again since the cut, or cut where too little is known: where
    // the cut fell cannot be told to the byte (what the writer wrote may
    // match what was there for a few), so it is read on from the last line
    // end that holds, and the line it holds next is whole.
    int64_t llKept = 0;
    for (const Mark& mark : marks) {
        if (mark.m_llOffset > std::min(llFirstBad, llUpTo)) {
            break;
        }
        llKept = mark.m_bLineEnd ? mark.m_llOffset : llKept;
    }
    const int64_t llInTail = std::min<int64_t>(nHeld, llFirstBad - llTailStart);
    if (llInTail > 0) {
        const void* pNewline = ::memrchr(m_Tail.data(), '\n', static_cast<size_t>(llInTail));
        if (pNewline != nullptr) {
            llKept = std::max(llKept, llTailStart + (static_cast<const char*>(pNewline) - m_Tail.data()) + 1);
        }
    }
    bLineEnd = llKept > 0;
    return llKept;
}

bool qorFileReader::PlaceAfterCut(int64_t llKept, bool bLineEnd) {
    // What it kept is what was read: the fingerprints of it still hold, and
    // the seek marks what the file holds before the place anew.
    std::vector<Mark> kept = std::move(m_Marks);
    if (Seek(llKept) != llKept) {
        return false;
    }
    while (!kept.empty() && kept.back().m_llOffset > llKept) {
        kept.pop_back();
    }
    for (const Mark& mark : m_Marks) {
        if (std::none_of(kept.begin(), kept.end(), [&](const Mark& k) { return k.m_llOffset == mark.m_llOffset; })) {
            kept.push_back(mark);
        }
    }
    if (bLineEnd && llKept > 0 && m_nTail > 0 &&
        std::none_of(kept.begin(), kept.end(), [&](const Mark& k) { return k.m_llOffset == llKept; })) {
        const auto nWindow = std::min(m_nTail, kMarkWindow);
        kept.push_back(Mark{Fingerprint(std::string_view(m_Tail.data() + m_nTail - nWindow,
                                                         static_cast<size_t>(nWindow))),
                            llKept, nWindow, true});
    }
    std::sort(kept.begin(), kept.end(), [](const Mark& a, const Mark& b) { return a.m_llOffset < b.m_llOffset; });
    m_Marks = std::move(kept);
    return true;
}

int32_t qorFileReader::Read(char* pBuffer, int32_t nCount) {
    if (!IsOpen() || pBuffer == nullptr || nCount <= 0) {
        plat::SetLastError(IsOpen() ? plat::kErrInvalidParameter : plat::kErrInvalidHandle);
        return -1;
    }
    // An idle file costs this one status query.
    int64_t llSize = 0;
    int64_t llChangedNs = 0;
    if (!Look(llSize, llChangedNs)) {
        return -1;
    }
    // Written past the place again after a truncation, or to the very size
    // read: the bytes before the place are new too.  A file changed since
    // the last look is looked at so (one small read), also one that still
    // had more then: a copy-and-truncate can come between two reads of a
    // backlog as well as after the last.
    const bool bRewritten = llSize >= m_llPosition && llChangedNs != m_llLookedNs && !TailIsThere();
    // Cut past the place: what an earlier look saw beyond it is gone.
    const bool bCutAhead = !bRewritten && llSize >= m_llPosition && llSize < m_llSeenSize;
    if (llSize == m_llPosition && !bRewritten && !bCutAhead) {
        m_llLookedNs = llChangedNs;
        return 0;
    }
    if (llSize < m_llPosition || bRewritten || bCutAhead) {
        Cut cut;
        cut.m_llReached = m_llPosition;
        cut.m_llSize = llSize;
        if (bCutAhead) {
            cut.m_llSeenUnread = m_llSeenSize - llSize;
            cut.m_llKept = m_llPosition;
            m_llSeenSize = llSize;
        } else {
            cut.m_llSeenUnread = std::max<int64_t>(0, m_llSeenSize - m_llPosition);
            bool bLineEnd = false;
            cut.m_llKept = KeptPlace(llSize, bLineEnd);
            if (!PlaceAfterCut(cut.m_llKept, bLineEnd)) {
                return -1;
            }
            // A writer without O_APPEND leaves a hole from where the file
            // was cut to where it writes next.
            m_bHoleAhead = true;
        }
        m_Cut = cut;
        m_bRewound = true;
    }
    m_llSeenSize = std::max(m_llSeenSize, llSize);
    if (m_bHoleAhead && !SkipHole()) {
        return -1;
    }
    size_t nDone = 0;
    if (!plat::ReadFromFile(m_hFile, pBuffer, static_cast<size_t>(nCount), nDone)) {
        return -1;
    }
    m_llPosition += static_cast<int64_t>(nDone);
    KeepTail(pBuffer, static_cast<int32_t>(nDone));
    m_llLookedNs = llChangedNs;
    // Bytes read up to a NUL may have run into a hole: whoever writes the
    // file can leave one of any size (a seek far ahead, a truncate making it
    // longer), which is passed over rather than read as NULs.
    m_bHoleAhead = nDone == 0 ? m_bHoleAhead : pBuffer[nDone - 1] == '\0';
    return static_cast<int32_t>(nDone);
}

bool qorFileReader::SkipHole() {
    // A sparse file tells where its writer's bytes begin again (nothing, as
    // long as the writer has not written after the cut, or its end when it
    // is a hole up to there); a file system that cannot say leaves the NULs
    // to be read through.
    int64_t llData = 0;
    if (!plat::FindWrittenData(m_hFile, m_llPosition, llData) || llData <= m_llPosition) {
        return true;
    }
    // What lay before was never written: the marks of what was read stay,
    // and the line ends read next are marked as they would have been.
    std::vector<Mark> marks = std::move(m_Marks);
    const int64_t llNextMark = m_llNextMark;
    const size_t nHeadMarks = m_nHeadMarks;
    if (Seek(llData) != llData) {
        return false;
    }
    m_Marks = std::move(marks);
    m_llNextMark = llNextMark;
    m_nHeadMarks = nHeadMarks;
    m_Cut.m_llWrittenAgainAt = llData;
    return true;
}

bool qorFileReader::TailIsThere() const {
    if (m_nTail != 0 && !HoldsBefore(m_llPosition, m_Tail.data(), m_nTail)) {
        return false;
    }
    // The last bytes can be the same after a cut and a rewrite (the same
    // padding ending a long line at the same place, say): the first line's
    // end and the last mark before the tail are looked at too.
    const int64_t llTailStart = m_llPosition - m_nTail;
    const Mark* pLast = nullptr;
    for (const Mark& mark : m_Marks) {
        if (mark.m_llOffset > llTailStart) {
            break;
        }
        pLast = &mark;
    }
    return m_Marks.empty() ||
           (MarkHolds(m_Marks.front()) && (pLast == nullptr || pLast == &m_Marks.front() || MarkHolds(*pLast)));
}

bool qorFileReader::MarkHolds(const Mark& mark) const {
    std::array<char, kMarkWindow> window{};
    const int32_t nRead = ReadAt(mark.m_llOffset - mark.m_nWindow, window.data(), mark.m_nWindow);
    return nRead == mark.m_nWindow &&
           Fingerprint(std::string_view(window.data(), static_cast<size_t>(nRead))) == mark.m_qwHash;
}

void qorFileReader::KeepTail(const char* pRead, int32_t nRead) {
    if (nRead >= kTailSize) {
        std::memcpy(m_Tail.data(), pRead + nRead - kTailSize, kTailSize);
        m_nTail = kTailSize;
        return;
    }
    const int32_t nKept = std::min(m_nTail, kTailSize - nRead);
    std::memmove(m_Tail.data(), m_Tail.data() + m_nTail - nKept, static_cast<size_t>(nKept));
    std::memcpy(m_Tail.data() + nKept, pRead, static_cast<size_t>(nRead));
    m_nTail = nKept + nRead;
}

bool qorFileReader::HoldsNothingNew() {
    int64_t llSize = 0;
    int64_t llChangedNs = 0;
    if (!Look(llSize, llChangedNs) || llSize != m_llPosition || llSize < m_llSeenSize) {
        return false;
    }
    // Written since, to the very size read: a read tells whether it was
    // truncated first.
    if (llChangedNs != m_llLookedNs && !TailIsThere()) {
        return false;
    }
    m_llLookedNs = llChangedNs;
    return true;
}

bool qorFileReader::Look(int64_t& llSize, int64_t& llChangedNs) const {
    plat::FileStatus status;
    if (!IsOpen() || !plat::GetOpenFileStatus(m_hFile, status)) {
        return false;
    }
    llSize = static_cast<int64_t>(status.m_qwSize);
    llChangedNs = status.m_llChangedNs;
    return true;
}

bool qorFileReader::GetSize(int64_t& llSize) const {
    uint64_t qwSize = 0;
    if (!IsOpen() || !plat::GetOpenFileSize(m_hFile, qwSize)) {
        return false;
    }
    llSize = static_cast<int64_t>(qwSize);
    return true;
}

int32_t qorFileReader::ReadAt(int64_t llOffset, char* pBuffer, int32_t nCount) const {
    size_t nDone = 0;
    if (!IsOpen() || pBuffer == nullptr || nCount < 0 || llOffset < 0 ||
        !plat::ReadFileAt(m_hFile, llOffset, pBuffer, static_cast<size_t>(nCount), nDone)) {
        return -1;
    }
    return static_cast<int32_t>(nDone);
}

bool qorFileReader::HoldsBefore(int64_t llEnd, const char* pBytes, int32_t nCount) const {
    std::array<char, kTailSize> now{};
    return nCount >= 0 && nCount <= kTailSize &&
           ReadAt(llEnd - nCount, now.data(), nCount) == nCount &&
           std::memcmp(now.data(), pBytes, static_cast<size_t>(nCount)) == 0;
}

bool qorFileReader::TakeRewound(Cut& cut) {
    if (!std::exchange(m_bRewound, false)) {
        return false;
    }
    cut = m_Cut;
    return true;
}
