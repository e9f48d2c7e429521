#include "platform/Environment.h"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "platform/Files.h"

namespace plat {

bool IsInheritedEnvironmentValue(const char* name, const char* value) {
    if (name == nullptr || value == nullptr) {
        return true;
    }
    // /proc/self/environ keeps the environment as it was at exec; changes
    // the process makes later never show there.
    std::string all;
    if (!ReadKernelFile("/proc/self/environ", all, 16u << 20)) {
        return true;
    }
    std::string wanted = std::string(name) + "=" + value;
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\0', start);
        if (end == std::string::npos) {
            end = all.size();
        }
        if (all.compare(start, end - start, wanted) == 0) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

bool GetEnvironmentText(const char* name, std::string& value) {
    const char* found = name != nullptr ? std::getenv(name) : nullptr;
    if (found == nullptr) {
        return false;
    }
    value = found;
    return true;
}

bool SetEnvironmentText(const char* name, const char* value) {
    if (name == nullptr || *name == '\0' || std::strchr(name, '=') != nullptr) {
        return false;
    }
    return ::setenv(name, value != nullptr ? value : "", 1) == 0;
}

bool SetEnvironmentList(const char* name, const std::vector<std::string>& texts) {
    std::string value;
    for (const std::string& text : texts) {
        value += std::to_string(text.size()) + ":" + text;
    }
    return value.find('\0') == std::string::npos && SetEnvironmentText(name, value.c_str());
}

bool GetEnvironmentList(const char* name, std::vector<std::string>& texts) {
    texts.clear();
    std::string value;
    if (!GetEnvironmentText(name, value)) {
        return false;
    }
    size_t at = 0;
    while (at < value.size()) {
        const size_t colon = value.find(':', at);
        if (colon == std::string::npos || colon == at || colon - at > 9 ||
            value.find_first_not_of("0123456789", at) != colon) {
            break;
        }
        const size_t length = std::stoul(value.substr(at, colon - at));
        if (length > value.size() - colon - 1) {
            break;
        }
        texts.push_back(value.substr(colon + 1, length));
        at = colon + 1 + length;
    }
    return true;
}

uint32_t CurrentProcessId() {
    return static_cast<uint32_t>(::getpid());
}

std::string ExecutableDirectory() {
    char path[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return std::string();
    }
    std::string directory(path, static_cast<size_t>(length));
    size_t slash = directory.rfind('/');
    directory.resize(slash == std::string::npos ? 0 : slash + 1);
    return directory;
}

size_t ExpandEnvironmentStrings(const char* pszSource, char* pszOutput, size_t nSize) {
    std::string expanded;
    const char* text = pszSource != nullptr ? pszSource : "";
    size_t length = std::strlen(text);
    size_t pos = 0;
    while (pos < length) {
        size_t close = text[pos] == '%' ? std::string_view(text, length).find('%', pos + 1)
                                        : std::string_view::npos;
        if (close == std::string_view::npos) {
            expanded += text[pos++];
            continue;
        }
        std::string name(text + pos + 1, close - pos - 1);
        std::string value;
        if (!name.empty() && GetEnvironmentText(name.c_str(), value)) {
            expanded += value;
            pos = close + 1;
        } else {
            // The closing "%" may open the next reference.
            expanded.append(text + pos, close - pos);
            pos = close;
        }
    }
    if (pszOutput != nullptr && nSize > 0) {
        size_t copied = expanded.size() < nSize - 1 ? expanded.size() : nSize - 1;
        std::memcpy(pszOutput, expanded.data(), copied);
        pszOutput[copied] = '\0';
    }
    return expanded.size() + 1;
}

}  // namespace plat
