#pragma once
// A ring of capture files that received frames are written into: the names
// come from a prefix, a three-digit index (or, with a prefix ending in "%d",
// the date and hour) and a suffix; a file that would grow past the size
// limit is closed and the next one in the ring is begun.  A log belongs to
// one thread and takes no lock.

#include <cstdint>
#include <ctime>
#include <string>

#include "qorPacketLogLib/qorTRFile.h"
#include "rawpacket/Frame.h"

class ICSFHostServices;

class qorPacketLog_cfg {
public:
    virtual ~qorPacketLog_cfg() = default;

    bool operator==(const qorPacketLog_cfg& other) const {
        return m_dwMaxFileSize == other.m_dwMaxFileSize && m_dwMaxFiles == other.m_dwMaxFiles &&
               m_strPrefix == other.m_strPrefix && m_strSuffix == other.m_strSuffix;
    }

    uint32_t m_dwMaxFileSize = 1400000;
    uint32_t m_dwMaxFiles = 10;
    std::string m_strPrefix = "log";
    std::string m_strSuffix = ".enc";
    ICSFHostServices* m_pLogger = nullptr;
};

class qorPacketLog {
public:
    qorPacketLog();
    virtual ~qorPacketLog();
    qorPacketLog(const qorPacketLog&) = delete;
    qorPacketLog& operator=(const qorPacketLog&) = delete;

    void SetLogger(ICSFHostServices* pLogger);
    // "fileprefix", "filesuffix", "maxKbytes", "maxfiles"; false (and a log
    // line) for any other name or a number that is not above 0.
    bool SetParameter(const char* pszName, const char* pszValue);
    // Takes the requested settings when they differ from those in use, and
    // then chooses the file to write again.
    void ApplyParameters();
    // False when the frame could not be written; the caller then closes the
    // log and stops writing to it.
    bool Write(const rp::PacketRecord& record);
    void Close();
    // The next open continues the current file instead of emptying it.
    void CloseForAppend();

    const std::string& CurrentFileName() const { return m_strFileName; }
    uint32_t BytesWritten() const { return m_dwBytesWritten; }
    uint32_t FileIndex() const { return m_dwFileIndex; }

private:
    bool DatedMode() const;
    std::string MakeFileName(time_t when, uint32_t index) const;
    void ChooseFile();
    bool OpenFile(uint32_t baseTime);
    bool Roll(uint32_t seconds);

    qorTRFile m_File;
    qorPacketLog_cfg m_Requested;
    qorPacketLog_cfg m_Applied;
    std::string m_strFileName;
    uint32_t m_dwBytesWritten = 0;
    uint32_t m_dwFileIndex = 0;
    bool m_bAppendOnOpen = false;
    ICSFHostServices* m_pLogger = nullptr;
};
