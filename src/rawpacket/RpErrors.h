#pragma once
// The library's exception family, the throw helpers that compose their texts
// from the message table, and the map from driver-library statuses onto the
// library's own message identifiers.

#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>

namespace rp {

// Statuses the library raises or answers.
enum : uint32_t {
    kStatusOpenUnsupportedMedium = 0xC72101F9u,
    kStatusOpenNoAdapterTable = 0xC72101FDu,
    kStatusOpenFailedInside = 0xC72101FFu,
    kStatusSendFailed = 0xC7210204u,
    kStatusBufferFailed = 0xC721020Eu,
    kStatusOpenFailure = 0xC721020Fu,
    kStatusDriverStopped = 0xC7210210u,
    kStatusUnsupported = 0xC7210214u,
    kStatusBadAddressText = 0xC7210216u,
    kStatusBadAddressValue = 0xC7210217u,
    kStatusNoTransmit = 0xC7210218u,
    kStatusNotImplemented = 0xC7210228u,
    kStatusUnsupportedAdapter = 0x8721020Du,
};

// Statuses of the packet-capture driver library that the library itself
// names (the others are the driver library's business).
enum : uint32_t {
    kDllNothingRead = 0xE0001001u,
    kDllInvalidParameter = 0xE0001002u,
    kDllTimedOutUnloaded = 0xE0001003u,
    kDllAdapterNotFound = 0xE0001004u,
    kDllNotOpen = 0xE0001005u,
    kDllSystemError = 0xE0001006u,
    kDllNotSupported = 0xE0001008u,
    kDllNoFrame = 0xE000101Fu,
    kDllAlreadyInitialised = 0xE0001033u,
    kDllTransmitOpen = 0xE0001048u,
    kDllReceiveExists = 0xE000104Bu,
    // A read that delivers no frame but words for its reader (PacketGetAdapterNotice).
    kDllAdapterNotice = 0xE0001050u,
};

class RuntimeError : public std::runtime_error {
public:
    explicit RuntimeError(const std::string& text) : std::runtime_error(text) {}
};
class OpenError : public RuntimeError {
public:
    explicit OpenError(const std::string& text) : RuntimeError(text) {}
};
class ResourceError : public RuntimeError {
public:
    explicit ResourceError(const std::string& text) : RuntimeError(text) {}
};
class UnsupportedAdapter : public RuntimeError {
public:
    explicit UnsupportedAdapter(const std::string& text) : RuntimeError(text) {}
};
class LogicError : public std::logic_error {
public:
    explicit LogicError(const std::string& text) : std::logic_error(text) {}
};
class InvalidArgument : public std::invalid_argument {
public:
    explicit InvalidArgument(const std::string& text) : std::invalid_argument(text) {}
};

inline std::ostream& operator<<(std::ostream& out, const std::exception& error) {
    return out << error.what();
}

// Source of message texts: the library's own table first, the system's
// texts second, as a message-table lookup would.
class MessageSource {
public:
    virtual ~MessageSource() = default;
    virtual std::string getText(uint32_t id, uint32_t reason, const std::string& insert1,
                                const std::string& insert2) = 0;
};

class MessageText : public MessageSource {
public:
    std::string getText(uint32_t id, uint32_t reason, const std::string& insert1,
                        const std::string& insert2) override;
};

// The message module is kept for callers that name one; this library's
// texts live in its own table whatever the module.
void setMessageModule(void* module);
void* messageModule();

uint32_t mapPacketStatus(uint32_t status);
std::string systemErrorText(uint32_t number);

[[noreturn]] void throwResourceError(bool trace, const std::string& text, uint32_t systemError,
                                     const char* file, int line);
[[noreturn]] void throwResourceError(const std::string& text, uint32_t systemError, const char* file,
                                     int line);
[[noreturn]] void throwOpenError(const std::string& name, uint32_t code, const char* file, int line);
[[noreturn]] void throwOpenError(const std::string& first, const std::string& second, const char* file,
                                 int line);
[[noreturn]] void throwRuntimeError(uint32_t status, uint32_t driverStatus, const std::string& first,
                                    const std::string& second, const char* file, int line);
// The same with the driver library's own words for the reason, where it
// gave them instead of a bare status.
[[noreturn]] void throwRuntimeError(uint32_t status, const std::string& reason, const std::string& first,
                                    const std::string& second, const char* file, int line);
[[noreturn]] void throwUnsupportedAdapter(const std::string& first, const std::string& second,
                                          const char* file, int line);
[[noreturn]] void throwInvalidArgument(const std::string& text, const char* file, int line);
[[noreturn]] void throwLogicError(const std::string& text, const char* file, int line);

}  // namespace rp
