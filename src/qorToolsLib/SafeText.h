#pragma once
// Text that came from outside (datagrams, log lines, alert values) made safe
// to show to a person: on a terminal, in a log viewer, in a mail.  A byte a
// terminal or viewer could take for a command is written as "\xHH"; every
// other byte is kept, so a message reads as it was sent.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The length (1 to 4) of the well-formed UTF-8 sequence at `at`, with its
// code point; 0 when the bytes there are not one (overlong forms,
// surrogates, values above U+10FFFF, cut sequences).
size_t DecodeUtf8At(std::string_view text, size_t at, uint32_t& codePoint);

// Whether a person's screen should see this code point as "\xHH": C0
// controls but TAB, DEL, C1 controls, and the line, paragraph and
// direction marks that make a viewer show text other than it is.
bool IsUnsafeCodePoint(uint32_t codePoint);

// Appends `text` to `out` with every byte of an unsafe code point and every
// byte that is not part of well-formed UTF-8 written as "\xHH".  With
// `keepLineFeeds`, LF stays a line end.
void AppendPrintable(std::string& out, std::string_view text, bool keepLineFeeds = false);
std::string PrintableText(std::string_view text);

// Replaces each NUL byte of `text` by U+FFFD, for a text handed on where a
// NUL would end it (a C string, a format whose texts end at their first
// NUL): nothing after the NUL is lost, and the NUL shows as the XML form of
// an alert shows every control byte.
void ReplaceNulBytes(std::string& text);

// Appends `text` with every byte that is not part of well-formed UTF-8
// replaced by U+FFFD, so the result is valid UTF-8.
void AppendValidUtf8(std::string& out, std::string_view text);

// How much of `text` is kept when it may hold at most `nMost` bytes: all of
// it when it is no longer, else `nMost`, or less so as not to split the
// UTF-8 character a cut there would split (bytes that are no UTF-8 are cut
// at `nMost` itself).
size_t Utf8CutPoint(std::string_view text, size_t nMost);

// Cuts the longest of `texts` first: each is cut (at Utf8CutPoint) to the
// greatest length at which `fits`, asked about the texts so cut, answers
// true, so that the shorter ones keep all they can.  Answers how many bytes
// were cut off in all, 0 when the texts fit as they are.  When they do not
// fit even emptied, they are left empty.
uint64_t CutLongestToFit(std::vector<std::string>& texts,
                         const std::function<bool(const std::vector<std::string>&)>& fits);
