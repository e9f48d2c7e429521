#pragma once
// One capture file being written: the Sniffer format or the libpcap format,
// chosen by the file name's suffix.  Records are gathered in a buffer owned
// by the object and reach the disk whole; when the disk refuses part of a
// batch, the file is cut back to the last complete record, so a reader never
// meets half a frame, and the records of the batch that did not reach it are
// counted.  A write after an error answers the error at once until the file
// is closed.  A file opened to append goes on after its last whole record.

#include <cstdint>
#include <memory>
#include <string>

#include "rawpacket/Frame.h"

class ICSFHostServices;

class qorTRFile {
public:
    enum : uint32_t { kModeRead = 100, kModeWrite = 101, kModeAppend = 102 };
    enum : uint32_t { kTypeSniffer = 100, kTypeUnwritable = 101, kTypeTcpdump = 102 };
    enum : int32_t { kErrorNone = 0, kErrorUnknown = -1, kErrorNoLocalTime = -102 };

    // The most frame bytes one record keeps: the Sniffer record length is
    // 16 bits and covers a 14-byte frame header; libpcap files declare a
    // 65,535-byte snapshot.  Longer frames are cut, their true size kept.
    static constexpr uint32_t kSnifferMaxData = 65535 - 14;
    static constexpr uint32_t kTcpdumpSnapLength = 65535;
    static constexpr size_t kSnifferHeaderSize = 41;
    static constexpr size_t kTcpdumpHeaderSize = 24;

    qorTRFile();
    virtual ~qorTRFile();
    qorTRFile(const qorTRFile&) = delete;
    qorTRFile& operator=(const qorTRFile&) = delete;

    void SetLogger(ICSFHostServices* pLogger) { m_pLogger = pLogger; }

    // The type a file of this name is written in.
    static uint32_t TypeForName(const std::string& name);

    // Opens `name` for writing (kModeWrite empties it) or appending; a new
    // file gets the header of its type stamped with `baseTime`.  Appending
    // reads the existing file's header and goes on after its last whole
    // record, cutting off what follows it (a record a full disk cut short);
    // a file that is not one of this type, or too short to hold a header,
    // is begun again instead.  False with ErrorState() set when the file
    // cannot be opened; a header that cannot be written shows at the first
    // record.
    bool Open(const std::string& name, uint32_t mode, uint32_t baseTime);
    // Appends one frame.  False when the record cannot be written: the file
    // type takes no records, or ErrorState() is set.
    bool WriteRecord(const rp::PacketRecord& record);
    // Pushes the buffered records to the disk now; false (ErrorState() set)
    // when they could not all be written.
    bool Flush();
    // Pushes buffered records to the disk and closes; clears the error
    // state.  False when the records or the close failed (the system's
    // error in CloseError()).
    bool Close();

    bool IsOpen() const { return m_nFile >= 0; }
    int32_t ErrorState() const { return m_nError; }
    uint32_t FileType() const { return m_dwType; }
    int64_t BaseTime() const { return m_iBaseTime; }
    int64_t SnifferOrigin() const { return m_iSnifferOrigin; }
    // Frame bytes a record of this file keeps of `capturedLength`.
    uint32_t StoredLength(uint32_t capturedLength) const;
    // The size the packet log counts (captured lengths plus 20 a record)
    // of the records an append found in the file; 0 for a file begun.
    uint64_t AppendedSize() const { return m_uAppendedSize; }
    // Records accepted by WriteRecord that a failed write kept off the
    // disk, since the object was made.
    uint64_t RecordsDropped() const { return m_uRecordsDropped; }
    int32_t CloseError() const { return m_nCloseError; }

private:
    bool WriteHeader();
    bool ReadHeader();
    // After the header of a file opened to append: finds the end of its
    // last whole record and cuts the file there.
    bool FindAppendPoint(uint64_t uFileSize);
    bool SetSnifferOrigin();
    void Append(const void* pData, size_t nBytes);
    size_t WholeRecordsIn(size_t nBytes) const;
    // The records in the buffer from byte `nFrom` (a record's start) on.
    uint64_t RecordsFrom(size_t nFrom) const;
    size_t RecordHeaderSize() const;
    void SetErrorFromErrno(int err);

    int m_nFile = -1;
    uint32_t m_dwMode = kModeWrite;
    int32_t m_nError = kErrorNone;
    uint32_t m_dwType = kTypeSniffer;
    int64_t m_iBaseTime = 0;
    int64_t m_iSnifferOrigin = 0;
    ICSFHostServices* m_pLogger = nullptr;

    // Whole records (and the header) not yet on the disk, and the file
    // offset at which they begin.
    std::unique_ptr<uint8_t[]> m_pBuffer;
    size_t m_nBuffered = 0;
    size_t m_nHeaderBuffered = 0;
    uint64_t m_uFlushedEnd = 0;
    uint64_t m_uAppendedSize = 0;
    uint64_t m_uRecordsDropped = 0;
    int32_t m_nCloseError = kErrorNone;
};
