#pragma once
// Reading a text file the way files written on the original platform are
// read there: each carriage return that precedes a line feed disappears, so
// readers see LF line ends whether the file has LF or CR LF.

#include <cstdio>

namespace plat {

// Opens `path` for reading with that translation, as Files.h's
// OpenFileForReading opens it (a regular file of root or this account,
// through no other account's link).  The stream is closed with fclose.
// Null, with the last error set, when the file cannot be opened.
FILE* OpenTextFileForRead(const char* path);

}  // namespace plat
