#pragma once
// An output file written by its path, as the host log and the alert files
// are: appended to, opened as this account's own file (a symbolic link or
// another account's file at the path is refused, see platform/OwnFiles.h),
// its folder made when missing.  It is opened again on request (the SIGHUP
// of a rotation) and when its path no longer names the open file: a removed
// file is seen at once, a file renamed away within a second.  It has no lock
// of its own: its user serialises the calls.
//
// The path is kept through every failure: a folder replaced by a file, a
// file system out of room or read-only, a name refused.  A file that cannot
// be opened leaves none open, and the next Follow tries the path again; how
// often is the user's to choose (KeptOutput.h tries once a second).  Only
// Close forgets the path.
//
// Each file it opens is named as the process's own output of its kind
// (platform/OwnOutputs.h) before anything is written to it, when the user
// gave the kind: the sensor's log groups then never read it, under any name
// a rotation gives it.
//
// What another account puts at the path in a folder of root's or this
// account's that others may write (a FIFO made in /tmp after a rotation,
// say) keeps no output from its file: the name is taken back and the file
// made anew, and that is said.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

class FollowedFile {
public:
    using Clock = std::chrono::steady_clock;

    FollowedFile() = default;
    ~FollowedFile();
    FollowedFile(const FollowedFile&) = delete;
    FollowedFile& operator=(const FollowedFile&) = delete;

    // Keeps the path and opens it; false, with `problem` set, when it
    // cannot be opened (the path stays, to be tried again).
    bool Open(const std::string& path, std::string& problem, Clock::time_point now = Clock::now());
    // Opens the kept path again, letting go of the file open until now
    // whether or not the path can be opened.
    bool Reopen(std::string& problem, Clock::time_point now = Clock::now());
    // Opens the path again when the file open is gone from it, or when none
    // is open; true when a file is open afterwards.
    bool Follow(std::string& problem, Clock::time_point now = Clock::now());
    // Closes the file and forgets the path.
    void Close();
    // Every file opened from now on is written without waiting (a
    // character device that takes nothing answers EAGAIN); set before Open.
    void SetNonBlocking(bool bNonBlocking) { m_bNonBlocking = bNonBlocking; }
    // Says that the path was taken back from another account (the text in
    // the one form of platform/Refusal.h); without it, the console says it
    // as a warning.  Set before Open.
    using TakeBackReport = std::function<void(const std::string& text)>;
    void SetTakeBackReport(TakeBackReport report) { m_takeBackReport = std::move(report); }
    // The kind of output (plat::OwnOutputs) each file opened is named as
    // ("alert", "log"); none when empty.  Set before Open.
    void SetOwnOutput(std::string strWhat) { m_strOwnOutput = std::move(strWhat); }

    int Fd() const { return m_nFd; }
    const std::string& Path() const { return m_strPath; }
    // Counts the files opened: a writer that tells where its writes land
    // knows by it when they go to another file.
    uint64_t Opens() const { return m_qwOpens; }

    // How often the path is looked at for a file renamed away under it.
    static constexpr std::chrono::milliseconds kPathCheckInterval{1000};

private:
    // Closes the file open, keeping the path.
    void LetGo();

    std::string m_strPath;
    int m_nFd = -1;
    uint64_t m_qwOpens = 0;
    bool m_bNonBlocking = false;
    TakeBackReport m_takeBackReport;
    std::string m_strOwnOutput;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    Clock::time_point m_lastPathCheck{};
};

// Cuts off again the last `bytes` that writes through `fd` put at the end
// of a regular file: the piece of a line or document that a full disk cut
// short, so that the file ends where its last whole one ended.  Only when
// the file still ends where this descriptor's last write ended, so nothing
// another writer appended since is lost.  False, with `problem` set, when
// the piece stays (and always for a pipe, socket or device, where what was
// taken is gone).
bool CutWrittenPiece(int fd, uint64_t bytes, std::string& problem);
