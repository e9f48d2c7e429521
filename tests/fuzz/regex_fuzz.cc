// Compiles and matches arbitrary patterns against arbitrary texts.  Input
// layout: one flag byte (1 ignore case, 2 invert), the pattern up to the
// first NUL, then the text.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Console.h"
#include "qorToolsLib/RegularExpression.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = [] {
        plat::SetConsoleSink([](std::string_view) {});
        return true;
    }();
    (void)quiet;
    if (size == 0) {
        return 0;
    }
    uint8_t flags = data[0];
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    size_t split = rest.find('\0');
    std::string pattern(rest.substr(0, split));
    // The text keeps any further NULs, and every byte of it is matched.
    std::string text(split == std::string_view::npos ? std::string_view() : rest.substr(split + 1));

    RegularExpression expression(pattern.c_str(), flags & 1, flags & 2);
    int first = expression.Match(text);
    RegularExpression copy(expression);
    if (copy.Match(text) != first) {
        __builtin_trap();
    }
    return 0;
}
