#include "support/DamagedPolicy.h"

namespace hwtest {

std::vector<DamagedFile> DamagedVariants(const std::string& whole) {
    std::vector<DamagedFile> variants;
    variants.push_back({"truncated", whole.substr(0, whole.rfind("\t=") + 2)});
    variants.push_back({"cut mid-line", whole.substr(0, whole.rfind("\n[") + 4)});
    // Between the CR and the LF of the last line end (right after its ";"
    // in a file with LF line ends).
    variants.push_back({"cut in a line end", whole.substr(0, whole.size() - 1)});
    // The first number or flag of "\config" (of the file, without one)
    // runs on into the line after it.  A text that lost its ";" is no
    // damage a reader can see: the writer writes texts of several lines,
    // whatever those lines look like.
    size_t from = whole.find("[\\config\\]");
    size_t value = from == std::string::npos ? 0 : from;
    do {
        value = whole.find("\t=", value + 1);
    } while (value != std::string::npos && whole.compare(value, 4, "\t=L\t") != 0 &&
             whole.compare(value, 4, "\t=B\t") != 0);
    size_t end = value == std::string::npos ? value : whole.find(';', value);
    if (end != std::string::npos) {
        variants.push_back({"torn line", whole.substr(0, end) + whole.substr(end + 1)});
    }
    variants.push_back({"binary", std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10) + whole});
    variants.push_back({"empty", ""});
    return variants;
}

}  // namespace hwtest
