#include "qorPacketLogLib/qorPacketLog.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "platform/Files.h"
#include "platform/SystemMessage.h"
#include "qorPacketLogLib/LogLine.h"

namespace {

// A count given in decimal, 0x hexadecimal or leading-0 octal; false unless
// the whole text is a number from 1 to `limit`.
bool ReadCount(const char* pszValue, unsigned long long limit, uint32_t& out) {
    if (pszValue == nullptr || *pszValue == '\0') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(pszValue, &end, 0);
    if (errno != 0 || end == pszValue || *end != '\0' || value <= 0 ||
        static_cast<unsigned long long>(value) > limit) {
        return false;
    }
    out = static_cast<uint32_t>(value);
    return true;
}

// The text of an error number without its line break.
std::string ReasonText(int32_t error) {
    std::string text;
    if (plat::LookupSystemMessage(static_cast<uint32_t>(error), nullptr, 0, text) != 0) {
        return "Unknown error";
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

}  // namespace

qorPacketLog::qorPacketLog() {
    ChooseFile();
}

qorPacketLog::~qorPacketLog() {
    Close();
}

void qorPacketLog::SetLogger(ICSFHostServices* pLogger) {
    m_pLogger = pLogger;
    m_Requested.m_pLogger = pLogger;
    m_File.SetLogger(pLogger);
}

bool qorPacketLog::SetParameter(const char* pszName, const char* pszValue) {
    std::string name = pszName != nullptr ? pszName : "";
    uint32_t number = 0;
    bool accepted = false;
    if (pszValue != nullptr && name == "fileprefix") {
        m_Requested.m_strPrefix = pszValue;
        accepted = true;
    } else if (pszValue != nullptr && name == "filesuffix") {
        m_Requested.m_strSuffix = pszValue;
        accepted = true;
    } else if (name == "maxKbytes" && ReadCount(pszValue, UINT32_MAX / 1024, number)) {
        m_Requested.m_dwMaxFileSize = number * 1024;
        accepted = true;
    } else if (name == "maxfiles" && ReadCount(pszValue, UINT32_MAX, number)) {
        m_Requested.m_dwMaxFiles = number;
        accepted = true;
    }
    if (!accepted) {
        PACKETLOG_ERROR(m_pLogger,
                        "Invalid Packet Log Parameter or Parameter Value, Name-%s, Value-%s",
                        name.c_str(), pszValue != nullptr ? pszValue : "");
    }
    return accepted;
}

void qorPacketLog::ApplyParameters() {
    if (m_Requested == m_Applied) {
        return;
    }
    m_Applied = m_Requested;
    Close();
    ChooseFile();
}

bool qorPacketLog::DatedMode() const {
    const std::string& prefix = m_Requested.m_strPrefix;
    return prefix.size() >= 2 && prefix.compare(prefix.size() - 2, 2, "%d") == 0;
}

std::string qorPacketLog::MakeFileName(time_t when, uint32_t index) const {
    char middle[32];
    if (DatedMode()) {
        std::tm local{};
        if (!plat::LocalTime(when, local) ||
            std::strftime(middle, sizeof middle, "%Y%m%d-%H", &local) == 0) {
            std::snprintf(middle, sizeof middle, "%08X", static_cast<unsigned>(when));
        }
    } else {
        std::snprintf(middle, sizeof middle, "%03d",
                      static_cast<int>(index % m_Requested.m_dwMaxFiles));
    }
    return m_Requested.m_strPrefix + middle + m_Requested.m_strSuffix;
}

void qorPacketLog::ChooseFile() {
    m_dwFileIndex = 0;
    time_t now = std::time(nullptr);
    if (DatedMode()) {
        m_strFileName = MakeFileName(now, 0);
        return;
    }
    // The first free slot, else the one written longest ago.
    uint32_t oldestIndex = 0;
    int64_t oldestTime = 0;
    for (uint32_t index = 0; index < m_Requested.m_dwMaxFiles; ++index) {
        plat::PathInfo info;
        if (!plat::GetPathInfo(MakeFileName(now, index).c_str(), info)) {
            oldestIndex = index;
            break;
        }
        if (index == 0 || info.m_iLastWriteTime < oldestTime) {
            oldestIndex = index;
            oldestTime = info.m_iLastWriteTime;
        }
    }
    m_dwFileIndex = oldestIndex;
    m_strFileName = MakeFileName(now, oldestIndex);
}

bool qorPacketLog::OpenFile(uint32_t baseTime) {
    uint32_t mode = qorTRFile::kModeWrite;
    if (m_bAppendOnOpen) {
        m_bAppendOnOpen = false;
        mode = qorTRFile::kModeAppend;
    } else {
        m_dwBytesWritten = 0;
    }
    if (m_File.Open(m_strFileName, mode, baseTime)) {
        return true;
    }
    int32_t error = m_File.ErrorState();
    PACKETLOG_ERROR(m_pLogger, "Error=%d opening packet log file %s, Reason:%s", error,
                    m_strFileName.c_str(), ReasonText(error).c_str());
    return false;
}

bool qorPacketLog::Roll(uint32_t seconds) {
    Close();
    m_dwFileIndex = m_dwFileIndex + 1 >= m_Requested.m_dwMaxFiles ? 0 : m_dwFileIndex + 1;
    m_dwBytesWritten = 0;
    m_strFileName = MakeFileName(static_cast<time_t>(seconds), m_dwFileIndex);
    return OpenFile(seconds);
}

bool qorPacketLog::Write(const rp::PacketRecord& record) {
    if (!m_File.IsOpen() && !OpenFile(record.m_dwSeconds)) {
        return false;
    }
    uint64_t stored = m_File.StoredLength(record.m_dwCapturedLength);
    if (stored + m_dwBytesWritten + 20 > m_Requested.m_dwMaxFileSize && !Roll(record.m_dwSeconds)) {
        return false;
    }
    if (m_File.WriteRecord(record)) {
        m_dwBytesWritten += static_cast<uint32_t>(stored + 20);
        return true;
    }
    int32_t error = m_File.ErrorState();
    if (error > 0) {
        PACKETLOG_ERROR(m_pLogger, "Error=%d writing packet to log file %s, Reason:%s", error,
                        m_strFileName.c_str(), ReasonText(error).c_str());
    } else {
        PACKETLOG_ERROR(m_pLogger, "Error=%d writing packet to log file %s", error,
                        m_strFileName.c_str());
    }
    return false;
}

void qorPacketLog::Close() {
    m_File.Close();
}

void qorPacketLog::CloseForAppend() {
    m_bAppendOnOpen = true;
    Close();
}
