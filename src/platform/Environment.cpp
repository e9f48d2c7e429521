#include "platform/Environment.h"

#include <fstream>
#include <iterator>
#include <string>

namespace plat {

bool IsInheritedEnvironmentValue(const char* name, const char* value) {
    if (name == nullptr || value == nullptr) {
        return true;
    }
    // /proc/self/environ keeps the environment as it was at exec; changes
    // the process makes later never show there.
    std::ifstream in("/proc/self/environ", std::ios::binary);
    if (!in) {
        return true;
    }
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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

}  // namespace plat
