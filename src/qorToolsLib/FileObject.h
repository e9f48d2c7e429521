#pragma once
// One open file: reading, writing, or a read-only view of the whole file.
// Every operation answers 0 or the system error number (LastError.h).

#include <cstddef>
#include <cstdint>

#include "platform/Files.h"
#include "qorToolsLib/jsBase.h"

class FileObject : public jsBase {
public:
    FileObject() = default;
    ~FileObject() override;
    FileObject(const FileObject&) = delete;
    FileObject& operator=(const FileObject&) = delete;

    uint32_t OpenForRead(const char* path);
    // Creates the file, replacing an existing one when `replace` is set and
    // failing on one otherwise.
    uint32_t OpenForWrite(const char* path, bool replace);
    // The same for a file that other openers may read and write meanwhile.
    uint32_t OpenForSharedWrite(const char* path, bool replace);

    uint32_t Write(const void* bytes, uint32_t count);
    // Reads up to `count` bytes; `done` (when given) tells how many came.
    uint32_t Read(void* bytes, uint32_t count, uint32_t* done = nullptr);

    // Opens for reading and maps the whole file read-only; an empty file is
    // open but not mapped.  A file already open: 0xC7210005.
    virtual uint32_t OpenAndMap(const char* path);
    virtual uint32_t Close();

    // The size as found when the file was opened for reading.
    virtual uint64_t GetSize() const { return m_qwSize; }
    const uint8_t* View() const { return static_cast<const uint8_t*>(m_pView); }
    bool IsOpen() const { return m_bOpen; }
    bool IsMapped() const { return m_bMapped; }

private:
    uint32_t OpenWriting(const char* path, bool replace);

    bool m_bOpen = false;
    uint64_t m_qwSize = 0;
    plat::FileHandle m_hFile = plat::kInvalidFile;
    const void* m_pView = nullptr;
    bool m_bMapped = false;
};
