#pragma once
// Status codes of the tool library.  0 is success; library statuses carry the
// top bits 0xC0000000 and a facility in bits 16-27 (0x721 for the tool
// library itself, 0x727 for Windows Sockets style errors, 0x72D for facility 9
// codes, 0x739 for the event library).

#include <cstdint>

using StatusCode = uint32_t;

enum : StatusCode {
    QOR_S_OK = 0,
    QOR_E_NO_MEMORY = 0xC7210001u,
    QOR_E_INVALID_ARG = 0xC7210002u,
    QOR_E_INVALID_DATA = 0xC7210003u,
    QOR_E_ALLOC_FAILED = 0xC7210004u,
    QOR_E_WRONG_STATE = 0xC7210005u,
    QOR_E_BUFFER_TOO_SMALL = 0xC7210006u,
    QOR_E_READ_FAULT = 0xC7210007u,
    QOR_E_END_OF_STRUCTURE = 0xC7210008u,
    QOR_E_LIBRARY_STATE = 0xC7210009u,
    QOR_E_FILE_NOT_FOUND = 0xC721000Au,
    QOR_E_PATH_NOT_FOUND = 0xC721000Bu,
    QOR_E_NO_FILE_NAME = 0xC721000Cu,
    QOR_E_SETTINGS_FILE = 0xC721000Du,
    QOR_E_OPEN_FAILED = 0xC721000Fu,
    QOR_E_VERSION_TOO_LONG = 0xC7210010u,
    QOR_E_BUFFER_SHARED = 0xC7210011u,
    QOR_E_NOT_ENOUGH_DATA = 0xC7210012u,
    QOR_E_UNICODE_ILLEGAL = 0xC7210014u,
    QOR_E_UNICODE_RANGE = 0xC7210016u,
    QOR_E_UNICODE_UNPAIRED = 0xC7210017u,
    QOR_E_UNICODE_MALFORMED = 0xC7210019u,
    QOR_E_UNICODE_SURROGATE = 0xC721001Au,
    QOR_E_ACCESS_DENIED = 0xC721001Cu,
    QOR_E_SHARING_VIOLATION = 0xC721001Du,
    QOR_E_HANDLE_DISK_FULL = 0xC721001Eu,
    QOR_E_DISK_FULL = 0xC721001Fu,
    QOR_E_MESSAGE_72B = 0xC721002Du,
    QOR_E_MESSAGE_800 = 0xC721002Eu,
    QOR_E_UNICODE_TRUNCATED = 0xC7210032u,
    QOR_E_UNICODE_UNENCODABLE = 0xC7210034u,
};

constexpr StatusCode QOR_WSA_BASE = 0xC7270000u;
constexpr StatusCode QOR_FACILITY9_BASE = 0xC72D0000u;

constexpr bool QorSucceeded(StatusCode status) { return status == QOR_S_OK; }
constexpr uint32_t QorFacility(StatusCode status) { return (status >> 16) & 0xFFFu; }
constexpr bool IsWinsockError(uint32_t code) { return code >= 10000 && code <= 12000; }
