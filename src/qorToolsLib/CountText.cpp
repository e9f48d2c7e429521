#include "qorToolsLib/CountText.h"

namespace {

bool EndsWith(std::string_view word, std::string_view end) {
    return word.size() > end.size() && word.substr(word.size() - end.size()) == end;
}

std::string SingularWord(std::string_view word) {
    if (EndsWith(word, "ies")) {
        return std::string(word.substr(0, word.size() - 3)) + "y";
    }
    for (std::string_view end : {"sses", "ches", "shes", "xes"}) {
        if (EndsWith(word, end)) {
            return std::string(word.substr(0, word.size() - 2));
        }
    }
    return std::string(word.substr(0, word.size() - 1));
}

}  // namespace

std::string SingularOf(std::string_view plural) {
    size_t start = 0;
    while (start < plural.size()) {
        size_t end = plural.find(' ', start);
        if (end == std::string_view::npos) {
            end = plural.size();
        }
        const std::string_view word = plural.substr(start, end - start);
        if (word.size() > 1 && word.back() == 's') {
            return std::string(plural.substr(0, start)) + SingularWord(word) + std::string(plural.substr(end));
        }
        start = end + 1;
    }
    return std::string(plural);
}

std::string CountText(uint64_t qwCount, std::string_view singular, std::string_view plural) {
    return std::to_string(qwCount) + " " + std::string(qwCount == 1 ? singular : plural);
}

std::string CountText(uint64_t qwCount, std::string_view plural) {
    return qwCount == 1 ? "1 " + SingularOf(plural) : std::to_string(qwCount) + " " + std::string(plural);
}
