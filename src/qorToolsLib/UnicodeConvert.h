#pragma once
// Conversions between UTF-8, UTF-16 and UTF-32.
//
// Every routine takes the address of the source pointer (advanced past what
// was consumed), the source end, a target, an out count and an error mode.
// Error mode 0 stops at the first offending input and leaves the source
// pointer on it; any other mode writes U+FFFD in its place and goes on.  In
// both modes the status of the last offence is returned.  Input that ends
// inside a sequence (UTF-8) or a surrogate pair (UTF-16) is never consumed.
//
// The count receives the number of target units written (bytes for UTF-8,
// 16-bit units for UTF-16, values for UTF-32); it may be null.
//
// UTF-8 text lives in char / std::string, UTF-16 in char16_t / std::u16string
// and UTF-32 in char32_t / std::u32string, all in machine order.

#include <cstddef>
#include <cstdint>
#include <string>

#include "qorToolsLib/qorStatus.h"

// String forms append to the target, whose capacity is raised first to what
// the source length suggests.
StatusCode ConvertUtf32ToUtf16(const char32_t** source, const char32_t* sourceEnd,
                               std::u16string& target, size_t* written, uint32_t errorMode);
StatusCode ConvertUtf16ToUtf32(const char16_t** source, const char16_t* sourceEnd,
                               std::u32string& target, size_t* written, uint32_t errorMode);
StatusCode ConvertUtf16ToUtf8(const char16_t** source, const char16_t* sourceEnd,
                              std::string& target, size_t* written, uint32_t errorMode);
StatusCode ConvertUtf8ToUtf16(const char** source, const char* sourceEnd, std::u16string& target,
                              size_t* written, uint32_t errorMode);
StatusCode ConvertUtf32ToUtf8(const char32_t** source, const char32_t* sourceEnd,
                              std::string& target, size_t* written, uint32_t errorMode);
StatusCode ConvertUtf8ToUtf32(const char** source, const char* sourceEnd, std::u32string& target,
                              size_t* written, uint32_t errorMode);

// Buffer forms write into [targetStart, targetEnd).  A character that does
// not fit whole ends the conversion with QOR_E_NO_MEMORY (target full) and
// stays unconsumed.
StatusCode ConvertUtf32ToUtf16(const char32_t** source, const char32_t* sourceEnd,
                               char16_t* targetStart, char16_t* targetEnd, size_t* written,
                               uint32_t errorMode);
StatusCode ConvertUtf16ToUtf32(const char16_t** source, const char16_t* sourceEnd,
                               char32_t* targetStart, char32_t* targetEnd, size_t* written,
                               uint32_t errorMode);
StatusCode ConvertUtf16ToUtf8(const char16_t** source, const char16_t* sourceEnd,
                              char* targetStart, char* targetEnd, size_t* written,
                              uint32_t errorMode);
StatusCode ConvertUtf8ToUtf16(const char** source, const char* sourceEnd, char16_t* targetStart,
                              char16_t* targetEnd, size_t* written, uint32_t errorMode);
StatusCode ConvertUtf32ToUtf8(const char32_t** source, const char32_t* sourceEnd,
                              char* targetStart, char* targetEnd, size_t* written,
                              uint32_t errorMode);
StatusCode ConvertUtf8ToUtf32(const char** source, const char* sourceEnd, char32_t* targetStart,
                              char32_t* targetEnd, size_t* written, uint32_t errorMode);

// True when the `length` bytes (1 to 6) form one well-formed sequence: the
// lead byte is neither a continuation byte, nor 0xC0/0xC1, nor above 0xFD,
// and the second byte respects the lead's lower bound.
bool IsLegalUtf8(const unsigned char* sequence, size_t length);

// A byte below 0x80 or with its two top bits set.
bool IsUtf8SequenceStart(unsigned char byte);

// Number of bytes a lead byte announces (1 to 6).
size_t Utf8SequenceLength(unsigned char lead);

// The 16-bit text converter the stream uses for its wide string items.
// `count` is the number of source units on entry and the number of target
// units written on return.
class Utf8Converter {
public:
    virtual ~Utf8Converter();
    virtual StatusCode ToUtf8(std::string& target, const char16_t* source, size_t& count);
    virtual StatusCode ToUtf8Replacing(std::string& target, const char16_t* source,
                                       size_t& count);
    virtual StatusCode ToUtf16(std::u16string& target, const char* source, size_t& count);
    virtual StatusCode ToUtf16Replacing(std::u16string& target, const char* source,
                                        size_t& count);
};
