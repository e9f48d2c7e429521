#include "qorToolsLib/BoundedFormat.h"

#include <cstdio>
#include <cstring>

int BoundedVsnprintf(char* buffer, size_t size, const char* format, va_list args) {
    if (buffer == nullptr || size == 0) {
        return -1;
    }
    int n = std::vsnprintf(buffer, size, format, args);
    buffer[size - 1] = '\0';
    if (n < 0 || static_cast<size_t>(n) >= size) {
        // A text of `size` characters or more lost at least its last one
        // to the terminator.
        return -1;
    }
    return n;
}

int BoundedSnprintf(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = BoundedVsnprintf(buffer, size, format, args);
    va_end(args);
    return n;
}

char* ReentrantStrtok(char* text, const char* delimiters, char** saved) {
    char* p = text != nullptr ? text : *saved;
    if (p == nullptr) {
        return nullptr;
    }
    p += std::strspn(p, delimiters);
    if (*p == '\0') {
        *saved = nullptr;
        return nullptr;
    }
    char* end = p + std::strcspn(p, delimiters);
    if (*end != '\0') {
        *end = '\0';
        *saved = end + 1;
    } else {
        *saved = nullptr;
    }
    return p;
}
