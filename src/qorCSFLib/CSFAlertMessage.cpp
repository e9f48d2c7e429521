#include "qorCSFLib/CSFAlertMessage.h"

#include <cstring>

namespace {

void PutBigEndian(uint8_t (&field)[4], uint32_t dwValue) {
    field[0] = static_cast<uint8_t>(dwValue >> 24);
    field[1] = static_cast<uint8_t>(dwValue >> 16);
    field[2] = static_cast<uint8_t>(dwValue >> 8);
    field[3] = static_cast<uint8_t>(dwValue);
}

uint32_t GetBigEndian(const uint8_t (&field)[4]) {
    return (uint32_t{field[0]} << 24) | (uint32_t{field[1]} << 16) | (uint32_t{field[2]} << 8) |
           uint32_t{field[3]};
}

}  // namespace

CSFAlertMessage::CSFAlertMessage(bool noThrow, uint32_t growBy)
    : qorStreamBufferOwner(noThrow, growBy) {}

void CSFAlertMessage::SetField(uint8_t (&field)[4], uint32_t dwValue, uint32_t dwOffset) {
    PutBigEndian(field, dwValue);
    if (GetLength() >= kHeaderSize && GetData() != nullptr) {
        std::memcpy(GetData() + dwOffset, field, sizeof field);
    }
}

void CSFAlertMessage::SetMessageType(uint32_t dwType) {
    SetField(m_abyType, dwType, 0);
}

void CSFAlertMessage::SetMessageVersion(uint32_t dwVersion) {
    SetField(m_abyVersion, dwVersion, 4);
}

StatusCode CSFAlertMessage::AppendPayload(const uint8_t* pBytes, uint32_t dwCount) {
    if (GetLength() == 0) {
        uint8_t header[kHeaderSize];
        std::memcpy(header, m_abyType, 4);
        std::memcpy(header + 4, m_abyVersion, 4);
        std::memcpy(header + 8, m_abyLength, 4);
        StatusCode status = Write(header, sizeof header);
        if (status != QOR_S_OK) {
            return status;
        }
    }
    if (dwCount > 0) {
        StatusCode status = Write(pBytes, dwCount);
        if (status != QOR_S_OK) {
            return status;
        }
    }
    uint32_t dwLength = GetLength();
    SetField(m_abyLength, dwLength >= kHeaderSize ? dwLength - kHeaderSize : 0, 8);
    return QOR_S_OK;
}

uint32_t CSFAlertMessage::GetMessageType() const {
    return GetBigEndian(m_abyType);
}

uint32_t CSFAlertMessage::GetMessageVersion() const {
    return GetBigEndian(m_abyVersion);
}

uint32_t CSFAlertMessage::GetPayloadLength() const {
    return GetBigEndian(m_abyLength);
}
