#pragma once
// Outside programs (md5sum, python3) for tests that check the library
// against independent implementations, random data and environment
// variables scoped to one test.

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace testing_support {

// Sets one environment variable for a test and restores it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name) {
        if (const char* old = ::getenv(name)) {
            m_previous = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (m_previous) {
            ::setenv(m_name.c_str(), m_previous->c_str(), 1);
        } else {
            ::unsetenv(m_name.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_previous;
};

inline std::string RandomBytes(std::mt19937& rng, size_t length) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::string out(length, '\0');
    for (char& c : out) {
        c = static_cast<char>(byte(rng));
    }
    return out;
}

// Runs a shell command and answers its standard output; throws when the
// command cannot run or exits with a failure.
inline std::string RunCommand(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("popen failed: " + command);
    }
    std::string out;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) {
        out.append(chunk, n);
    }
    int status = ::pclose(pipe);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("command failed: " + command);
    }
    return out;
}

// The records of an event log as support/evlog_reader.py prints them.
inline std::vector<std::string> ReadEventLog(const std::string& path) {
    std::string reader = std::string(HW_TEST_SUPPORT_DIR) + "/evlog_reader.py";
    std::string out = RunCommand("python3 '" + reader + "' '" + path + "'");
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(out.substr(start, end - start));
    }
    return lines;
}

}  // namespace testing_support
