// hw-evlog: writes, lists and clears the records of the file-backed event
// log under $QOR_PLATFORM_ROOT, the way services and administrators would
// on a machine with a real event log.
//
//   hw-evlog register LOG [SOURCE]
//   hw-evlog append LOG SOURCE EVENT-ID [--type N] [--category N]
//                   [--sid S-1-...] [--sid-hex HEX] [--data-hex HEX]
//                   [--] [STRING ...]
//   hw-evlog list LOG
//   hw-evlog clear LOG
//
// A log exists for its readers when its key is registered; append
// registers the log and the source first.  EVENT-ID is read as a C integer
// (0x... for severity bits).  list prints one line per record: number,
// event id, type, category, source, computer, the strings joined by "|",
// and the data in hexadecimal ("-" for none).

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Accounts.h"
#include "platform/EventLog.h"
#include "platform/LastError.h"
#include "platform/Registry.h"
#include "qorToolsLib/ErrorWords.h"

namespace {

constexpr const char kLogKeys[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\";

int Usage() {
    std::fputs(
        "usage: hw-evlog register LOG [SOURCE]\n"
        "       hw-evlog append LOG SOURCE EVENT-ID [--type N] [--category N]\n"
        "                       [--sid S-1-...] [--sid-hex HEX] [--data-hex HEX]\n"
        "                       [--] [STRING ...]\n"
        "       hw-evlog list LOG\n"
        "       hw-evlog clear LOG\n",
        stderr);
    return 2;
}

int Fail(const char* what, uint32_t error) {
    std::fprintf(stderr, "hw-evlog: %s failed (error %u: %s)\n", what, error,
                 ErrorWords(error).c_str());
    return 1;
}

bool ReadNumber(const char* text, unsigned long limit, unsigned long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && value <= limit;
}

bool ReadHex(const char* text, std::vector<uint8_t>& bytes) {
    size_t length = std::strlen(text);
    if (length % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < length; i += 2) {
        char pair[3] = {text[i], text[i + 1], '\0'};
        char* end = nullptr;
        unsigned long byte = std::strtoul(pair, &end, 16);
        if (end != pair + 2) {
            return false;
        }
        bytes.push_back(static_cast<uint8_t>(byte));
    }
    return true;
}

uint32_t Register(const std::string& log, const std::string& source) {
    std::string path = kLogKeys + log;
    if (!source.empty()) {
        path += "\\" + source;
    }
    plat::RegistryKey key = 0;
    if (uint32_t error = plat::RegistryCreateKey(plat::kRegistryLocalMachine, path.c_str(), &key)) {
        return error;
    }
    plat::RegistryCloseKey(key);
    return plat::RegistryFlush();
}

int Append(int argc, char** argv) {
    if (argc < 5) {
        return Usage();
    }
    const char* log = argv[2];
    const char* source = argv[3];
    unsigned long eventId = 0;
    if (!ReadNumber(argv[4], 0xFFFFFFFFul, eventId)) {
        return Usage();
    }
    unsigned long type = plat::kEventInformation;
    unsigned long category = 0;
    std::vector<uint8_t> sid;
    std::vector<uint8_t> data;
    std::vector<const char*> strings;
    int i = 5;
    for (; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--") {
            ++i;
            break;
        }
        if (option.rfind("--", 0) != 0) {
            break;
        }
        if (i + 1 >= argc) {
            return Usage();
        }
        const char* value = argv[++i];
        bool ok = option == "--type"       ? ReadNumber(value, 0xFFFF, type)
                  : option == "--category" ? ReadNumber(value, 0xFFFF, category)
                  : option == "--sid"      ? plat::SidFromText(value, sid)
                  : option == "--sid-hex"  ? ReadHex(value, sid)
                  : option == "--data-hex" ? ReadHex(value, data)
                                           : false;
        if (!ok) {
            return Usage();
        }
    }
    for (; i < argc; ++i) {
        strings.push_back(argv[i]);
    }
    if (uint32_t error = Register(log, source)) {
        return Fail("registering the source", error);
    }
    plat::EventSource* handle = plat::RegisterEventSource(source, log);
    if (handle == nullptr) {
        return Fail("opening the log", plat::GetLastError());
    }
    uint32_t error = plat::ReportEvent(
        handle, static_cast<uint16_t>(type), static_cast<uint16_t>(category),
        static_cast<uint32_t>(eventId), sid.empty() ? nullptr : sid.data(),
        static_cast<uint32_t>(sid.size()), static_cast<uint16_t>(strings.size()),
        strings.empty() ? nullptr : strings.data(), static_cast<uint32_t>(data.size()),
        data.empty() ? nullptr : data.data());
    plat::DeregisterEventSource(handle);
    return error == 0 ? 0 : Fail("appending the record", error);
}

uint32_t Word(const uint8_t* record, uint32_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, record + offset, sizeof value);  // the store is little-endian, as is this host
    return value;
}

uint16_t Half(const uint8_t* record, uint32_t offset) {
    uint16_t value = 0;
    std::memcpy(&value, record + offset, sizeof value);
    return value;
}

// The NUL-ended text at `offset`, not reading past `end`.
std::string Text(const uint8_t* record, uint32_t offset, uint32_t end) {
    if (offset >= end) {
        return std::string();
    }
    const char* start = reinterpret_cast<const char*>(record + offset);
    return std::string(start, ::strnlen(start, end - offset));
}

void PrintRecord(const uint8_t* record) {
    using L = plat::EventLogLayout;
    const uint32_t length = Word(record, L::kLength);
    const uint32_t end = length - 4;
    std::string source = Text(record, L::kSourceName, end);
    std::string computer = Text(record, L::kSourceName + static_cast<uint32_t>(source.size()) + 1, end);
    std::string strings;
    uint32_t at = Word(record, L::kStringOffset);
    for (uint16_t n = 0; n < Half(record, L::kNumStrings) && at < end; ++n) {
        std::string text = Text(record, at, end);
        strings += (n > 0 ? "|" : "") + text;
        at += static_cast<uint32_t>(text.size()) + 1;
    }
    std::string data;
    const uint32_t dataOffset = Word(record, L::kDataOffset);
    const uint32_t dataLength = Word(record, L::kDataLength);
    for (uint32_t n = 0; n < dataLength && dataOffset + n < end; ++n) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", record[dataOffset + n]);
        data += hex;
    }
    std::printf("%u 0x%x %u %u %s %s %s %s\n", Word(record, L::kRecordNumber),
                Word(record, L::kEventId), Half(record, L::kEventType),
                Half(record, L::kEventCategory), source.c_str(), computer.c_str(),
                strings.empty() ? "-" : strings.c_str(), data.empty() ? "-" : data.c_str());
}

int List(const char* log) {
    plat::EventLogReader* reader = plat::OpenEventLog(log);
    if (reader == nullptr) {
        return Fail("opening the log", plat::GetLastError());
    }
    std::vector<uint8_t> buffer(0x10000);
    for (;;) {
        uint32_t read = 0;
        uint32_t needed = 0;
        uint32_t error = plat::ReadEventLog(
            reader, plat::kEventLogSequentialRead | plat::kEventLogForwardsRead, 0, buffer.data(),
            static_cast<uint32_t>(buffer.size()), &read, &needed);
        if (error == plat::kErrInsufficientBuffer) {
            buffer.resize(needed);
            continue;
        }
        if (error != 0) {
            plat::CloseEventLog(reader);
            return error == plat::kErrHandleEof ? 0 : Fail("reading the log", error);
        }
        for (uint32_t at = 0; at < read; at += Word(buffer.data() + at, 0)) {
            PrintRecord(buffer.data() + at);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return Usage();
    }
    const std::string command = argv[1];
    if (command == "register" && argc <= 4) {
        uint32_t error = Register(argv[2], argc == 4 ? argv[3] : "");
        return error == 0 ? 0 : Fail("registering the log", error);
    }
    if (command == "append") {
        return Append(argc, argv);
    }
    if (command == "list" && argc == 3) {
        return List(argv[2]);
    }
    if (command == "clear" && argc == 3) {
        uint32_t error = plat::ClearEventLog(argv[2]);
        return error == 0 ? 0 : Fail("clearing the log", error);
    }
    return Usage();
}
