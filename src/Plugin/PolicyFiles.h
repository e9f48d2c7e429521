#pragma once
// Plain functions on the policy files and their version texts.

// True when the file's attributes can be read.
bool PolicyFileExists(const char* pszPath);
// Deletes the file; true on success.
bool RemovePolicyFile(const char* pszPath);

// True when version `pszNewer` is newer than `pszOlder`.  Versions are
// "a.b.c.d"; only the third and fourth fields count (each a leading
// decimal number, 0 without digits), the third first.  A text with fewer
// than three dots never compares newer, nor is anything newer than it.
bool CompareVersionText(const char* pszNewer, const char* pszOlder);
