#pragma once
// One counted reference to a stream buffer and a read position.  The
// encoder and the decoder are owners; several owners may share one buffer,
// and the first to write gets its own copy.

#include <cstdint>

#include "qorToolsLib/qorStatus.h"
#include "qorToolsLib/qorStreamBuffer.h"

class qorStreamTypes {
public:
    virtual ~qorStreamTypes();
};

class qorStreamBufferOwner : public qorStreamTypes {
public:
    static constexpr uint32_t kDefaultGrowth = 750;

    // With `noThrow` set, failures are returned as statuses; otherwise they
    // are raised as qorErrorException.
    explicit qorStreamBufferOwner(bool noThrow = true, uint32_t growBy = kDefaultGrowth);
    // Shares the other owner's buffer and read position.
    qorStreamBufferOwner(const qorStreamBufferOwner& other);
    qorStreamBufferOwner& operator=(const qorStreamBufferOwner& other);
    ~qorStreamBufferOwner() override;

    virtual StatusCode ShareBuffer(const qorStreamBufferOwner& other);
    virtual uint8_t* GetData() const;
    // Hands the allocation (release it with std::free) to the caller: its
    // start, the reserved prefix, the allocation's size and the written
    // length.  All 0 without a buffer.
    virtual StatusCode TakeBuffer(uint8_t** allocation, uint32_t* prefix, uint32_t* end,
                                  uint32_t* length);
    virtual StatusCode ReleaseBuffer();
    virtual uint32_t GetPosition() const;
    virtual uint32_t GetUnread() const;
    virtual uint32_t GetLength() const;
    virtual uint32_t GetFree() const;
    virtual uint32_t GetCapacity() const;
    virtual void Rewind();
    virtual StatusCode Clear();
    virtual StatusCode Lock();
    virtual StatusCode Unlock();
    // The address of the next `count` unread bytes; with `consume` the read
    // position moves past them.  A count of 0 succeeds and sets nothing.
    virtual StatusCode Read(const uint8_t** address, uint32_t count, bool consume);
    virtual StatusCode Write(const uint8_t* data, uint32_t count);
    virtual StatusCode Unwrite(uint32_t count);

    StatusCode CreateReadBuffer(const uint8_t* data, uint32_t length);
    // Takes over a malloc'ed allocation and clears the caller's pointer.
    StatusCode AdoptReadBuffer(uint8_t** allocation, uint32_t prefix, uint32_t written,
                               uint32_t total);
    StatusCode CreateWriteBuffer(uint32_t prefix);
    StatusCode CloneBuffer(const qorStreamBuffer& buffer);

    bool IsNoThrow() const { return m_bNoThrow != 0; }
    void SetNoThrow(bool noThrow) { m_bNoThrow = noThrow ? 1 : 0; }
    bool HasBuffer() const { return m_pBuffer != nullptr; }

protected:
    // Returns `status`, or raises it when the owner is not in no-throw mode.
    StatusCode Fail(StatusCode status, const char* callText, const char* file,
                    unsigned line) const;

    // Write and Unwrite that return their status whatever the no-throw flag,
    // for subclasses that raise with their own call text.
    StatusCode WriteQuiet(const uint8_t* data, uint32_t count);
    StatusCode UnwriteQuiet(uint32_t count);

    // The buffer's data whatever a subclass answers in GetData.
    uint8_t* RawData() const { return m_pBuffer != nullptr ? m_pBuffer->Data() : nullptr; }
    void SetPosition(uint32_t position) { m_uReadPos = position; }
    void Advance(uint32_t count) { m_uReadPos += count; }

    uint32_t m_bNoThrow;
    uint32_t m_uGrowBy;

private:
    friend class qorStreamBuffer;

    StatusCode Attach(qorStreamBuffer* buffer);

    qorStreamBuffer* m_pBuffer;
    uint32_t m_uReadPos;
};
