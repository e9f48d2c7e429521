#include "TextLogs/qorFileReader.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/LastError.h"

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
    // The bytes before the place are known from here on, so a file
    // truncated and written past the place again before its next read
    // shows, also when nothing was read from it yet (one opened at its end).
    const int32_t nTail = static_cast<int32_t>(std::min<int64_t>(llReached, kTailSize));
    m_nTail = std::max(0, ReadAt(llReached - nTail, m_Tail.data(), nTail));
    int64_t llSize = 0;
    if (m_nTail != nTail || !Look(llSize, m_llLookedNs)) {
        m_llLookedNs = 0;
    }
    return m_llPosition;
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
    if (llSize == m_llPosition && !bRewritten) {
        m_llLookedNs = llChangedNs;
        return 0;
    }
    if (llSize < m_llPosition || bRewritten) {
        const Cut cut{m_llPosition, std::max<int64_t>(0, m_llSeenSize - m_llPosition)};
        if (Seek(0) != 0) {
            return -1;
        }
        m_Cut = cut;
        m_bRewound = true;
    }
    m_llSeenSize = std::max(m_llSeenSize, llSize);
    size_t nDone = 0;
    if (!plat::ReadFromFile(m_hFile, pBuffer, static_cast<size_t>(nCount), nDone)) {
        return -1;
    }
    m_llPosition += static_cast<int64_t>(nDone);
    KeepTail(pBuffer, static_cast<int32_t>(nDone));
    m_llLookedNs = llChangedNs;
    return static_cast<int32_t>(nDone);
}

bool qorFileReader::TailIsThere() const {
    return m_nTail == 0 || HoldsBefore(m_llPosition, m_Tail.data(), m_nTail);
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
    if (!Look(llSize, llChangedNs) || llSize != m_llPosition) {
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
