#pragma once
// Plain file and directory functions.  Each answers its result directly and
// leaves the system error as the thread's last error; none raises.

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// The separator this system puts between folder names.  Texts naming a
// folder (product locations, log folders) end with it, so a file name can
// be appended directly.
constexpr char kPathSeparator = '/';
// Either separator a stored path may hold: this system's, or the backslash
// of paths written for another.
inline bool IsPathSeparator(char c) { return c == '/' || c == '\\'; }
// Appends kPathSeparator unless the text already ends with a separator.
void AppendPathSeparator(std::string& path);

bool FileExists(const char* path);
// The file's size, or 0 when it cannot be read.
uint64_t FileSize(const char* path);
bool RemoveFile(const char* path);
// Moves `source` over `destination` and waits until the move is on disk.
bool ReplaceFile(const char* destination, const char* source);

// Copies the local broken-down time into `out` and answers it; null when
// the value cannot be converted.
std::tm* LocalTimeOf(const time_t* value, std::tm* out);

// Removes a directory with everything below it; answers whether the
// directory itself went.
bool RemoveDirectoryTree(const char* path);
// The names of a directory's files, or of its sub-directories, sorted by
// name; false when it cannot be read.
bool ListDirectoryFiles(const char* path, std::vector<std::string>& names);
bool ListSubdirectories(const char* path, std::vector<std::string>& names);

// The per-process lock file for a program name and a number: the lower-case
// program name without folders and without ".exe...", "_<number>.lck", in
// the temporary directory.  A name containing "/" is taken as the path
// itself.  Answers 1.
int LockFileName(const char* name, unsigned long number, std::string& path);
