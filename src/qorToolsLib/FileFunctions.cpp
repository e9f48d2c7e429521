#include "qorToolsLib/FileFunctions.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/Files.h"
#include "qorToolsLib/BoundedFormat.h"
#include "qorToolsLib/TraceInterface.h"

void AppendPathSeparator(std::string& path) {
    if (path.empty() || !IsPathSeparator(path.back())) {
        path += kPathSeparator;
    }
}

bool FileExists(const char* path) {
    return path != nullptr && plat::PathExists(path);
}

uint64_t FileSize(const char* path) {
    uint64_t size = 0;
    return path != nullptr && plat::GetPathSize(path, size) ? size : 0;
}

bool RemoveFile(const char* path) {
    return path != nullptr && plat::DeleteFilePath(path);
}

bool ReplaceFile(const char* destination, const char* source) {
    return destination != nullptr && source != nullptr && plat::ReplacePath(destination, source);
}

std::tm* LocalTimeOf(const time_t* value, std::tm* out) {
    if (value == nullptr || out == nullptr || !plat::LocalTime(*value, *out)) {
        return nullptr;
    }
    return out;
}

bool RemoveDirectoryTree(const char* path) {
    if (path == nullptr) {
        return false;
    }
    std::vector<plat::DirectoryEntry> entries;
    if (plat::ListDirectory(path, entries)) {
        for (const auto& entry : entries) {
            std::string child = std::string(path) + "/" + entry.m_sName;
            if (entry.m_bIsDirectory) {
                RemoveDirectoryTree(child.c_str());
            } else {
                plat::DeleteFilePath(child.c_str());
            }
        }
    }
    return plat::RemoveEmptyDirectory(path);
}

namespace {

bool ListEntries(const char* path, bool directories, std::vector<std::string>& names) {
    names.clear();
    std::vector<plat::DirectoryEntry> entries;
    if (path == nullptr || !plat::ListDirectory(path, entries)) {
        return false;
    }
    for (const auto& entry : entries) {
        if (entry.m_bIsDirectory == directories) {
            names.push_back(entry.m_sName);
        }
    }
    std::sort(names.begin(), names.end());
    return true;
}

}  // namespace

bool ListDirectoryFiles(const char* path, std::vector<std::string>& names) {
    return ListEntries(path, false, names);
}

bool ListSubdirectories(const char* path, std::vector<std::string>& names) {
    return ListEntries(path, true, names);
}

int LockFileName(const char* name, unsigned long number, std::string& path) {
    std::string text = name != nullptr ? name : "";
    if (text.find('/') != std::string::npos) {
        GetTraceInterface()->Log(0x2000, 9, "FileObject",
                                 "The process lock file name '%s' contains a relative or absolute "
                                 "pathname; name will not be constructed.",
                                 text.c_str());
        path = text;
        return 1;
    }
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    size_t separator = text.find_last_of("\\/");
    if (separator != std::string::npos) {
        text.erase(0, separator + 1);
    }
    size_t exe = text.find(".exe");
    if (exe != std::string::npos) {
        text.erase(exe);
    }
    char suffix[32];
    BoundedSnprintf(suffix, sizeof suffix, "_%lu.lck", number);
    path = plat::TempDirectory() + text + suffix;
    return 1;
}
