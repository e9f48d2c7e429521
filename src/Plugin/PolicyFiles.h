#pragma once
// Plain functions on the policy files and their version texts.

#include <string>
#include <vector>

class IPolicyContainer;

// True when the file's attributes can be read.
bool PolicyFileExists(const char* pszPath);
// Deletes the file; true on success.
bool RemovePolicyFile(const char* pszPath);
// Moves the file to another name in the same folder, replacing any file of
// that name; true on success.
bool MovePolicyFile(const char* pszFrom, const char* pszTo);

// Policy files are read whole or not at all: makes the container's file
// reads strict when it is the plug-in's own (see
// PluginPolicyContainer::SetStrictReading).
void ReadPoliciesStrictly(IPolicyContainer* pContainer);
// Why the container's last file read failed: the strict reader's
// "line N: reason", or a plain text for a container of another make.
std::string PolicyReadProblem(IPolicyContainer* pContainer);
// Why the container's last SaveFile failed, as above.
std::string PolicyWriteProblem(IPolicyContainer* pContainer);
// Whether the file parses whole, read as a merge reads it (`bMerged`) or as
// a load does; false with the reason.
bool CheckPolicyFile(const char* pszPath, bool bMerged, std::string& problem);

// The sub-key names of a key, in the container's order; empty when it has
// none or cannot be listed.
std::vector<std::string> PolicySubKeys(IPolicyContainer* pContainer, const std::string& strPath);

// True when version `pszNewer` is newer than `pszOlder`.  Versions are
// "a.b.c.d"; only the third and fourth fields count (each a leading
// decimal number, 0 without digits), the third first.  A text with fewer
// than three dots never compares newer, nor is anything newer than it.
bool CompareVersionText(const char* pszNewer, const char* pszOlder);
