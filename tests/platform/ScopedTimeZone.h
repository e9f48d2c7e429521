#pragma once
// Sets TZ for one test and puts the previous value back afterwards.

#include <time.h>

#include "support/ExternalCheck.h"

class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) : m_env(std::in_place, "TZ", zone) { ::tzset(); }
    ~ScopedTimeZone() {
        m_env.reset();
        ::tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    std::optional<testing_support::ScopedEnv> m_env;
};
