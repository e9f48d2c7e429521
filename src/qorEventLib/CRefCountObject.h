#pragma once
// Reference-counted bases: the payloads of alert values count on one thread
// at a time; events, which the host may hold from several threads, guard
// their count with a lock.  An object starts with count 0 and deletes
// itself when Release brings the count back to 0.

#include <cstdint>

#include "qorToolsLib/jsSync.h"

class CRefCountObject {
public:
    CRefCountObject() = default;
    CRefCountObject(const CRefCountObject&) = delete;
    CRefCountObject& operator=(const CRefCountObject&) = delete;

    virtual int32_t AddRef();
    virtual int32_t Release();
    virtual ~CRefCountObject();

    int32_t RefCount() const { return m_lRefCount; }

protected:
    int32_t m_lRefCount = 0;
};

class CRefCountThreadsafeObject : public CRefCountObject {
public:
    int32_t AddRef() override;
    int32_t Release() override;
    ~CRefCountThreadsafeObject() override;

private:
    jsFastSync m_lock;
};
