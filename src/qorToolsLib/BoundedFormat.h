#pragma once
// printf-style formatting into a fixed buffer that is always terminated, and
// a tokenizer that keeps its position in the caller's variable.

#include <cstdarg>
#include <cstddef>

// Formats into `buffer` of `size` bytes and always terminates it.  Answers
// the number of characters written when the text fitted with room to spare,
// or -1 when it filled the buffer exactly, did not fit, or `size` is 0 (in
// which case nothing is written).
int BoundedSnprintf(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int BoundedVsnprintf(char* buffer, size_t size, const char* format, va_list args);

// strtok_r with the library's contract: `text` starts a new walk, null goes on
// from `*saved`.  Leading delimiters are skipped; the delimiter that ends a
// token is overwritten with a NUL.
char* ReentrantStrtok(char* text, const char* delimiters, char** saved);
