#pragma once
// The logging front end of the plug-in.  Every line goes to the host's
// tagged log through the process-wide service request, with the call
// site's tag, the category 0x800, a level and the source position; before
// the host has handed over its services object nothing is written.  Debug
// traces go to the debugger output instead, and only while debug logging is
// switched on.

#include <cstdint>

#include "hostwarden/ICSFHostServices.h"
#include "qorCSFLib/CSFLogTag.h"

// The host's services object as the current service request holds it, or
// null.
ICSFHostServices* CSFLogServices();

// One plain notice of kind 1; answers the host's result, 0 without a
// services object.
uint32_t CSFNotice(const char* pszText);
// Tells the host that what the sensor described at its last start-up,
// reload or resume has changed (an engine's input opened or failed later,
// rule scripts given up or back), with a few words of what; the host asks
// for the description again (a status request) and shows it where it keeps
// it.  Any thread may call it; it only logs a notice.
uint32_t CSFNoticeDescriptionChanged(const char* pszWhat);
// Tells the host that the finding `pszText` (said earlier with CSF_LOG and
// the console flag, its text exactly as it was logged) no longer holds,
// its cause having ended.  Any thread may call it; it only logs a notice.
uint32_t CSFNoticeFindingEnded(const char* pszText);
// Tells the host what the stop left unread of the followed files, in
// numbers it keeps for its tally of the stop (the operator reads them in
// the warning said before it).  Any thread may call it; it only logs a
// notice.
uint32_t CSFNoticeUnreadAtStop(uint64_t qwFiles, uint64_t qwBytes);
// Tells the host that the stop lost `qwCount` items of one input, `pszWhat`
// saying what in a few plural words ("syslog datagrams left unparsed in the
// queue"), for its tally of the stop; nothing is sent for a count of 0.
// Any thread may call it; it only logs a notice.
uint32_t CSFNoticeLostAtStop(uint64_t qwCount, const char* pszWhat);

// Debug logging: off when the plug-in is loaded; the sensor settings switch
// it at every policy load.
void SetDebugLoggingEnabled(bool bEnabled);
bool IsDebugLoggingEnabled();

// Formats the text into 1,025 bytes and writes it to the debugger output
// while debug logging is on, as one line: a text that does not end in a
// line feed gets one.  A text of 1,025 characters or more is cut to its
// first 1,020 followed by "...".  Tag, category, level and source are
// accepted for the same call shape as the host log and not written.
bool DebugTrace(ILogTag* pTag, uint32_t dwCategory, uint32_t dwLevel, int nLine,
                const char* pszFile, const char* pszFormat, ...)
    __attribute__((format(printf, 6, 7)));

#define CSF_LOG(level, ...)                                                              \
    do {                                                                                 \
        static CSFLogTag csfLogTag_;                                                     \
        if (ICSFHostServices* csfServices_ = CSFLogServices()) {                         \
            csfServices_->Log(&csfLogTag_, kCSFLogCategory, (level), __LINE__, __FILE__, \
                              __VA_ARGS__);                                              \
        }                                                                                \
    } while (0)

// The switch is tested before the arguments are evaluated, so a trace on a
// hot path costs one load while debug logging is off.
#define CSF_TRACE(level, ...)                                                                     \
    do {                                                                                          \
        static CSFLogTag csfTraceTag_;                                                            \
        if (IsDebugLoggingEnabled()) {                                                            \
            DebugTrace(&csfTraceTag_, kCSFLogCategory, (level), __LINE__, __FILE__, __VA_ARGS__); \
        }                                                                                         \
    } while (0)
