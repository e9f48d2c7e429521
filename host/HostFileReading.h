#pragma once
// Reading the files the host keeps in the sensor root (hwhost.pid,
// hwhost.status) from another process, as `hwhost push` does.  Another
// account that can write into the root could put a symbolic link, a FIFO
// or a file of its own there, to have the reader print a file only it may
// read, hang on the open, or believe a forged outcome: the file is read
// only when it is a regular file with one name, of root or this account,
// reached through no other account's symbolic link (plat::OpenFileToRead
// with plat::Owners::kOwn), which is what the host writes.

#include <string>

// The descriptor of the file at `path`, opened to read; -1 when there is
// no such file (`problem` empty) or when it is refused or cannot be opened
// (`problem` names the path, what is there and its owner, in the one form
// of platform/Refusal.h, or the system's reason).
int OpenHostFileForReading(const std::string& path, std::string& problem);

// The whole file at `path`, when it is no larger than `limit`; false as
// above, `text` then empty.
bool ReadHostFile(const std::string& path, size_t limit, std::string& text, std::string& problem);
