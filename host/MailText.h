#pragma once
// The texts of an outbox mail made valid and safe, whatever bytes the alert
// carried.  A header value becomes one logical line of printable text:
// bytes that are not UTF-8 become U+FFFD, control characters blanks, words
// with non-ASCII characters (or that would read as encoded words) RFC 2047
// encoded words, and a long value is folded.  A body keeps its line ends
// and tabs; CR LF becomes LF, bytes that are not UTF-8 become U+FFFD, and
// other control characters are shown as "\xHH".

#include <string>
#include <string_view>

// The value for "<Name>: " as it goes into the file; `nameLength` is the
// length of the header's name, for the first line's folding.
std::string MailHeaderValue(std::string_view value, size_t nameLength);

std::string MailBodyText(std::string_view body);

// Whether a text needs a MIME declaration of its character set.
bool HasNonAscii(std::string_view text);
