// Locks whose holder is not trusted to let go: taken without blocking,
// given up at a short deadline with the file and the holding process named,
// and not waited on again for a while; and the holder of a record lock or
// of an open file description's lock found by the system's lists.

#include "platform/FileLock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/LastError.h"
#include "support/ChildProcess.h"
#include "support/SleepClock.h"
#include "support/TestUtil.h"
#include "support/ThrowawayAccounts.h"

namespace {

// One process that takes a lock on the file its argument names, says so,
// and holds it until it is ended (flock(1) would leave its lock to the
// command it runs).
constexpr char kHoldShared[] =
    "import fcntl, sys, time\nf = open(sys.argv[1])\nfcntl.flock(f, fcntl.LOCK_SH)\n"
    "print('held', flush=True)\ntime.sleep(600)";

// A child of this process that takes a lock on `path` with `command`
// (F_SETLK or F_OFD_SETLK) of `type` and holds it until it is killed.
class LockingChild {
public:
    LockingChild(const std::string& path, int command, short type) {
        int ready[2];
        if (::pipe(ready) != 0) {
            return;
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            const int fd = ::open(path.c_str(), type == F_WRLCK ? O_RDWR : O_RDONLY);
            struct flock lock {};
            lock.l_type = type;
            lock.l_whence = SEEK_SET;
            const char held = fd >= 0 && ::fcntl(fd, command, &lock) == 0 ? 'y' : 'n';
            (void)!::write(ready[1], &held, 1);
            ::pause();
            ::_exit(0);
        }
        ::close(ready[1]);
        char held = 'n';
        m_bHeld = m_pid > 0 && ::read(ready[0], &held, 1) == 1 && held == 'y';
        ::close(ready[0]);
    }
    ~LockingChild() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    LockingChild(const LockingChild&) = delete;
    LockingChild& operator=(const LockingChild&) = delete;

    bool Held() const { return m_bHeld; }
    pid_t Pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    bool m_bHeld = false;
};

class FileLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Another account reaches the file.
        ASSERT_EQ(0, ::chmod(m_Dir.Path().c_str(), 0755));
        hwtest::WriteWholeFile(m_strPath, "");
        ASSERT_EQ(0, ::chmod(m_strPath.c_str(), 0644));
        m_nFd = ::open(m_strPath.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(m_nFd, 0);
    }
    void TearDown() override { ::close(m_nFd); }

    hwtest::ScratchDirectory m_Dir;
    const std::string m_strPath = m_Dir.File("held.lock");
    int m_nFd = -1;
};

}  // namespace

TEST_F(FileLockTest, LockAnotherAccountHoldsIsGivenUpAtTheDeadlineNamingItsHolder) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another account";
    }
    hwtest::ChildProcess holder;
    const std::string said = m_Dir.File("holder.out");
    ASSERT_TRUE(holder.Start(hwtest::ThrowawayAccounts::As(
                                 "nobody", {"/usr/bin/python3", "-c", kHoldShared, m_strPath}),
                             said));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return hwtest::ReadWholeFile(said) == "held\n"; }));

    // A shared lock is had beside another.
    ASSERT_TRUE(plat::TakeFileLock(m_nFd, m_strPath, plat::LockKind::kShared, "", nullptr));
    plat::ReleaseFileLock(m_nFd);

    // The waits are told by what they sleep, which a busy machine does not
    // stretch as it does their wall time: the deadline's 300 ms, not the
    // holder's hold for good.
    std::string why;
    const hwtest::SleepClock first;
    EXPECT_FALSE(plat::TakeFileLock(m_nFd, m_strPath, plat::LockKind::kExclusive,
                                    "the change waits for the next write", &why,
                                    std::chrono::milliseconds(300)));
    EXPECT_EQ(plat::kErrBusy, plat::GetLastError());
    EXPECT_GE(first.Wall(), std::chrono::milliseconds(250));
    EXPECT_LT(first.Slept(), std::chrono::seconds(5)) << hwtest::Ms(first.Wall()) << " ms in all";
    EXPECT_EQ(m_strPath + " is locked by process " + std::to_string(holder.Pid()) +
                  " (python3), a process another account owns (nobody, uid 65534); the change waits "
                  "for the next write",
              why);

    // The same holder again: not waited on a second time.
    const hwtest::SleepClock again;
    EXPECT_FALSE(plat::TakeFileLock(m_nFd, m_strPath, plat::LockKind::kExclusive, "", nullptr,
                                    std::chrono::seconds(10)));
    EXPECT_LT(again.Slept(), std::chrono::seconds(2))
        << hwtest::Ms(again.Slept()) << " ms asleep of " << hwtest::Ms(again.Wall()) << " ms";

    holder.Stop();
    EXPECT_TRUE(plat::TakeFileLock(m_nFd, m_strPath, plat::LockKind::kExclusive, "", nullptr));
}

TEST_F(FileLockTest, HoldersOfRecordAndOpenFileDescriptionLocksAreFound) {
    EXPECT_EQ(0, plat::RecordLockHolder(m_nFd));
    bool bWrite = true;
    {
        LockingChild reader(m_strPath, F_SETLK, F_RDLCK);
        ASSERT_TRUE(reader.Held());
        EXPECT_EQ(reader.Pid(), plat::RecordLockHolder(m_nFd, &bWrite));
        EXPECT_FALSE(bWrite);
        EXPECT_FALSE(plat::TryRecordWriteLock(m_nFd));
    }
    {
        LockingChild writer(m_strPath, F_SETLK, F_WRLCK);
        ASSERT_TRUE(writer.Held());
        EXPECT_EQ(writer.Pid(), plat::RecordLockHolder(m_nFd, &bWrite));
        EXPECT_TRUE(bWrite);
        EXPECT_EQ(writer.Pid(), plat::FindLockHolder(m_nFd));
    }
    {
        // The system names no process for these: the one whose open files
        // show the lock is found.
        LockingChild description(m_strPath, F_OFD_SETLK, F_RDLCK);
        ASSERT_TRUE(description.Held());
        EXPECT_EQ(-1, plat::RecordLockHolder(m_nFd, &bWrite));
        EXPECT_EQ(description.Pid(), plat::FindLockHolder(m_nFd));
        if (::geteuid() == 0) {
            EXPECT_EQ("locked by process " + std::to_string(description.Pid()) +
                          " (platform_tests), a process root owns (uid 0)",
                      plat::LockHolderText(m_nFd));
        }
    }
    EXPECT_TRUE(plat::TryRecordWriteLock(m_nFd));
    EXPECT_EQ(0, plat::RecordLockHolder(m_nFd));
}
