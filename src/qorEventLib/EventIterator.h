#pragma once
// A position within one section of an event.  The record pointer is a view
// into the section and is valid until the section next grows; the event's
// own operations locate records by section and index, never through it.

#include <cstdint>

#include "qorEventLib/AlertValue.h"

struct EventIterator {
    const EventAVP* m_pRecord = nullptr;
    uint8_t m_bValid = 0;
    uint32_t m_uSection = 0;
    // -1 for the position after the last record.
    int32_t m_iIndex = -1;

    bool IsValid() const { return m_bValid != 0; }
    const EventAVP* operator->() const { return m_pRecord; }
    const EventAVP& operator*() const { return *m_pRecord; }

    // Steps to the next record; past the last one the iterator equals End.
    EventIterator& operator++() {
        ++m_pRecord;
        ++m_iIndex;
        return *this;
    }

    bool operator==(const EventIterator& other) const {
        return m_bValid == other.m_bValid && m_uSection == other.m_uSection &&
               m_pRecord == other.m_pRecord;
    }
};
