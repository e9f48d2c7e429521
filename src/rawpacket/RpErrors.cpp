#include "rawpacket/RpErrors.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/SystemMessage.h"
#include "rawpacket/RpTrace.h"

namespace rp {
namespace {

// The library's message table: at most two inserts per text.
struct MessageEntry {
    uint32_t m_dwId;
    const char* m_szText;
};

constexpr MessageEntry kMessages[] = {
    {kStatusOpenUnsupportedMedium, "Adapter %1 uses a network medium that cannot be captured."},
    {kStatusOpenNoAdapterTable, "No adapter table is registered to open %1."},
    {kStatusOpenFailedInside, "Opening adapter %1 failed unexpectedly."},
    {kStatusSendFailed, "%1 on adapter %2."},
    {kStatusBufferFailed, "%1 could not be set up on adapter %2."},
    {kStatusOpenFailure, "Cannot open %1: %2"},
    {kStatusDriverStopped, "The packet driver is stopped."},
    {kStatusUnsupported, "The adapter does not support this operation."},
    {kStatusBadAddressText, "The hardware address %1 is not hexadecimal byte values joined by \"-\"."},
    {kStatusBadAddressValue, "The hardware address %1 is too short or not a usable address."},
    {kStatusNoTransmit, "The adapter cannot transmit."},
    {kStatusNotImplemented, "The operation is not implemented on this host."},
    {kStatusUnsupportedAdapter, "No packet driver supports adapter %1 %2"},
    // Driver-library statuses after mapPacketStatus.
    {0xC72103E8u, "The packet driver library was given an invalid parameter."},
    {0xC72103E9u, "The adapter timed out and was unloaded."},
    {0xC72103EAu, "The packet driver library knows no such adapter."},
    {0xC72103EBu, "The adapter is not open."},
    {0xC72103ECu, "A system call of the packet driver library failed."},
    {0xC72103EDu, "The adapter does not support the request."},
    {0xC7210404u, "No frame arrived within the read time-out."},
    {0xC7210417u, "The packet driver library is already initialised."},
    {0xC721042Bu, "The transmit buffer is already open."},
};

void* g_pMessageModule = nullptr;

const char* FindMessage(uint32_t id) {
    for (const MessageEntry& entry : kMessages) {
        if (entry.m_dwId == id) {
            return entry.m_szText;
        }
    }
    return nullptr;
}

std::string Substitute(const char* text, const std::string& insert1, const std::string& insert2) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        if (p[0] == '%' && (p[1] == '1' || p[1] == '2' || p[1] == '3')) {
            out += p[1] == '1' ? insert1 : p[1] == '2' ? insert2 : std::string();
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

// Our table first, then the system's texts (plain error numbers and the
// tool library's statuses).
bool LookUp(uint32_t id, const std::string& insert1, const std::string& insert2, std::string& out) {
    if (const char* text = FindMessage(id)) {
        out = Substitute(text, insert1, insert2);
        return true;
    }
    return plat::LookupSystemMessage(id, &insert1, 0xFF, out) == 0;
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

// Four runs of consecutive driver statuses onto consecutive identifiers.
struct StatusRun {
    uint32_t m_dwFirst;
    uint32_t m_dwLast;
    uint32_t m_dwId;
};
constexpr std::array<StatusRun, 4> kStatusRuns = {{
    {0xE0001002u, 0xE0001006u, 0xC72103E8u},
    {0xE0001008u, 0xE000102Cu, 0xC72103EDu},
    {0xE000102Eu, 0xE0001036u, 0xC7210412u},
    {0xE0001038u, 0xE000104Au, 0xC721041Bu},
}};

std::string Compose(uint32_t status, uint32_t reason, const std::string& first, const std::string& second) {
    MessageText source;
    return source.getText(status, reason, first, second);
}

}  // namespace

std::string MessageText::getText(uint32_t id, uint32_t reason, const std::string& insert1,
                                 const std::string& insert2) {
    if (id == 0) {
        return std::string();
    }
    std::string text;
    bool endsInPeriod = false;
    if (LookUp(id, insert1, insert2, text)) {
        if (text.size() >= 2 && text.back() == '\n') {
            text.pop_back();
            if (text.back() == '\r') {
                text.pop_back();
            }
        }
        endsInPeriod = text.size() >= 3 && text[text.size() - 1] == '.';
    } else {
        text = "Unknown error 0x" + Hex(id);
    }
    if (reason != 0) {
        std::string reasonText;
        if (LookUp(reason, insert1, insert2, reasonText)) {
            text += endsInPeriod ? " Reason=" : ": ";
            text += reasonText;
        } else {
            text += ": Unknown reason code 0x" + Hex(reason);
        }
    }
    return text;
}

void setMessageModule(void* module) { g_pMessageModule = module; }
void* messageModule() { return g_pMessageModule; }

uint32_t mapPacketStatus(uint32_t status) {
    for (const StatusRun& run : kStatusRuns) {
        if (status >= run.m_dwFirst && status <= run.m_dwLast) {
            return run.m_dwId + (status - run.m_dwFirst);
        }
    }
    return status;
}

std::string systemErrorText(uint32_t number) {
    const char* text = std::strerror(static_cast<int>(number));
    if (text == nullptr || *text == '\0') {
        return "Unknown system error 0x" + Hex(number);
    }
    return text;
}

void throwResourceError(bool trace, const std::string& text, uint32_t /*systemError*/, const char* /*file*/,
                        int /*line*/) {
    if (trace) {
        traceAt(700, text);
    }
    throw ResourceError(text);
}

void throwResourceError(const std::string& text, uint32_t systemError, const char* file, int line) {
    throwResourceError(true, text, systemError, file, line);
}

void throwOpenError(const std::string& name, uint32_t code, const char* /*file*/, int /*line*/) {
    uint32_t reasonCode = code;
    if ((reasonCode & 0xE0000000u) != 0) {
        reasonCode &= 0x1FFFFFFFu;
    }
    std::string reason;
    if (mapPacketStatus(reasonCode) <= 43) {
        reason = systemErrorText(mapPacketStatus(reasonCode));
    }
    throw OpenError(Compose(kStatusOpenFailure, 0, name, reason));
}

void throwOpenError(const std::string& first, const std::string& second, const char* /*file*/, int /*line*/) {
    throw OpenError(Compose(kStatusOpenFailure, 0, first, second));
}

void throwRuntimeError(uint32_t status, uint32_t driverStatus, const std::string& first,
                       const std::string& second, const char* /*file*/, int /*line*/) {
    throw RuntimeError(Compose(status, mapPacketStatus(driverStatus), first, second));
}

void throwRuntimeError(uint32_t status, const std::string& reason, const std::string& first,
                       const std::string& second, const char* /*file*/, int /*line*/) {
    std::string text = Compose(status, 0, first, second);
    text += text.size() >= 3 && text.back() == '.' ? " Reason=" : ": ";
    throw RuntimeError(text + reason);
}

void throwUnsupportedAdapter(const std::string& first, const std::string& second, const char* /*file*/,
                             int /*line*/) {
    throw UnsupportedAdapter(Compose(kStatusUnsupportedAdapter, 0, first, second));
}

void throwInvalidArgument(const std::string& text, const char* /*file*/, int /*line*/) {
    throw InvalidArgument(text);
}

void throwLogicError(const std::string& text, const char* /*file*/, int /*line*/) { throw LogicError(text); }

}  // namespace rp
