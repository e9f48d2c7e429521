#include "TextLogs/qorFileReader.h"

#include <utility>

#include "platform/LastError.h"

qorFileReader::qorFileReader(std::string strPath) : m_strPath(std::move(strPath)) {}

qorFileReader::~qorFileReader() { qorFileReader::Close(); }

int32_t qorFileReader::Open(int64_t llPosition) {
    Close();
    m_hFile = plat::OpenRegularFileForReading(m_strPath.c_str(), &m_UntrustedLink);
    if (m_hFile == plat::kInvalidFile) {
        return -1;
    }
    m_bRewound = false;
    m_llPosition = 0;
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
    return m_llPosition;
}

int32_t qorFileReader::Read(char* pBuffer, int32_t nCount) {
    if (!IsOpen() || pBuffer == nullptr || nCount <= 0) {
        plat::SetLastError(IsOpen() ? plat::kErrInvalidParameter : plat::kErrInvalidHandle);
        return -1;
    }
    // An idle file costs this one status query.
    uint64_t qwSize = 0;
    if (!plat::GetOpenFileSize(m_hFile, qwSize)) {
        return -1;
    }
    const auto llSize = static_cast<int64_t>(qwSize);
    if (llSize == m_llPosition) {
        return 0;
    }
    if (llSize < m_llPosition) {
        if (Seek(0) != 0) {
            return -1;
        }
        m_bRewound = true;
    }
    size_t nDone = 0;
    if (!plat::ReadFromFile(m_hFile, pBuffer, static_cast<size_t>(nCount), nDone)) {
        return -1;
    }
    m_llPosition += static_cast<int64_t>(nDone);
    return static_cast<int32_t>(nDone);
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

bool qorFileReader::TakeRewound() { return std::exchange(m_bRewound, false); }
