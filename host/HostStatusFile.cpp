#include "HostStatusFile.h"

#include <sys/stat.h>
#include <time.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string_view>

#include "HostBound.h"
#include "HostFileReading.h"
#include "platform/DurableFile.h"
#include "platform/LastError.h"
#include "platform/OwnFiles.h"

namespace {

std::string IdText(const PolicyFileId& id) {
    return id.IsSet() ? std::to_string(id.m_qwDevice) + ":" + std::to_string(id.m_qwInode) : "-";
}

PolicyFileId ParseId(const std::string& text) {
    PolicyFileId id;
    size_t colon = text.find(':');
    if (colon != std::string::npos) {
        id.m_qwDevice = std::strtoull(text.c_str(), nullptr, 10);
        id.m_qwInode = std::strtoull(text.c_str() + colon + 1, nullptr, 10);
    }
    return id;
}

// A record is one line of tab-separated fields; the text may hold neither.
std::string OneLine(std::string text) {
    for (char& c : text) {
        if (c == '\t' || c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    return text;
}

// A list of lines as one field: "\n" between lines, "\\" and "\t" for
// the bytes that would end the line or the field.
std::string ListField(const std::vector<std::string>& lines) {
    std::string field;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0) {
            field += "\\n";
        }
        for (char c : lines[i]) {
            switch (c) {
                case '\\':
                    field += "\\\\";
                    break;
                case '\t':
                    field += "\\t";
                    break;
                case '\n':
                case '\r':
                    field += ' ';
                    break;
                default:
                    field += c;
            }
        }
    }
    return field;
}

std::vector<std::string> ParseList(const std::string& field) {
    std::vector<std::string> lines;
    if (field.empty()) {
        return lines;
    }
    std::string line;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            line += field[i];
            continue;
        }
        const char next = field[++i];
        if (next == 'n') {
            lines.push_back(std::move(line));
            line.clear();
        } else {
            line += next == 't' ? '\t' : next;
        }
    }
    lines.push_back(std::move(line));
    return lines;
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
        if (tab == std::string::npos) {
            return fields;
        }
        start = tab + 1;
    }
}

// Where the count of a bound's line begins: after the last "; " that a
// digit follows.  npos when the line has none.
size_t CountStart(const std::string& line) {
    for (size_t at = line.rfind("; "); at != std::string::npos && at > 0; at = line.rfind("; ", at - 1)) {
        if (at + 2 < line.size() && std::isdigit(static_cast<unsigned char>(line[at + 2]))) {
            return at + 2;
        }
    }
    return std::string::npos;
}

}  // namespace

HostStatusFile::HostStatusFile(std::string root) : m_strRoot(std::move(root)) {}

std::vector<std::string> HostStatusFile::BoundLines(const std::vector<std::string>& lines) {
    std::vector<std::string> bounds;
    for (const std::string& line : lines) {
        if (line.rfind(kBoundPrefix, 0) == 0) {
            bounds.push_back(line);
        }
    }
    return bounds;
}

std::vector<std::string> HostStatusFile::WithCurrentCounts(const std::vector<std::string>& later,
                                                           const std::vector<std::string>& bounds) {
    std::vector<std::string> current = later;
    for (const std::string& bound : bounds) {
        const size_t count = CountStart(bound);
        if (bound.rfind(kBoundPrefix, 0) != 0 || count == std::string::npos) {
            continue;
        }
        // "<input>: <limit>; " of the bound, and "<n> <what> left out" now.
        const std::string head = bound.substr(0, count);
        const std::string now = bound.substr(count);
        const std::string_view saidAgain = HostBound::kSaidAgain;
        for (std::string& finding : current) {
            // Only a first report: a bound's line of a load, say, keeps the
            // count of what it left out then.
            const size_t colon = finding.find(": ");
            if (colon == std::string::npos || finding.compare(colon + 2, head.size(), head) != 0 ||
                !finding.ends_with(saidAgain)) {
                continue;
            }
            const size_t at = colon + 2 + head.size();
            const size_t end = finding.size() - saidAgain.size();
            if (at < end && std::isdigit(static_cast<unsigned char>(finding[at]))) {
                finding.replace(at, end - at, now);
            }
        }
    }
    return current;
}

uint64_t HostStatusFile::MonotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

std::string HostStatusFile::CountFindings(const std::vector<std::string>& findings) {
    size_t nErrors = 0;
    for (const std::string& finding : findings) {
        nErrors += finding.rfind("ERROR: ", 0) == 0 ? 1 : 0;
    }
    const size_t nWarnings = findings.size() - nErrors;
    return std::to_string(nErrors) + (nErrors == 1 ? " error and " : " errors and ") +
           std::to_string(nWarnings) + (nWarnings == 1 ? " warning" : " warnings");
}

PolicyFileId HostStatusFile::Identify(const std::string& name) const {
    struct stat info {};
    PolicyFileId id;
    if (::stat((m_strRoot + "/" + name).c_str(), &info) == 0) {
        id.m_qwDevice = static_cast<uint64_t>(info.st_dev);
        id.m_qwInode = static_cast<uint64_t>(info.st_ino);
    }
    return id;
}

bool HostStatusFile::Record(const std::string& command, uint32_t dwStatus, uint64_t startedNs,
                            const std::string& text, const std::vector<std::string>& findings,
                            const std::vector<std::string>& engines, const std::string& state,
                            const std::vector<std::string>& later, std::string* pProblem,
                            const std::vector<std::string>& bounds) {
    std::vector<HostStatusRecord> records = Read();
    if (m_qwSequence == 0 && !records.empty()) {
        m_qwSequence = records.back().m_qwSequence;
    }
    HostStatusRecord record;
    record.m_qwSequence = ++m_qwSequence;
    record.m_strCommand = command;
    record.m_dwStatus = dwStatus;
    record.m_qwStartedNs = startedNs;
    record.m_waiting = Identify("push.policy");
    record.m_loading = Identify("push.policy.loading");
    record.m_applied = Identify("push.policy.applied");
    record.m_refused = Identify("push.policy.refused");
    record.m_strText = text;
    record.m_findings = findings;
    record.m_engines = engines;
    record.m_strState = state;
    record.m_later = WithCurrentCounts(later, bounds);
    m_newest = record;
    records.push_back(std::move(record));
    return Write(records, pProblem);
}

bool HostStatusFile::UpdateNewest(const std::vector<std::string>& engines, const std::string& state,
                                  const std::vector<std::string>& later, std::string* pProblem,
                                  const std::vector<std::string>& bounds) {
    if (m_newest.m_qwSequence == 0) {
        return false;
    }
    std::vector<std::string> currentLater = WithCurrentCounts(later, bounds);
    const bool bSame = m_newest.m_engines == engines && m_newest.m_strState == state &&
                       m_newest.m_later == currentLater;
    m_newest.m_engines = engines;
    m_newest.m_strState = state;
    m_newest.m_later = std::move(currentLater);
    std::vector<HostStatusRecord> records = Read();
    // Only this host writes the file; a record of its own that is gone was
    // removed by hand, and what runs is said again.
    if (!records.empty() && records.back().m_qwSequence == m_newest.m_qwSequence) {
        if (bSame) {
            return true;
        }
        records.back() = m_newest;
    } else {
        records.push_back(m_newest);
    }
    return Write(records, pProblem);
}

bool HostStatusFile::Write(const std::vector<HostStatusRecord>& records, std::string* pProblem) {
    size_t first = records.size() > kKeptRecords ? records.size() - kKeptRecords : 0;
    std::string out;
    for (size_t i = first; i < records.size(); ++i) {
        const HostStatusRecord& r = records[i];
        out += std::to_string(r.m_qwSequence) + "\t" + OneLine(r.m_strCommand) + "\t" +
               std::to_string(r.m_dwStatus) + "\t" + std::to_string(r.m_qwStartedNs) + "\t" +
               IdText(r.m_waiting) + "\t" + IdText(r.m_loading) + "\t" + IdText(r.m_applied) +
               "\t" + IdText(r.m_refused) + "\t" + OneLine(r.m_strText) + "\t" +
               ListField(r.m_findings) + "\t" + ListField(r.m_engines) + "\t" +
               OneLine(r.m_strState) + "\t" + ListField(r.m_later) + "\n";
    }
    const std::string path = m_strRoot + "/" + kFileName;
    plat::FileStep step = plat::FileStep::kNone;
    std::string problem;
    // A state file: the host's alone.
    if (plat::ReplaceFileDurably(path, path + ".new", out, &step, &problem, plat::kStateFileMode) == 0) {
        m_bWrittenAgain = m_bUnwritten;
        m_bUnwritten = false;
        m_strUnwritten.clear();
        return true;
    }
    if (problem.empty()) {
        // Only a refusal comes with its words: a full disk is said in the
        // system's.
        problem = path + ": " + std::strerror(plat::GetLastErrno());
    }
    const bool bSaid = m_bUnwritten && problem == m_strUnwritten;
    m_bUnwritten = true;
    m_strUnwritten = problem;
    m_nextTry = std::chrono::steady_clock::now() + kRetryInterval;
    if (pProblem != nullptr) {
        *pProblem = bSaid ? std::string() : problem;
    }
    return false;
}

std::vector<HostStatusRecord> HostStatusFile::Read(std::string* pProblem) const {
    std::vector<HostStatusRecord> records;
    std::string text;
    std::string problem;
    const bool bRead = ReadHostFile(m_strRoot + "/" + kFileName, kReadLimit, text, problem);
    if (pProblem != nullptr) {
        *pProblem = problem;
    }
    if (!bRead) {
        return records;
    }
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> fields = Fields(line);
        if (fields.size() != 9 && fields.size() != 11 && fields.size() != 12 &&
            fields.size() != 13) {
            continue;
        }
        HostStatusRecord r;
        r.m_qwSequence = std::strtoull(fields[0].c_str(), nullptr, 10);
        r.m_strCommand = fields[1];
        r.m_dwStatus = static_cast<uint32_t>(std::strtoul(fields[2].c_str(), nullptr, 10));
        r.m_qwStartedNs = std::strtoull(fields[3].c_str(), nullptr, 10);
        r.m_waiting = ParseId(fields[4]);
        r.m_loading = ParseId(fields[5]);
        r.m_applied = ParseId(fields[6]);
        r.m_refused = ParseId(fields[7]);
        r.m_strText = fields[8];
        if (fields.size() >= 11) {
            r.m_findings = ParseList(fields[9]);
            r.m_engines = ParseList(fields[10]);
        }
        if (fields.size() >= 12) {
            r.m_strState = fields[11];
        }
        if (fields.size() == 13) {
            r.m_later = ParseList(fields[12]);
        }
        records.push_back(std::move(r));
    }
    return records;
}
