// Plays the web-server module: joins the shared memory the sensor made and
//   hw-webmodule [--root DIR] COMMAND ...
//       finds the objects of the sensor whose root is DIR (by default those
//       of the object scope its environment names);
//   hw-webmodule write [--name N] [--id TID] [--class TEXT] [--src A:P]
//                      [--dst A:P] [--src-mac T] [--dst-mac T] [--proto N]
//                      [--outcome N] [--count K] [--every MS | --rate R]
//       appends K event messages to the ring ("overflow" when the sensor
//       has not yet cleared a drop), each through the ring's own write,
//       which wakes the sensor and, for a message that finds no room, sets
//       the overflow flag and counts the drop; with --every, one every MS
//       milliseconds until K are written (K 0: no limit) or its standard
//       input ends, each through an opening of its own, so that the
//       module holds the ring only while it writes, and each numbered:
//       "n=I" (I from 1) ends its class text.  With --rate, R numbered
//       messages a second on a schedule kept from the first (a message
//       late for its time does not put the later ones back), through one
//       opening held for the run, as a busy web server's module writes
//       them.  Either then says "written W, not written F" (F: those that
//       found no room in the ring, or its lock not free) and fails when F
//       is not 0 (a message that found the lock held is in F, but in no
//       count the sensor can read);
//   hw-webmodule config
//       prints the configuration area, one item a line;
//   hw-webmodule hold-lock
//       takes the ring's lock, says "holding" and waits to be killed.

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "ApacheEngine/WebSharedMemory.h"
#include "ApacheEngine/WebShmFormat.h"
#include "platform/NamedObject.h"

namespace {

uint32_t Get32(const uint8_t* pView, uint32_t dwOffset) {
    uint32_t dwValue;
    std::memcpy(&dwValue, pView + dwOffset, sizeof dwValue);
    return dwValue;
}

// A NUL-terminated field of at most `size` bytes, cut at its end.
std::string FieldText(const uint8_t* pField, size_t size) {
    return std::string(reinterpret_cast<const char*>(pField), strnlen(reinterpret_cast<const char*>(pField), size));
}

bool ParseEndpoint(const char* pszText, uint32_t& dwAddress, uint16_t& wPort) {
    std::string text = pszText;
    size_t colon = text.rfind(':');
    in_addr address{};
    if (colon == std::string::npos || inet_pton(AF_INET, text.substr(0, colon).c_str(), &address) != 1)
        return false;
    dwAddress = ntohl(address.s_addr);
    wPort = static_cast<uint16_t>(std::strtoul(text.c_str() + colon + 1, nullptr, 10));
    return true;
}

int Usage() {
    std::fprintf(stderr, "usage: hw-webmodule [--root DIR] write [options] | config | hold-lock\n");
    return 2;
}

// Whether standard input ended (or failed) within `nMs` milliseconds.
bool InputEnds(int nMs) {
    pollfd entry{STDIN_FILENO, POLLIN, 0};
    if (poll(&entry, 1, nMs) <= 0)
        return false;
    char buffer[64];
    return read(STDIN_FILENO, buffer, sizeof buffer) <= 0;
}

// The class text of message number `nNumber`: the items of `strClass`
// (terminator included, or empty), then "n=I", then the terminator.
std::string NumberedClass(const std::string& strClass, long nNumber) {
    std::string strText = strClass.empty() ? std::string() : strClass.substr(0, strClass.size() - 1) + ",";
    strText += "n=" + std::to_string(nNumber);
    strText.push_back('\0');
    return strText;
}

// One message into the ring this process has open; false when it did not
// go in: a message that finds no room is dropped through the ring's own
// write, which sets the overflow flag and counts it for the sensor.
bool WriteIfRoom(WebEventRecord record, const std::string& strText) {
    record.nClassLength = static_cast<int32_t>(strText.size());
    bool bWritten = false;
    return WebShmWriteEvent(record, strText.data(), &bWritten) == 0 && bWritten;
}

// One numbered message through an opening of its own; false when it did
// not reach the ring (not open, lock not had, or no room).
bool WriteNumbered(const WebEventRecord& record, const std::string& strClass, long nNumber) {
    if (WebShmAttach(false) != 0)
        return false;
    const bool bWritten = WriteIfRoom(record, NumberedClass(strClass, nNumber));
    WebShmDetach();
    return bWritten;
}

int Tally(long nWritten, long nFailed) {
    std::printf("written %ld, not written %ld\n", nWritten, nFailed);
    return nFailed == 0 ? 0 : 1;
}

int WriteEvery(const WebEventRecord& record, const std::string& strClass, long nCount, int nEveryMs) {
    long nWritten = 0;
    long nFailed = 0;
    for (long n = 1; nCount == 0 || n <= nCount; ++n) {
        ++(WriteNumbered(record, strClass, n) ? nWritten : nFailed);
        if (InputEnds(nEveryMs))
            break;
    }
    return Tally(nWritten, nFailed);
}

// Message n (from 1) is due (n - 1) / R seconds after the first; a message
// found late is written at once, so the rate holds over the run.
int WriteAtRate(const WebEventRecord& record, const std::string& strClass, long nCount, double dRate) {
    if (WebShmAttach(false) != 0)
        return Tally(0, nCount);
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    long nWritten = 0;
    long nFailed = 0;
    for (long n = 1; nCount == 0 || n <= nCount; ++n) {
        std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(static_cast<double>(n - 1) / dRate)));
        if (InputEnds(0))
            break;
        ++(WriteIfRoom(record, NumberedClass(strClass, n)) ? nWritten : nFailed);
    }
    WebShmDetach();
    return Tally(nWritten, nFailed);
}

int Write(int argc, char** argv) {
    WebEventRecord record{};
    std::string strClass;
    long nCount = 1;
    int nEveryMs = -1;
    double dRate = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        const char* pszValue = argv[i + 1];
        if (option == "--name") {
            std::snprintf(record.szEventName, sizeof record.szEventName, "%s", pszValue);
        } else if (option == "--id") {
            record.nEventId = static_cast<int32_t>(std::strtol(pszValue, nullptr, 10));
        } else if (option == "--class") {
            // The sensor takes the last byte as the terminator.
            strClass.assign(pszValue).push_back('\0');
        } else if (option == "--src") {
            if (!ParseEndpoint(pszValue, record.dwIntruderAddress, record.wIntruderPort))
                return Usage();
        } else if (option == "--dst") {
            if (!ParseEndpoint(pszValue, record.dwVictimAddress, record.wVictimPort))
                return Usage();
        } else if (option == "--src-mac") {
            std::snprintf(record.szIntruderMac, sizeof record.szIntruderMac, "%s", pszValue);
        } else if (option == "--dst-mac") {
            std::snprintf(record.szVictimMac, sizeof record.szVictimMac, "%s", pszValue);
        } else if (option == "--proto") {
            record.dwProtocol = static_cast<uint32_t>(std::strtoul(pszValue, nullptr, 10));
        } else if (option == "--outcome") {
            record.nOutcome = static_cast<int32_t>(std::strtol(pszValue, nullptr, 10));
        } else if (option == "--count") {
            nCount = std::strtol(pszValue, nullptr, 10);
        } else if (option == "--every") {
            nEveryMs = static_cast<int>(std::strtol(pszValue, nullptr, 10));
        } else if (option == "--rate") {
            dRate = std::strtod(pszValue, nullptr);
            if (!(dRate > 0))
                return Usage();
        } else {
            return Usage();
        }
    }
    if (dRate > 0)
        return WriteAtRate(record, strClass, nCount, dRate);
    if (nEveryMs >= 0)
        return WriteEvery(record, strClass, nCount, nEveryMs);
    record.nClassLength = static_cast<int32_t>(strClass.size());
    if (WebShmAttach(false) != 0)
        return 1;
    for (long n = 0; n < nCount; ++n)
        WebShmWriteEvent(record, strClass.data());
    if (Get32(WebShmEvView(), kWebEvOverflow) != 0)
        std::printf("overflow\n");
    WebShmDetach();
    return 0;
}

int PrintConfig() {
    if (WebShmAttach(false) != 0 || !WebShmLockConf())
        return 1;
    const uint8_t* pView = WebShmConfView();
    uint32_t dwFlags = Get32(pView, kWebConfFlags);
    std::printf("flags %u\ntime %u\n", dwFlags, Get32(pView, kWebConfTime));
    if (dwFlags & kWebConfParamsValid) {
        uint32_t dwCount = Get32(pView, kWebConfParamCount);
        for (uint32_t i = 0; i < dwCount && i < kWebConfMaxParams; ++i) {
            const uint8_t* pEntry = pView + kWebConfParams + i * kWebConfParamSize;
            std::printf("param %s=%s\n", FieldText(pEntry, kWebConfParamFieldSize).c_str(),
                        FieldText(pEntry + kWebConfParamFieldSize, kWebConfParamFieldSize).c_str());
        }
    }
    if (dwFlags & kWebConfEventsValid) {
        uint32_t dwCount = Get32(pView, kWebConfEventCount);
        std::printf("block %u period %u events %u\n", pView[kWebConfBlockEnabled], Get32(pView, kWebConfBlockPeriod),
                    dwCount);
        for (uint32_t i = 0; i < dwCount && i < kWebConfMaxEvents; ++i) {
            const uint8_t* pEntry = pView + kWebConfEvents + i * kWebConfEventSize;
            uint16_t wAllow, wAddresses;
            std::memcpy(&wAllow, pEntry + kWebEntryAllow, 2);
            std::memcpy(&wAddresses, pEntry + kWebEntryAddressCount, 2);
            std::printf("event first %u tid %d response 0x%x allow %u", Get32(pEntry, kWebEntryFirstWord),
                        static_cast<int32_t>(Get32(pEntry, kWebEntryTid)), Get32(pEntry, kWebEntryResponse), wAllow);
            for (uint32_t k = 0; k < wAddresses && k < kWebEntryMaxAddresses; ++k) {
                const uint8_t* pSlot = pEntry + kWebEntryAddresses + k * kWebEntryAddressSize;
                in_addr address{}, mask{};
                std::memcpy(&address.s_addr, pSlot, 4);
                std::memcpy(&mask.s_addr, pSlot + 4, 4);
                char szAddress[INET_ADDRSTRLEN], szMask[INET_ADDRSTRLEN];
                inet_ntop(AF_INET, &address, szAddress, sizeof szAddress);
                inet_ntop(AF_INET, &mask, szMask, sizeof szMask);
                std::printf(" %s/%s", szAddress, szMask);
            }
            std::printf("\n");
        }
    }
    WebShmUnlockConf();
    WebShmDetach();
    return 0;
}

int HoldLock() {
    if (WebShmAttach(false) != 0 || !WebShmLockEvent())
        return 1;
    std::printf("holding\n");
    std::fflush(stdout);
    for (;;)
        pause();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--root") == 0) {
        plat::SetObjectScope(plat::ObjectScopeOfRoot(argv[2]));
        argv[2] = argv[0];
        argc -= 2;
        argv += 2;
    }
    if (argc < 2)
        return Usage();
    std::string command = argv[1];
    if (command == "write")
        return Write(argc, argv);
    if (command == "config")
        return PrintConfig();
    if (command == "hold-lock")
        return HoldLock();
    return Usage();
}
