#pragma once
// Message texts for status and error numbers: the library's own statuses,
// Windows Sockets style numbers and the plain error numbers of LastError.h.
// It answers the way a message-table lookup does: a text, or a failure
// number when the table has no entry for the code.

#include <cstdint>
#include <string>

namespace plat {

// Looks up the text of `code`, substituting `insert` for "%1" when the text
// has one.  With a non-zero `maxWidth` the text is one paragraph re-flowed
// to that width with line feeds and no trailing line break; with 0 the
// text keeps its own line breaks and ends with "\r\n".
// Returns 0 and fills `out`, or kErrMessageNotFound (317).
uint32_t LookupSystemMessage(uint32_t code, const std::string* insert, unsigned maxWidth,
                             std::string& out);

// Re-flows `text` to `width` columns: breaks at spaces, expands tabs to the
// next 8-column stop, and starts a new line at control characters.
std::string WrapText(const std::string& text, unsigned width);

}  // namespace plat
