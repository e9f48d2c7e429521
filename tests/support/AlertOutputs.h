#pragma once
// hwhost's alert outputs read back whole: the XML file as its documents,
// the host message file as a host reads it (the 12-byte header of type
// 600, version 5 and the payload length, then the event's tagged stream,
// loaded into an event).  A torn document or message anywhere is a problem
// named with its place.  Programs that include this link qorEventLib.

#include <cstddef>
#include <cstdint>
#include <string>

#include "qorEventLib/CQorEvent.h"
#include "qorToolsLib/qorStreamBufferOwner.h"

namespace hwtest {

// The documents of an alert file, each beginning with "<event " and ending
// with "</event>" and an empty line; `problem` stays "" when all are whole.
inline size_t CountWholeDocuments(const std::string& xml, std::string& problem) {
    static const std::string kBegin = "<event ";
    static const std::string kEnd = "</event>\n\n";
    size_t count = 0;
    for (size_t at = 0; at < xml.size(); ++count) {
        const size_t end = xml.find(kEnd, at);
        if (xml.compare(at, kBegin.size(), kBegin) != 0 || end == std::string::npos ||
            xml.find(kBegin, at + 1) < end) {
            problem = "document " + std::to_string(count + 1) + " at byte " + std::to_string(at) +
                      " is not whole: " + xml.substr(at, 80);
            return count;
        }
        at = end + kEnd.size();
    }
    return count;
}

// The host messages of a message file, each decoded into an event.
inline size_t CountWholeMessages(const std::string& bytes, std::string& problem) {
    constexpr size_t kHeader = 12;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const auto Word = [&](size_t at) {
        return (uint32_t{p[at]} << 24) | (uint32_t{p[at + 1]} << 16) | (uint32_t{p[at + 2]} << 8) |
               p[at + 3];
    };
    size_t count = 0;
    for (size_t at = 0; at < bytes.size(); ++count) {
        const std::string where =
            "message " + std::to_string(count + 1) + " at byte " + std::to_string(at);
        if (bytes.size() - at < kHeader) {
            problem = where + ": a torn header";
            return count;
        }
        const uint32_t length = Word(at + 8);
        if (Word(at) != 600 || Word(at + 4) != 5 || bytes.size() - at - kHeader < length) {
            problem = where + ": not a whole message of type 600, version 5";
            return count;
        }
        qorStreamBufferOwner stream;
        CQorEvent event;
        if (stream.CreateReadBuffer(p + at + kHeader, length) != 0 || event.Load(stream) != 0) {
            problem = where + ": its event cannot be read";
            return count;
        }
        at += kHeader + length;
    }
    return count;
}

// The count of the first "hwhost: 12 alerts not written: ..." line for
// `whats` ("alerts", "host messages") in `text`; 0 without one.
inline uint64_t NotWrittenCount(const std::string& text, const std::string& whats) {
    const std::string tail = " " + whats + " not written: ";
    for (size_t at = text.find("hwhost: "); at != std::string::npos;
         at = text.find("hwhost: ", at + 1)) {
        size_t digits = at + 8;
        uint64_t count = 0;
        for (; digits < text.size() && text[digits] >= '0' && text[digits] <= '9'; ++digits) {
            count = count * 10 + static_cast<uint64_t>(text[digits] - '0');
        }
        if (digits > at + 8 && text.compare(digits, tail.size(), tail) == 0) {
            return count;
        }
    }
    return 0;
}

}  // namespace hwtest
