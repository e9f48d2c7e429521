#pragma once
// One log group of the text-log engine: a named set of log files given by
// absolute names and wildcard patterns ("*" and "?" in any component, "/"
// or "\" between components, and a final "/..." or "\..." for every file
// beneath a directory).  At every scan the engine asks the group for the
// files it names now: every existing match, or only the one written last.

#include <cstddef>
#include <set>
#include <string>
#include <vector>

class CLogGroup {
public:
    explicit CLogGroup(std::string strName);

    std::string GetName() const { return m_strName; }
    void AddPath(std::string strPath);
    const std::vector<std::string>& GetPaths() const { return m_Paths; }

    void SetNewestOnly(bool bNewestOnly) { m_bNewestOnly = bNewestOnly; }
    bool IsNewestOnly() const { return m_bNewestOnly; }
    // Set while an enabled rule names the group: an unused group names no
    // files.
    void SetUsed(bool bUsed) { m_bUsed = bUsed; }
    bool IsUsed() const { return m_bUsed; }

    // Appends the group's current files to `files`, in path order (or the
    // one most recently modified of them, the first produced among equals);
    // answers how many were appended.
    size_t ExpandFiles(std::vector<std::string>& files) const;
    // Appends `strPrefix` followed by each existing name that the pattern
    // matches; answers how many.  A name without wildcards counts when it
    // exists, a directory too; a wildcard in the last component matches
    // files only, and "." and ".." never match.
    size_t ExpandPattern(const std::string& strPattern, const std::string& strPrefix,
                         std::vector<std::string>& files) const;
    // True when the group names no file now, with `strWhy` saying so for
    // the operator: the paths, and the folders they need that do not exist.
    bool NamesNoFile(std::string& strWhy) const;

private:
    // Says, once per path, that a path leads through another account's
    // link to a folder and is not looked at.
    void WarnOfStops(const std::vector<std::string>& stopped) const;

    std::string m_strName;
    std::vector<std::string> m_Paths;
    bool m_bNewestOnly = false;
    bool m_bUsed = false;
    // The paths warned of, so that a scan every few seconds says it once.
    mutable std::set<std::string> m_WarnedStops;
};
