#pragma once
// Scratch folders and outside programs (md5sum, python3) for tests that
// check the library against independent implementations.

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>

namespace testing_support {

// A private folder under the temporary directory, removed with its contents.
class ScratchDir {
public:
    ScratchDir() {
        std::string base = std::filesystem::temp_directory_path().string() + "/hwtest.XXXXXX";
        if (::mkdtemp(base.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_path = base;
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string File(const std::string& name) const { return m_path + "/" + name; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

inline void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

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

}  // namespace testing_support
