#pragma once
// Reentrant forms of the runtime library's tokenizer, time texts and
// address lookup.

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "platform/Sockets.h"

// Tokenizes as strtok does, with the walk's position kept per thread: null
// `text` goes on with this thread's last walk.  The token is also stored in
// `token`.
char* StrTokR(char* text, const char* delimiters, char** token);

// The 26-character time texts ("Wed Jan  2 02:03:55 1980\n") written into
// `buffer`; null when the buffer holds fewer than 26 characters or the time
// cannot be converted.
char* CTimeR(const time_t* value, char* buffer, size_t size);
char* ASCTimeR(const std::tm* value, char* buffer, size_t size);

// The host record of an address (IPv4 only: `type` AF_INET and `length`
// 4).  True with `error` 0, else false with the Windows Sockets error.
bool GetHostByAddr(const void* address, int length, int type, plat::HostEntry& host,
                   uint32_t& error);
