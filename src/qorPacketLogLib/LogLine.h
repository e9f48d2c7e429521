#pragma once
// Error lines of the packet log and its file go to the logger their owner
// handed them (the IDS slave's), not the plug-in's route, and only when one
// was handed over.

#include "hostwarden/ICSFHostServices.h"
#include "qorCSFLib/CSFLogTag.h"

#define PACKETLOG_ERROR(logger, ...)                                                         \
    do {                                                                                     \
        static CSFLogTag packetLogTag_;                                                      \
        if ((logger) != nullptr) {                                                           \
            (logger)->Log(&packetLogTag_, kCSFLogCategory, kCSFLogError, __LINE__, __FILE__, \
                          __VA_ARGS__);                                                      \
        }                                                                                    \
    } while (0)

// A line of the log's own at `level` (which may carry kCSFLogConsoleFlag).
#define PACKETLOG_SAY(logger, level, ...)                                                              \
    do {                                                                                               \
        static CSFLogTag packetLogTag_;                                                                \
        if ((logger) != nullptr) {                                                                     \
            (logger)->Log(&packetLogTag_, kCSFLogCategory, (level), __LINE__, __FILE__, __VA_ARGS__); \
        }                                                                                              \
    } while (0)
