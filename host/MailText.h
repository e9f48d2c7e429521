#pragma once
// The texts of an outbox mail made valid and safe, whatever bytes the alert
// carried.  A header value becomes one logical line of printable text:
// bytes that are not UTF-8 become U+FFFD, control characters blanks, words
// with non-ASCII characters (or that would read as encoded words) RFC 2047
// encoded words, and a long value is folded.  A body keeps its line ends
// and tabs; CR LF becomes LF, bytes that are not UTF-8 become U+FFFD, and
// other control characters are shown as "\xHH".  No line of a header grows
// with a value, and a body line too long for a mail line is sent
// quoted-printable.

#include <string>
#include <string_view>

// The value for "<Name>: " as it goes into the file; `nameLength` is the
// length of the header's name, for the first line's folding.
std::string MailHeaderValue(std::string_view value, size_t nameLength);

std::string MailBodyText(std::string_view body);

// What follows a mail's "Subject" line: the MIME lines the body needs, the
// empty line and the body made by MailBodyText.  A body of plain ASCII
// needs none; one with other characters is declared UTF-8.  A line longer
// than a mail line may be (998 octets: an alert's values make lines as
// long as their writer chooses) would have a transport refuse or break the
// mail, so such a body is sent quoted-printable, its lines kept short.
std::string MailBodyPart(std::string_view body);

// `text` (LF line ends) quoted-printable (RFC 2045), in lines of at most 76
// characters.
std::string QuotedPrintable(std::string_view text);

// Whether a text needs a MIME declaration of its character set.
bool HasNonAscii(std::string_view text);
