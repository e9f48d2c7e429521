#pragma once
// The host's services object: its logger, its notices and the registration
// of the detector's own policy events.  Log lines arrive from every thread
// of the plug-in at once, so an implementation must take concurrent calls.

#include <cinttypes>
#include <cstdarg>
#include <cstdint>

class ILogTag;
class IPolicyEventInterface;

// Category mask of every log line the plug-in writes.
constexpr uint32_t kCSFLogCategory = 0x800;

// Log levels.  Bit 0x1000 may be added to a level to ask for a copy on the
// host's console.
enum : uint32_t {
    kCSFLogError = 1,
    kCSFLogWarning = 3,
    kCSFLogNotice = 6,
    kCSFLogInfo = 9,
    kCSFLogTrace = 12,
    kCSFLogConsoleFlag = 0x1000,
};

// Kinds of notice.
enum : uint32_t {
    // The sensor's state ("The sensor has been paused.").
    kCSFNoticeState = 1,
    // What the sensor described at its last command (the text of a
    // completed start-up or reload: its engines' inputs, its rule scripts)
    // changed since; a status request answers the description as it is now.
    kCSFNoticeDescription = 2,
    // A finding said earlier (an error or warning with the console flag,
    // learnt after a load) no longer holds: its cause has ended (a port
    // opened at last, scripts running again).  The notice's text is the
    // finding's text exactly as it was logged; a host that keeps the
    // findings of the policy in force lets that one go.
    kCSFNoticeFindingEnded = 3,
    // What the stop left unread of the files the sensor follows (the text
    // logs' files it had no time to read to their end, or whose lines a
    // stop while paused leaves behind), said once by the stop after its
    // warning counts them, for the host's own tally of the stop.  The text
    // is kCSFUnreadAtStopFormat filled in: a host reads the two counts back
    // with kCSFUnreadAtStopScan.
    kCSFNoticeUnreadAtStop = 4,
    // Items of one input the stop lost: neither read nor handed on within
    // its time (datagrams still queued, events left in the web-server ring,
    // connections left in a decoy port's backlog, scripted alerts dropped,
    // items a bound left out), said by the stop after its own line counts
    // them, for the host's tally of the stop.  The text is
    // kCSFLostAtStopFormat filled in: the count, then what was lost in a
    // few words, plural ("syslog datagrams left unparsed in the queue"); a
    // host reads the count back with kCSFLostAtStopScan, what follows the
    // %n being the words.  Notices of the same words add up.
    kCSFNoticeLostAtStop = 5,
};

// The text of a notice of kind kCSFNoticeUnreadAtStop: the files, then
// the bytes they held that were not read.
constexpr char kCSFUnreadAtStopFormat[] = "Unread at the stop: files %" PRIu64 ", bytes %" PRIu64;
// The same for sscanf, with a %n after it: a text it reads only in part is
// not such a notice.
constexpr char kCSFUnreadAtStopScan[] =
    "Unread at the stop: files %" SCNu64 ", bytes %" SCNu64 "%n";

// The text of a notice of kind kCSFNoticeLostAtStop.
constexpr char kCSFLostAtStopFormat[] = "Lost at the stop: %" PRIu64 " %s";
constexpr char kCSFLostAtStopScan[] = "Lost at the stop: %" SCNu64 " %n";

class ICSFHostServices {
public:
    // A plain notice of one of the kinds above.
    virtual uint32_t Notice(uint32_t dwKind, const char* pszFormat, ...)
        __attribute__((format(printf, 3, 4))) = 0;
    // One log line with the call site's tag, category, level and source.
    virtual void Log(ILogTag* pTag, uint32_t dwCategory, uint32_t dwLevel, int nLine,
                     const char* pszFile, const char* pszFormat, ...)
        __attribute__((format(printf, 7, 8))) = 0;
    // The same with an argument list.
    virtual void LogV(ILogTag* pTag, uint32_t dwCategory, uint32_t dwLevel, int nLine,
                      const char* pszFile, const char* pszFormat, va_list args) = 0;
    // Takes a detector policy event; the host keeps and later releases it.
    virtual uint32_t RegisterDetectorPolicyEvent(const char* pszName,
                                                 IPolicyEventInterface* pEvent) = 0;

protected:
    ~ICSFHostServices() = default;
};
