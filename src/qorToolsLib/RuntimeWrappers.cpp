#include "qorToolsLib/RuntimeWrappers.h"

#include <cstring>

#include "platform/Files.h"
#include "platform/LastError.h"
#include "qorToolsLib/BoundedFormat.h"

namespace {

constexpr size_t kTimeTextSize = 26;

const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

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
        !plat::LocalTime(*value, local)) {
        return nullptr;
    }
    return ASCTimeR(&local, buffer, size);
}

char* ASCTimeR(const std::tm* value, char* buffer, size_t size) {
    if (value == nullptr || buffer == nullptr || size < kTimeTextSize) {
        return nullptr;
    }
    if (value->tm_wday < 0 || value->tm_wday > 6 || value->tm_mon < 0 || value->tm_mon > 11) {
        return nullptr;
    }
    // The C library's fixed layout; a year past 9999 does not fit in it.
    char text[64];
    int length = BoundedSnprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %lld\n",
                                 kDayNames[value->tm_wday], kMonthNames[value->tm_mon],
                                 value->tm_mday, value->tm_hour, value->tm_min, value->tm_sec,
                                 1900LL + value->tm_year);
    if (length < 0 || static_cast<size_t>(length) >= kTimeTextSize) {
        return nullptr;
    }
    std::memcpy(buffer, text, static_cast<size_t>(length) + 1);
    return buffer;
}

bool GetHostByAddr(const void* address, int length, int type, plat::HostEntry& host,
                   uint32_t& error) {
    if (address == nullptr || type != plat::kAddressFamilyIpv4 || length != 4) {
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
