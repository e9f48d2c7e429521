#include "support/DamagedPolicy.h"

namespace hwtest {

std::vector<DamagedFile> DamagedVariants(const std::string& whole) {
    std::vector<DamagedFile> variants;
    variants.push_back({"truncated", whole.substr(0, whole.rfind("\t=") + 2)});
    variants.push_back({"cut mid-line", whole.substr(0, whole.rfind("\n[") + 4)});
    // The first value of "\config" (of the file, without one) runs on into
    // the line after it.
    size_t from = whole.find("[\\config\\]");
    size_t value = whole.find("\t=", from == std::string::npos ? 0 : from);
    size_t end = value == std::string::npos ? value : whole.find(';', value);
    if (end != std::string::npos) {
        variants.push_back({"torn line", whole.substr(0, end) + whole.substr(end + 1)});
    }
    variants.push_back({"binary", std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10) + whole});
    variants.push_back({"empty", ""});
    return variants;
}

}  // namespace hwtest
