#pragma once
// A locked list of object pointers.  The copier decides what a copy of the
// container holds and what leaving it does to an entry; with ShallowCopier
// copies share the objects and nothing is ever deleted, so the objects
// belong to whoever made them.
//
// Add and Clear take the lock; Count, iteration and the destructor do not,
// so a container is filled before it is published and then only read.

#include <cstdint>
#include <list>

#include "qorToolsLib/jsFastLock.h"
#include "qorToolsLib/jsSync.h"

template <typename T>
struct ShallowCopier {
    static T* Copy(T* pObject) { return pObject; }
    static void Release(T* /*pObject*/) {}
};

template <typename T, typename Copier>
class GenericContainer {
public:
    using const_iterator = typename std::list<T*>::const_iterator;

    GenericContainer() = default;
    // The other container's entries in the same order; null entries are
    // left out.
    GenericContainer(const GenericContainer& other) {
        for (T* pObject : other.m_Items) {
            if (pObject != nullptr) {
                m_Items.push_back(Copier::Copy(pObject));
                ++m_dwCount;
            }
        }
    }
    GenericContainer& operator=(const GenericContainer&) = delete;

    virtual ~GenericContainer() {
        for (T* pObject : m_Items) {
            Copier::Release(pObject);
        }
    }

    virtual void Clear() {
        jsFastLock guard(m_Lock, true);
        for (T* pObject : m_Items) {
            Copier::Release(pObject);
        }
        m_Items.clear();
        m_dwCount = 0;
    }

    virtual uint32_t Count() const { return m_dwCount; }

    virtual void Add(T* pObject) {
        jsFastLock guard(m_Lock, true);
        m_Items.push_back(pObject);
        ++m_dwCount;
    }

    const_iterator begin() const { return m_Items.begin(); }
    const_iterator end() const { return m_Items.end(); }

private:
    std::list<T*> m_Items;
    uint32_t m_dwCount = 0;
    jsFastSync m_Lock;
};
