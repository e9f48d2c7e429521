#pragma once
// DIR/hwhost.status: how the host's last policy commands (start-up and
// reloads) ended and what runs now, for operators and for `hwhost push`,
// which waits there for the fate of the file it pushed.  One line per
// command, newest last, the last kKeptRecords, replaced as a whole so a
// reader never sees half a line:
//
//   <seq> TAB <command> TAB <status> TAB <started> TAB <waiting> TAB
//   <loading> TAB <applied> TAB <refused> TAB <text> TAB <findings> TAB
//   <engines> TAB <state> TAB <later>
//
// <status> is the request's (1 done, 2 failed); <started> the monotonic
// clock in nanoseconds when the host began the command; the four next
// fields identify ("<device>:<inode>", or "-" when absent) the files
// "push.policy", "push.policy.loading", "push.policy.applied" and
// "push.policy.refused" as they were when the command ended.  A pushed
// file keeps its identity through these names, so a pusher can tell which
// command took its own file and how.  <findings> are the errors and
// warnings the sensor logged while it loaded the policy ("ERROR: ..." or
// "WARNING: ..."), <engines> the rules each engine takes, in the start-up
// summary's words, <later> the errors and warnings learnt about the policy
// in force after its load (a port that failed to open, an alert that could
// not be delivered): each a list of lines joined by "\n", with "\"
// written "\\" and a tab "\t".  <state> is the sensor's state: "running",
// "paused" (a policy applied to a paused sensor takes no input until it
// resumes), "stopped" or "not started".
//
// The newest record follows what runs: its engine lines, state and later
// findings are rewritten while the host runs (UpdateNewest), the rest
// stays as the command left it.  Records of older hosts end after <text>,
// <engines> or <state>.
//
// A write that fails (a full disk, a name refused) keeps the newest record
// to be written again: RewriteDue says when, once a second, and the owner
// then calls UpdateNewest, so a waiting `hwhost push` learns its outcome
// once there is room, without waiting for the next change.  The reason is
// given once for failures in a row; WrittenAgain says when they ended.
//
// A bound is a later finding from when it was first reached under the
// policy in force, with the count of that moment ("WARNING: Bound reached:
// <input>: <limit>; 1 file left out (said again ...)"); the record keeps
// the count it has now, taken from the bounds' lines as they stand
// (WithCurrentCounts).  What a bound left out while a load ran is a finding
// of that load, with that count.  A finding whose cause has ended leaves
// the later findings (HostServices.h) and so the record.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct PolicyFileId {
    uint64_t m_qwDevice = 0;
    uint64_t m_qwInode = 0;
    bool operator==(const PolicyFileId& other) const = default;
    bool IsSet() const { return m_qwInode != 0; }
};

struct HostStatusRecord {
    uint64_t m_qwSequence = 0;
    std::string m_strCommand;
    uint32_t m_dwStatus = 0;
    uint64_t m_qwStartedNs = 0;
    PolicyFileId m_waiting;
    PolicyFileId m_loading;
    PolicyFileId m_applied;
    PolicyFileId m_refused;
    std::string m_strText;
    std::vector<std::string> m_findings;
    std::vector<std::string> m_engines;
    std::string m_strState;
    std::vector<std::string> m_later;
};

class HostStatusFile {
public:
    static constexpr char kFileName[] = "hwhost.status";
    static constexpr size_t kKeptRecords = 32;

    explicit HostStatusFile(std::string root);

    // Appends the outcome of a command begun at `startedNs`, with the push
    // files as they are now.  False, with the reason in `pProblem` when
    // given, when the file cannot be replaced (another account's link or
    // file in its place is refused and left).
    // `bounds` are the lines of the bounds reached as they stand now
    // (those of the engine lines and the host's own), whose counts the
    // later findings take.
    bool Record(const std::string& command, uint32_t dwStatus, uint64_t startedNs,
                const std::string& text, const std::vector<std::string>& findings,
                const std::vector<std::string>& engines, const std::string& state,
                const std::vector<std::string>& later, std::string* pProblem = nullptr,
                const std::vector<std::string>& bounds = {});
    // Rewrites the engine lines, state and later findings of the record
    // this object wrote last (written anew when the file lost it; not
    // written when it holds them already).  False, as for Record, when the
    // file cannot be replaced, and when nothing was recorded yet.
    bool UpdateNewest(const std::vector<std::string>& engines, const std::string& state,
                      const std::vector<std::string>& later, std::string* pProblem = nullptr,
                      const std::vector<std::string>& bounds = {});

    // `later` with the count of each bound's first report replaced by the
    // count of that bound's line in `bounds` ("Bound reached: <input>:
    // <limit>; <n> <what> left out"); other findings as they are.
    static std::vector<std::string> WithCurrentCounts(const std::vector<std::string>& later,
                                                      const std::vector<std::string>& bounds);
    // The lines of `lines` that say a bound reached.
    static std::vector<std::string> BoundLines(const std::vector<std::string>& lines);
    static constexpr char kBoundPrefix[] = "Bound reached: ";

    // The records on file, oldest first; empty when there is none, or
    // when the file is refused (HostFileReading.h: another account's link,
    // FIFO or file in its place) or larger than kReadLimit, which
    // `pProblem`, when given, then says (it is emptied otherwise).
    std::vector<HostStatusRecord> Read(std::string* pProblem = nullptr) const;
    static constexpr size_t kReadLimit = 16u << 20;

    // Whether the last write failed and its next try is due at `now`.
    bool RewriteDue(std::chrono::steady_clock::time_point now) const {
        return m_bUnwritten && now >= m_nextTry;
    }
    // True once after a write that ended failures in a row.
    bool WrittenAgain() {
        const bool bAgain = m_bWrittenAgain;
        m_bWrittenAgain = false;
        return bAgain;
    }
    static constexpr std::chrono::milliseconds kRetryInterval{1000};

    // The identity of a file of the root, unset when it does not exist.
    PolicyFileId Identify(const std::string& name) const;

    // "<n> error(s) and <m> warning(s)" for findings as a record keeps them.
    static std::string CountFindings(const std::vector<std::string>& findings);

    // The monotonic clock in nanoseconds, the same in every process.
    static uint64_t MonotonicNs();

private:
    // Replaces the file with the records, the last kKeptRecords of them.
    // A failure with the reason of the one before it leaves `pProblem`
    // empty: it was said.
    bool Write(const std::vector<HostStatusRecord>& records, std::string* pProblem);

    std::string m_strRoot;
    uint64_t m_qwSequence = 0;
    // The record written last, as written.
    HostStatusRecord m_newest;
    // The last write failed, for the reason kept; when to try again.
    bool m_bUnwritten = false;
    std::string m_strUnwritten;
    std::chrono::steady_clock::time_point m_nextTry{};
    bool m_bWrittenAgain = false;
};
