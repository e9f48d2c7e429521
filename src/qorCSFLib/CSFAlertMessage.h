#pragma once
// The message in which the host receives an alert event: a 12-byte header
// of three big-endian words (message type, version, length of what
// follows) and then the event's own bytes.  The host makes the message; the
// event fills it.  The three header fields are kept in big-endian order and
// written into the first 12 bytes once the message holds them.

#include <cstdint>

#include "qorToolsLib/qorStreamBufferOwner.h"

class CSFAlertMessage : public qorStreamBufferOwner {
public:
    static constexpr uint32_t kHeaderSize = 12;

    explicit CSFAlertMessage(bool noThrow = true, uint32_t growBy = kDefaultGrowth);

    void SetMessageType(uint32_t dwType);
    void SetMessageVersion(uint32_t dwVersion);
    // Writes the header first when the message is still empty, then the
    // bytes, and brings the length word up to date.
    StatusCode AppendPayload(const uint8_t* pBytes, uint32_t dwCount);

    // The fields as numbers of the machine.
    uint32_t GetMessageType() const;
    uint32_t GetMessageVersion() const;
    uint32_t GetPayloadLength() const;

    // The growth increment of later buffers.
    void SetGrowBy(uint32_t dwGrowBy) { m_uGrowBy = dwGrowBy; }
    uint32_t GetGrowBy() const { return m_uGrowBy; }

private:
    // Stores a big-endian field, and writes it into the header when the
    // message already holds one.
    void SetField(uint8_t (&field)[4], uint32_t dwValue, uint32_t dwOffset);

    uint8_t m_abyType[4] = {};
    uint8_t m_abyVersion[4] = {};
    uint8_t m_abyLength[4] = {};
};
