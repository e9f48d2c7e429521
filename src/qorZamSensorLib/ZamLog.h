#pragma once
// Lines of the signature-module classes go to the logger their owner handed
// them, not to the plug-in's route: the manager and its wrappers may run
// before any service request exists.

#include <cstdarg>

#include "hostwarden/ICSFHostServices.h"
#include "qorCSFLib/CSFLogTag.h"

#define ZAM_LOG(logger, level, ...)                                                         \
    do {                                                                                    \
        static CSFLogTag zamLogTag_;                                                        \
        ICSFHostServices* zamLogger_ = (logger);                                            \
        if (zamLogger_ != nullptr) {                                                        \
            zamLogger_->Log(&zamLogTag_, kCSFLogCategory, (level), __LINE__, __FILE__,      \
                            __VA_ARGS__);                                                   \
        }                                                                                   \
    } while (0)

#define ZAM_TRACE(logger, ...) ZAM_LOG(logger, kCSFLogTrace, __VA_ARGS__)
