#include "qorToolsLib/RuntimeWrappers.h"

#include <sys/socket.h>

#include <cstring>

#include "platform/LastError.h"
#include "qorToolsLib/BoundedFormat.h"

namespace {
constexpr size_t kTimeTextSize = 26;
}

char* StrTokR(char* text, const char* delimiters, char** token) {
    thread_local char* t_next = nullptr;
    char* found = ReentrantStrtok(text, delimiters, &t_next);
    if (token != nullptr) {
        *token = found;
    }
    return found;
}

char* CTimeR(const time_t* value, char* buffer, size_t size) {
    std::tm local{};
    if (value == nullptr || buffer == nullptr || size < kTimeTextSize ||
        ::localtime_r(value, &local) == nullptr) {
        return nullptr;
    }
    return ASCTimeR(&local, buffer, size);
}

char* ASCTimeR(const std::tm* value, char* buffer, size_t size) {
    if (value == nullptr || buffer == nullptr || size < kTimeTextSize) {
        return nullptr;
    }
    char text[64];
    if (::asctime_r(value, text) == nullptr || std::strlen(text) >= kTimeTextSize) {
        return nullptr;
    }
    std::memcpy(buffer, text, std::strlen(text) + 1);
    return buffer;
}

bool GetHostByAddr(const void* address, int length, int type, plat::HostEntry& host,
                   uint32_t& error) {
    if (address == nullptr || type != AF_INET || length != 4) {
        error = 10047;  // address family not supported
        return false;
    }
    uint32_t value = 0;
    std::memcpy(&value, address, sizeof value);
    if (!plat::LookupHostByAddress(value, host)) {
        error = plat::GetLastError();
        return false;
    }
    error = 0;
    return true;
}
