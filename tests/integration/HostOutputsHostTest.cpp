// hwhost's outputs when the machine misbehaves, end to end with the real
// plug-in in a private network namespace (root): a file system that fills
// up under the outbox, the log and the alert files, a log folder removed
// under the host, hostile bytes in syslog datagrams, and bursts of pause
// and resume signals.

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "qorToolsLib/RegularExpressionSet.h"
#include "support/AlertOutputs.h"
#include "support/ExternalCheck.h"
#include "support/NamespacedHost.h"

namespace fs = std::filesystem;

namespace {

// One syslog rule that mails every alert, with the datagram's text after
// "MAILME " as the user, and the mail definition it names.
std::string MailPolicy() {
    return hwtest::SyslogPolicy({{"Mail me", "MAILME ", {{"User", "MAILME {!}"}}}}) +
           "[\\Advanced\\Rules\\SysLog Rules\\Mail me\\Response\\];\r\n"
           "[\\Advanced\\Rules\\SysLog Rules\\Mail me\\Response\\EMAIL\\];\r\n"
           "Enabled\t=B\t1;\r\nChoice\t=S\tAdmins;\r\n";
}

const std::string kCommonPolicy =
    "Host Warden common policy\r\n[\\];\r\n[\\Response\\];\r\n[\\Response\\EMAIL\\];\r\n"
    "[\\Response\\EMAIL\\Admins\\];\r\nTo\t=S\tsecurity@example.org;\r\n"
    "Subject\t=S\tLog-in failure by <UserName>;\r\n";

// Every line of the host log is whole: it begins with its time stamp,
// "YYYY-MM-DD HH:MM:SS.mmm ".
void ExpectWholeLines(const std::string& log) {
    static const std::string kShape = "9999-99-99 99:99:99.999 ";
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        bool bStamped = line.size() > kShape.size();
        for (size_t i = 0; bStamped && i < kShape.size(); ++i) {
            bStamped = kShape[i] == '9' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                        : line[i] == kShape[i];
        }
        ASSERT_TRUE(bStamped) << "torn line: " << line;
    }
}

// The control bytes (but TAB and LF) of a text.
size_t ControlBytes(const std::string& text) {
    size_t count = 0;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        count += (byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7F ? 1 : 0;
    }
    return count;
}

// The documents of an alert file as xmllint reads them, wrapped in one
// element: the count of "event" elements with their three sections, or
// the parser's complaint.
std::string XmllintDocuments(const std::string& xml, const std::string& scratch) {
    hwtest::WriteWholeFile(scratch, "<alerts>\n" + xml + "</alerts>\n");
    try {
        return testing_support::RunCommand(
            "xmllint --noout --xpath "
            "'count(/alerts/event[count(*)=3])' '" +
            scratch + "' 2>&1");
    } catch (const std::exception&) {
        return testing_support::RunCommand("xmllint --noout '" + scratch +
                                           "' 2>&1 | head -5; true");
    }
}

class HostOutputsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root for a network namespace";
        }
        ASSERT_TRUE(m_namespace.IsReady()) << m_namespace.Error();
        m_host.WritePolicy(MailPolicy());
        hwtest::WriteWholeFile(m_host.File("common.policy"), kCommonPolicy);
    }

    bool Start(const std::vector<std::string>& arguments = {}) {
        return m_host.Start(arguments, {"TZ=UTC"}) &&
               hwtest::WaitUntil([&] { return m_host.SyslogPortOpen(); });
    }

    // A file system of `size` (and the further tmpfs options `more`) of the
    // test's own, in a mount namespace of its own, at DIR/spool.
    void MountSpool(const char* size, const std::string& more = std::string()) {
        ASSERT_EQ(0, ::unshare(CLONE_NEWNS)) << std::strerror(errno);
        ASSERT_EQ(0, ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
            << std::strerror(errno);
        const std::string spool = m_host.File("spool");
        fs::create_directories(spool);
        ASSERT_EQ(
            0, ::mount("hwtest", spool.c_str(), "tmpfs", 0, (std::string("size=") + size + more).c_str()))
            << std::strerror(errno);
        m_strMounted = spool;
    }

    void TearDown() override {
        if (!m_strMounted.empty()) {
            ::umount2(m_strMounted.c_str(), MNT_DETACH);
        }
    }

    size_t AlertCount() const { return hwtest::CountOf(m_host.Alerts(), "</event>"); }

    // Sends `signal` and waits until hwhost has taken it off the pending
    // signals, as a person sending signals one by one would see it.
    void SendTaken(int signal) {
        m_host.Signal(signal);
        const std::string status = "/proc/" + std::to_string(m_host.Pid()) + "/status";
        ASSERT_TRUE(hwtest::WaitUntil([&] {
            return hwtest::ReadWholeFile(status).find("ShdPnd:\t0000000000000000") !=
                   std::string::npos;
        }));
    }

    // What hwhost said on standard error, but the echo of its input.
    std::string SaidByTheHost() const {
        std::istringstream in(m_host.Errors());
        std::string said;
        for (std::string line; std::getline(in, line);) {
            said += line.find("Parsing Entry") == std::string::npos ? line + "\n" : std::string();
        }
        return said;
    }
    // The outputs under DIR/spool/out, each alert numbered and mailed (to
    // the outbox outside the spool: each mail is a line in the log).
    bool StartWithOutputsInTheSpool() {
        m_host.WritePolicy(hwtest::SyslogPolicy({{"Numbered", "hwout ", {{"Sent", "hwout {!}"}}}}) +
                           "[\\Advanced\\Rules\\SysLog Rules\\Numbered\\Response\\];\r\n"
                           "[\\Advanced\\Rules\\SysLog Rules\\Numbered\\Response\\EMAIL\\];\r\n"
                           "Enabled\t=B\t1;\r\nChoice\t=S\tAdmins;\r\n");
        m_strOut = m_strMounted + "/out";
        return Start({"--alerts", m_strOut + "/alerts.xml", "--messages", m_strOut + "/messages.bin", "--log",
                      m_strOut + "/hwhost.log"});
    }
    void SendAlert() { ASSERT_TRUE(m_host.SendDatagram("<13>gate app: hwout #" + std::to_string(m_nSent++) + "#")); }
    // Sends an alert every 50 ms until what hwhost said on standard error
    // holds each of `said` (for as long as a loaded machine may take to let
    // a host in a loop-mounted spool write).
    bool AlertUntilSaid(const std::vector<std::string>& said) {
        int polls = 0;
        return hwtest::WaitUntil([&] {
            const std::string errors = m_host.Errors();
            if (std::all_of(said.begin(), said.end(),
                            [&](const std::string& text) { return errors.find(text) != std::string::npos; })) {
                return true;
            }
            if (polls++ % 5 == 0) {
                SendAlert();
            }
            return false;
        }, 120);
    }
    static std::string LastBytes(const std::string& text, size_t bytes) {
        return text.size() > bytes ? text.substr(text.size() - bytes) : text;
    }
    // The files of the spool whose names begin with `name`, oldest first:
    // those moved aside (a folder "out.1", a file "alerts.xml.1") before
    // the one in use.
    std::vector<std::string> SpoolFiles(const std::string& name) const {
        std::vector<std::string> files;
        for (const std::string& folder : {m_strOut + ".1", m_strOut}) {
            for (const std::string suffix : {".1", ".2", ""}) {
                if (fs::is_regular_file(folder + "/" + name + suffix)) {
                    files.push_back(folder + "/" + name + suffix);
                }
            }
        }
        return files;
    }
    // The numbers of the alerts the alert files hold, in order; each file
    // made of whole documents (as xmllint reads them when `bXmllint`).
    std::vector<int> NumbersWritten(bool bXmllint = false) const {
        std::vector<int> numbers;
        for (const std::string& file : SpoolFiles("alerts.xml")) {
            const std::string xml = hwtest::ReadWholeFile(file);
            std::string problem;
            const size_t documents = hwtest::CountWholeDocuments(xml, problem);
            EXPECT_EQ("", problem) << file;
            if (bXmllint) {
                EXPECT_EQ(std::to_string(documents) + "\n", XmllintDocuments(xml, m_host.File("wrapped.xml"))) << file;
            }
            for (size_t at = xml.find("<event "); at != std::string::npos; at = xml.find("<event ", at + 1)) {
                const size_t mark = xml.find("value='#", at);
                numbers.push_back(mark == std::string::npos ? -1 : std::atoi(xml.c_str() + mark + 8));
            }
        }
        return numbers;
    }
    size_t MessagesWritten() const {
        size_t count = 0;
        for (const std::string& file : SpoolFiles("messages.bin")) {
            std::string problem;
            count += hwtest::CountWholeMessages(hwtest::ReadWholeFile(file), problem);
            EXPECT_EQ("", problem) << file;
        }
        return count;
    }
    // Every alert sent is in the alert files once and in order, and in the
    // message files.
    bool AllWritten() const {
        std::vector<int> expected(static_cast<size_t>(m_nSent));
        std::iota(expected.begin(), expected.end(), 0);
        return NumbersWritten() == expected && MessagesWritten() == expected.size();
    }

    hwtest::NetworkNamespace m_namespace;
    hwtest::NamespacedHost m_host{m_namespace};
    std::string m_strMounted;
    std::string m_strOut;
    int m_nSent = 0;
};

}  // namespace

TEST_F(HostOutputsTest, MailsOfAFullDiskArriveWhenSpaceReturnsAndLogLinesStayWhole) {
    // A small file system holds the outbox and the log.
    ASSERT_NO_FATAL_FAILURE(MountSpool("4m"));
    const std::string spool = m_strMounted;
    fs::create_directories(spool + "/outbox");
    fs::create_symlink(spool + "/outbox", m_host.File("outbox"));
    const std::string log = spool + "/logs/hwhost.log";
    ASSERT_TRUE(Start({"--log", log})) << m_host.ErrorsTail();

    // Fill it up.
    {
        std::ofstream filler(spool + "/filler", std::ios::binary);
        const std::string block(4096, 'f');
        while (filler.write(block.data(), block.size())) {
        }
    }
    constexpr int kAlerts = 20;
    for (int i = 0; i < kAlerts; ++i) {
        ASSERT_TRUE(m_host.SendDatagram("<13>gate sshd: MAILME user" + std::to_string(i)));
    }
    ASSERT_TRUE(hwtest::WaitUntil([&] { return AlertCount() == kAlerts; })) << m_host.Alerts();
    EXPECT_TRUE(hwtest::MailFiles(spool + "/outbox").empty());

    fs::remove(spool + "/filler");
    ASSERT_TRUE(hwtest::WaitUntil([&] { return hwtest::MailFiles(spool + "/outbox").size() == kAlerts; }))
        << hwtest::ReadWholeFile(log);
    std::string subjects;
    for (const std::string& mail : hwtest::MailFiles(spool + "/outbox")) {
        subjects += hwtest::ReadWholeFile(mail);
    }
    for (int i = 0; i < kAlerts; ++i) {
        EXPECT_NE(std::string::npos,
                  subjects.find("Subject: Log-in failure by user" + std::to_string(i) + "\n"))
            << i;
    }
    // Lines written while the disk was full were kept whole and written
    // once there was room, and that was said.
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return hwtest::ReadWholeFile(log).find(" s late to ") != std::string::npos;
    }));
    const std::string text = hwtest::ReadWholeFile(log);
    ExpectWholeLines(text);
    EXPECT_NE(std::string::npos, text.find("hwhost: cannot write the log file " + log + " (No space left on device); "))
        << text;
    EXPECT_NE(std::string::npos, text.find(" log lines kept meanwhile are written\n")) << text;
    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_host.ErrorsTail();
}

TEST_F(HostOutputsTest, RemovedLogFolderComesBackWithAndWithoutSighup) {
    const std::string log = m_host.File("logs/hwhost.log");
    ASSERT_TRUE(Start({"--log", log})) << m_host.ErrorsTail();
    ASSERT_TRUE(fs::exists(log));

    // Without a signal: the next line the host writes makes it again.
    fs::remove_all(m_host.File("logs"));
    ASSERT_TRUE(m_host.SendDatagram("<13>gate sshd: MAILME first"));
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return hwtest::ReadWholeFile(log).find("MAILME") != std::string::npos ||
               hwtest::ReadWholeFile(log).find("e-mail") != std::string::npos;
    })) << m_host.ErrorsTail();

    // Renamed away, then SIGHUP: the reload is written to a new file.
    fs::rename(log, log + ".1");
    m_host.Signal(SIGHUP);
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return hwtest::ReadWholeFile(log).find("hwhost: reload completed with status 1") !=
               std::string::npos;
    })) << m_host.ErrorsTail();
    EXPECT_EQ(std::string::npos,
              hwtest::ReadWholeFile(log + ".1").find("hwhost: reload completed"));
    ExpectWholeLines(hwtest::ReadWholeFile(log));
}

// The folder of the alert, message and log files is replaced by a file for
// a while, then, after a rotation, made read-only (a read-only bind mount
// of itself: root's writes are not stopped by a folder's mode, and a file
// open for writing stays writable, as with a mode change): each output
// says once that it cannot be opened, keeps what comes, and is written
// again, every alert once and in order, the log made again, without a
// signal.
TEST_F(HostOutputsTest, OutputsWhoseFolderIsReplacedByAFileOrMadeReadOnlyComeBackWithoutASignal) {
    ASSERT_FALSE(hwtest::FindProgram("xmllint").empty()) << "xmllint: scripts/install-deps";
    ASSERT_NO_FATAL_FAILURE(MountSpool("4m"));
    ASSERT_TRUE(StartWithOutputsInTheSpool()) << m_host.ErrorsTail();
    const std::string out = m_strOut;
    SendAlert();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return AllWritten(); })) << m_host.ErrorsTail();

    // Moved aside with what it holds, and a file put at its name.
    fs::rename(out, out + ".1");
    hwtest::WriteWholeFile(out, "in the way\n");
    const std::string notADirectory = out + ": Not a directory; what is not written yet is kept";
    ASSERT_TRUE(AlertUntilSaid({"ERROR: hwhost: cannot open the alert file: " + notADirectory,
                                "ERROR: hwhost: cannot open the message file: " + notADirectory,
                                "ERROR: hwhost: the log is not written: " + notADirectory}))
        << m_host.ErrorsTail() << "\nthe end of the log moved aside:\n"
        << LastBytes(hwtest::ReadWholeFile(out + ".1/hwhost.log"), 4000);
    SendAlert();
    fs::remove(out);
    fs::create_directory(out);
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return AllWritten() && hwtest::CountOf(m_host.Errors(), " is written again after ") == 3;
    })) << m_host.ErrorsTail();
    // The log is made again, and holds what it kept, its failure among it.
    const std::string log = hwtest::ReadWholeFile(out + "/hwhost.log");
    EXPECT_NE(std::string::npos, log.find("hwhost: the log is not written: " + notADirectory)) << log;
    EXPECT_NE(std::string::npos, log.find("hwhost: the alert file " + out + "/alerts.xml is written again after "))
        << log;
    ExpectWholeLines(log);

    // Rotated, then made read-only.
    for (const std::string name : {"alerts.xml", "messages.bin", "hwhost.log"}) {
        fs::rename(out + "/" + name, out + "/" + name + ".2");
    }
    ASSERT_EQ(0, ::mount(out.c_str(), out.c_str(), nullptr, MS_BIND, nullptr)) << std::strerror(errno);
    ASSERT_EQ(0, ::mount(nullptr, out.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr))
        << std::strerror(errno);
    const auto readOnly = [&](const std::string& name) {
        return out + "/" + name + ": Read-only file system; what is not written yet is kept";
    };
    const bool bSaid = AlertUntilSaid({"ERROR: hwhost: cannot open the alert file: " + readOnly("alerts.xml"),
                                       "ERROR: hwhost: cannot open the message file: " + readOnly("messages.bin"),
                                       "ERROR: hwhost: the log is not written: " + readOnly("hwhost.log")});
    SendAlert();
    ASSERT_EQ(0, ::umount2(out.c_str(), 0)) << std::strerror(errno);
    ASSERT_TRUE(bSaid) << m_host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return AllWritten() && hwtest::CountOf(m_host.Errors(), " is written again after ") == 6;
    })) << m_host.ErrorsTail();
    EXPECT_NE(std::string::npos, hwtest::ReadWholeFile(out + "/hwhost.log")
                                     .find("hwhost: the log is not written: " + readOnly("hwhost.log")));

    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_host.ErrorsTail();
    EXPECT_EQ(static_cast<size_t>(m_nSent), NumbersWritten(true).size());
    EXPECT_EQ(0u, hwtest::NotWrittenCount(m_host.Errors(), "alerts")) << m_host.ErrorsTail();
}

// The file system of the outputs runs out of blocks, then, after a
// rotation, out of inodes: each output says once that it cannot be
// written or opened, keeps what comes, and once there is room again writes
// every alert once and in order, whole (a document a full disk cut short
// is cut back and written whole later), without a signal.
TEST_F(HostOutputsTest, OutputsOfAFullFileSystemComeBackWithEveryAlertOnceThereIsRoomAgain) {
    ASSERT_FALSE(hwtest::FindProgram("xmllint").empty()) << "xmllint: scripts/install-deps";
    ASSERT_NO_FATAL_FAILURE(MountSpool("2m", ",nr_inodes=64"));
    ASSERT_TRUE(StartWithOutputsInTheSpool()) << m_host.ErrorsTail();
    const std::string out = m_strOut;
    SendAlert();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return AllWritten(); })) << m_host.ErrorsTail();

    {
        std::ofstream filler(m_strMounted + "/blocks", std::ios::binary);
        const std::string block(4096, 'f');
        while (filler.write(block.data(), block.size()) && filler.flush()) {
        }
    }
    const auto full = [&](const std::string& name) { return out + "/" + name + " (No space left on device); "; };
    ASSERT_TRUE(AlertUntilSaid({"ERROR: hwhost: cannot write the alert file " + full("alerts.xml"),
                                "ERROR: hwhost: cannot write the message file " + full("messages.bin"),
                                "ERROR: hwhost: cannot write the log file " + full("hwhost.log")}))
        << SaidByTheHost();
    fs::remove(m_strMounted + "/blocks");
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return AllWritten() && hwtest::CountOf(m_host.Errors(), " is written again after ") == 3;
    })) << m_host.ErrorsTail();

    // Rotated, then no inode left for the new files.
    for (const std::string name : {"alerts.xml", "messages.bin", "hwhost.log"}) {
        fs::rename(out + "/" + name, out + "/" + name + ".1");
    }
    int inodes = 0;
    for (; std::ofstream(m_strMounted + "/inode." + std::to_string(inodes)); ++inodes) {
    }
    const auto noInode = [&](const std::string& name) {
        return out + "/" + name + ": No space left on device; what is not written yet is kept";
    };
    ASSERT_TRUE(AlertUntilSaid({"ERROR: hwhost: cannot open the alert file: " + noInode("alerts.xml"),
                                "ERROR: hwhost: cannot open the message file: " + noInode("messages.bin"),
                                "ERROR: hwhost: the log is not written: " + noInode("hwhost.log")}))
        << m_host.ErrorsTail();
    SendAlert();
    for (int i = 0; i < inodes; ++i) {
        fs::remove(m_strMounted + "/inode." + std::to_string(i));
    }
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return AllWritten() && hwtest::CountOf(m_host.Errors(), " is written again after ") == 6;
    })) << m_host.ErrorsTail();

    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(0, exitCode) << m_host.ErrorsTail();
    EXPECT_EQ(static_cast<size_t>(m_nSent), NumbersWritten(true).size());
    const std::string log = hwtest::ReadWholeFile(out + "/hwhost.log");
    ExpectWholeLines(log);
    EXPECT_NE(std::string::npos, log.find("hwhost: the log is not written: " + noInode("hwhost.log"))) << log;
}

TEST_F(HostOutputsTest, HostileBytesAreEscapedInTheEchoAndTheLogAndMailsStayValid) {
    ASSERT_TRUE(Start({"--echo-input"})) << m_host.ErrorsTail();
    ASSERT_TRUE(m_host.SendDatagram(
        "<13>gate sshd: MAILME J\xc3\xb6rg\x1b]0;owned\x07\x1b[2J\r\nBcc: evil@example.org \xff"));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return AlertCount() == 1; })) << m_host.ErrorsTail();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return hwtest::MailFiles(m_host.File("outbox")).size() == 1; }));

    const std::string errors = m_host.Errors();
    EXPECT_NE(std::string::npos,
              errors.find("NTSyslog: Parsing Entry from 127.0.0.1: <13>gate sshd: MAILME "
                          "J\xc3\xb6rg\\x1b]0;owned\\x07\\x1b[2J\\x0d\\x0aBcc: evil@example.org "
                          "\\xff\n"))
        << errors;
    EXPECT_EQ(0u, ControlBytes(errors)) << errors;
    EXPECT_EQ(0u, ControlBytes(m_host.Log()));

    // A real mail parser reads one Subject, no Bcc, the text decoded.
    const fs::path mail = hwtest::MailFiles(m_host.File("outbox")).front();
    const std::string parsed = testing_support::RunCommand(
        "python3 -c \"$(cat <<'PY'\n"
        "import email, email.policy, sys\n"
        "m = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.default)\n"
        "defects = len(m.defects) + sum(len(m[k].defects) for k in m.keys())\n"
        "print('keys=' + ','.join(m.keys()))\n"
        "print('subject=' + ascii(str(m['Subject'])))\n"
        "print('defects=%d' % defects)\n"
        "PY\n)\" '" +
        mail.string() + "'");
    EXPECT_NE(std::string::npos, parsed.find("keys=To,Subject,MIME-Version,Content-Type,"
                                             "Content-Transfer-Encoding\n"))
        << parsed;
    EXPECT_NE(std::string::npos,
              parsed.find("subject='Log-in failure by J\\xf6rg ]0;owned  [2J  Bcc: evil@example.org "
                          "\\ufffd'\n"))
        << parsed << hwtest::ReadWholeFile(mail.string());
    EXPECT_NE(std::string::npos, parsed.find("defects=0\n")) << parsed;
    EXPECT_EQ(0u, ControlBytes(hwtest::ReadWholeFile(mail.string())));
}

TEST_F(HostOutputsTest, BurstOfPauseAndResumeSignalsEndsInTheLastOnesState) {
    ASSERT_TRUE(Start()) << m_host.ErrorsTail();
    // Pause, resume, pause: the first pause is still being carried out
    // when the others come.
    SendTaken(SIGUSR1);
    SendTaken(SIGUSR2);
    SendTaken(SIGUSR1);
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return m_host.Log().find("every signal answered (3 taken)") != std::string::npos;
    })) << m_host.Log();
    EXPECT_NE(std::string::npos,
              m_host.Log().find("every signal answered (3 taken); sensor state: paused"))
        << m_host.Log();
    EXPECT_FALSE(m_host.SyslogPortOpen());
    EXPECT_NE(std::string::npos, m_host.Log().find("hwhost: sensor state after pause: paused"));

    SendTaken(SIGUSR2);
    SendTaken(SIGUSR1);
    SendTaken(SIGUSR2);
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return m_host.Log().find("every signal answered (6 taken)") != std::string::npos;
    })) << m_host.Log();
    EXPECT_NE(std::string::npos,
              m_host.Log().find("every signal answered (6 taken); sensor state: running"))
        << m_host.Log();
    EXPECT_TRUE(hwtest::WaitUntil([&] { return m_host.SyslogPortOpen(); }));
}

// A flood of alerts fills the 2 MB file system holding the alert and
// message files; the files are renamed away while it is full, room is
// made, the new files fill up too, and the host stops while they are full.
// Every document of every file is one xmllint reads whole, every message
// decodes, and each alert the sink took is written once, counted as not
// written, or counted as dropped.
TEST_F(HostOutputsTest,
       AlertAndMessageFilesOfAFullDiskHoldOnlyWholeDocumentsThroughARotationAndAStop) {
    ASSERT_FALSE(hwtest::FindProgram("xmllint").empty()) << "xmllint: scripts/install-deps";
    ASSERT_NO_FATAL_FAILURE(MountSpool("2m"));
    const std::string spool = m_strMounted;
    m_host.WritePolicy(hwtest::SyslogPolicy({{"Every line", "flood"}}));
    const std::string alerts = spool + "/alerts.xml";
    const std::string messages = spool + "/messages.bin";
    // Half of it is taken, to be given back after the rotation in four
    // parts.
    constexpr int kFillers = 4;
    const auto Filler = [&](int part) { return spool + "/filler" + std::to_string(part); };
    for (int part = 0; part < kFillers; ++part) {
        std::ofstream filler(Filler(part), std::ios::binary);
        filler << std::string(256 * 1024, 'f');
    }
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(Start({"--alerts", alerts, "--messages", messages})) << m_host.ErrorsTail();
    // Whatever the build, the summary says how the rules are matched.
    EXPECT_NE(std::string::npos,
              m_host.Errors().find(RegularExpressionSet::HasScanner()
                                       ? "\n  log rules: screened by the multi-pattern scanner\n"
                                       : "\n  log rules: each rule runs its own matcher"))
        << m_host.Errors();

    hwtest::DatagramStream flood(m_host, "<13>gate app: flood ");
    const auto FullTimes = [&](const char* what) {
        return hwtest::CountOf(m_host.Log(), std::string("hwhost: cannot write the ") + what + " file " +
                                                 (std::string(what) == "alert" ? alerts : messages) +
                                                 " (No space left on device)");
    };
    const auto BothFull = [&](size_t times) {
        return hwtest::WaitUntil(
            [&] { return FullTimes("alert") >= times && FullTimes("message") >= times; }, 120.0);
    };
    ASSERT_TRUE(BothFull(1)) << m_host.ErrorsTail();

    // A rotation while it is full, then room for the new files, which
    // the alerts kept meanwhile fill at once, given back in parts until
    // the alert file has taken some.  Each file that cannot be written is
    // tried again a second after its last try, and the first to try takes
    // the room: a message file that failed a moment before the alert file
    // takes every part, its backlog larger than a part while the flood
    // goes on.  A SIGHUP has both tried at once, the alert file first,
    // and from then on at the same moments, so the room given back after
    // it goes to the alert file first.
    fs::rename(alerts, alerts + ".1");
    fs::rename(messages, messages + ".1");
    ASSERT_TRUE(hwtest::WaitUntil([&] { return fs::exists(alerts) && fs::exists(messages); }))
        << m_host.ErrorsTail();
    const auto Space = [&]() -> uint64_t {
        struct statvfs space {};
        return ::statvfs(spool.c_str(), &space) == 0 ? space.f_bavail * space.f_frsize
                                                     : std::numeric_limits<uint64_t>::max();
    };
    const auto Taken = [&] {
        return Space() < 65536 && (fs::file_size(alerts) > 0 || fs::file_size(messages) > 0);
    };
    for (int part = 0; part < kFillers && fs::file_size(alerts) == 0; ++part) {
        const size_t reloads = hwtest::CountOf(m_host.Log(), "hwhost: sensor state after reload");
        m_host.Signal(SIGHUP);
        ASSERT_TRUE(hwtest::WaitUntil([&] {
            return hwtest::CountOf(m_host.Log(), "hwhost: sensor state after reload") > reloads;
        })) << m_host.ErrorsTail();
        fs::remove(Filler(part));
        ASSERT_TRUE(hwtest::WaitUntil(Taken, 120.0)) << Space() << " bytes free";
    }
    ASSERT_TRUE(
        hwtest::WaitUntil([&] { return Space() < 65536 && fs::file_size(alerts) > 0; }, 10.0))
        << Space() << " bytes free, the alert file of " << fs::file_size(alerts)
        << " bytes, the message file of " << fs::file_size(messages) << " bytes\n"
        << [&] {
               const std::string log = m_host.Log();
               return log.substr(log.size() - std::min<size_t>(log.size(), 4000));
           }();
    // The flood goes on: the stop finds alerts kept for the full files, and
    // hwhost ends with the status of a run whose alerts were not all written.
    int exitCode = -1;
    ASSERT_TRUE(m_host.Stop(exitCode));
    EXPECT_EQ(6, exitCode) << m_host.ErrorsTail();
    const auto minutesRun =
        std::chrono::duration_cast<std::chrono::minutes>(std::chrono::steady_clock::now() - started)
            .count();

    const std::string log = m_host.Log();
    const size_t counts = log.rfind("hwhost: ", log.find(" alerts taken, "));
    ASSERT_NE(std::string::npos, counts) << m_host.ErrorsTail();
    unsigned long long taken = 0, written = 0, dropped = 0, notWritten = 0;
    ASSERT_EQ(4,
              std::sscanf(log.c_str() + counts,
                          "hwhost: %llu alerts taken, %llu written, %llu dropped, %llu not written",
                          &taken, &written, &dropped, &notWritten));
    EXPECT_GT(notWritten, 0u) << "the stop came while alerts were kept";
    EXPECT_EQ(notWritten, hwtest::NotWrittenCount(log, "alerts"));

    uint64_t documents = 0;
    uint64_t decoded = 0;
    for (const std::string suffix : {".1", ""}) {
        SCOPED_TRACE("the files ending in \"" + suffix + "\"");
        const std::string xml = hwtest::ReadWholeFile(alerts + suffix);
        std::string problem;
        const size_t inFile = hwtest::CountWholeDocuments(xml, problem);
        EXPECT_EQ("", problem);
        EXPECT_GT(inFile, 0u);
        EXPECT_EQ(std::to_string(inFile) + "\n", XmllintDocuments(xml, m_host.File("wrapped.xml")));
        documents += inFile;
        problem.clear();
        decoded += hwtest::CountWholeMessages(hwtest::ReadWholeFile(messages + suffix), problem);
        EXPECT_EQ("", problem);
    }
    EXPECT_EQ(written, documents);
    EXPECT_EQ(taken, written + dropped + notWritten);
    EXPECT_EQ(taken, decoded + dropped + hwtest::NotWrittenCount(log, "host messages"));
    // However many alerts are dropped, the log names at most 20 a minute
    // (a slow machine's run may see a minute more begin).
    EXPECT_LE(hwtest::CountOf(log, "\" is dropped: the "),
              20u * static_cast<size_t>(minutesRun + 2));
}
