#include "MailOutbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "HostServices.h"
#include "support/ConsoleCapture.h"
#include "support/ExternalCheck.h"
#include "support/NamespacedHost.h"
#include "support/TestUtil.h"

namespace fs = std::filesystem;

namespace {

// What python3's e-mail package reads from the file: header names, the
// decoded values, the body and every defect it found, as ASCII.
std::string ParsedByPython(const std::string& path) {
    const std::string script =
        "import email, email.policy, sys\n"
        "m = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.default)\n"
        "defects = len(m.defects) + sum(len(m[k].defects) for k in m.keys())\n"
        "print('keys=' + ','.join(m.keys()))\n"
        "print('to=' + ascii(str(m['To'])))\n"
        "print('subject=' + ascii(str(m['Subject'])))\n"
        "print('body=' + ascii(m.get_content()))\n"
        "print('defects=%d' % defects)\n";
    return testing_support::RunCommand("python3 -c \"$(cat <<'PY'\n" + script + "PY\n)\" '" +
                                       path + "'");
}

}  // namespace

TEST(MailOutbox, HeadersStayValidAndBodiesSafeWhateverTheAlertCarried) {
    hwtest::ScratchDirectory dir;
    MailOutbox outbox(dir.File("outbox"));
    const std::string subject = "Login \r\nBcc: evil@example.org \x1b[2J J\xc3\xb6rg \xff =?UTF-8?B?G1s=?= " +
                                std::string(40, 'x') + " " + [] {
                                    std::string accents;
                                    for (int i = 0; i < 40; ++i) {
                                        accents += "\xc3\xa9";
                                    }
                                    return accents;
                                }();
    const std::string body = "\tUser: mallory\x1b[2J\r\nnext \xff \xc3\xbc\a\n";
    std::string path;
    std::string error;
    ASSERT_EQ(MailOutbox::Result::kWritten,
              outbox.Deliver("ops@example.org", subject, body, path, error))
        << error;
    const std::string raw = hwtest::ReadWholeFile(path);
    for (char c : raw) {
        const auto byte = static_cast<unsigned char>(c);
        ASSERT_TRUE(byte >= 0x20 || c == '\n' || c == '\t') << "raw control byte in " << raw;
    }
    const std::string headers = raw.substr(0, raw.find("\n\n"));
    for (char c : headers) {
        ASSERT_LT(static_cast<unsigned char>(c), 0x80) << "8-bit header: " << headers;
    }
    size_t lineStart = 0;
    for (size_t end = headers.find('\n'); lineStart < headers.size();
         lineStart = end + 1, end = headers.find('\n', lineStart)) {
        const size_t length = (end == std::string::npos ? headers.size() : end) - lineStart;
        EXPECT_LE(length, 78u) << headers;
        if (end == std::string::npos) {
            break;
        }
    }

    std::string accents;
    for (int i = 0; i < 40; ++i) {
        accents += "\\xe9";
    }
    EXPECT_EQ("keys=To,Subject,MIME-Version,Content-Type,Content-Transfer-Encoding\n"
              "to='ops@example.org'\n"
              "subject='Login   Bcc: evil@example.org  [2J J\\xf6rg \\ufffd =?UTF-8?B?G1s=?= " +
                  std::string(40, 'x') + " " + accents +
                  "'\n"
                  "body='\\tUser: mallory\\\\x1b[2J\\nnext \\ufffd \\xfc\\\\x07\\n'\n"
                  "defects=0\n",
              ParsedByPython(path))
        << raw;
}

// Values make lines as long as their writer chooses: a body line past the
// 998 octets a mail line may hold goes quoted-printable, and a long run of
// blanks in a subject is encoded rather than left on one line, so every
// line of the file stays short and a reader gets the texts back whole.
TEST(MailOutbox, LongLinesAndLongRunsOfBlanksMakeNoLineLongerThanAMailLine) {
    hwtest::ScratchDirectory dir;
    MailOutbox outbox(dir.File("outbox"));
    const std::string subject = "from" + std::string(3000, ' ') + "198.51.100.7 " + std::string(2000, 'x');
    std::string line = "\t\tMessage: ";
    for (int i = 0; i < 400; ++i) {
        line += "a=b \xc3\xa9t\xc3\xa9 \xe2\x82\xac ";
    }
    const std::string body = "Details:\n" + line + " \nend \n";
    std::string path;
    std::string error;
    ASSERT_EQ(MailOutbox::Result::kWritten, outbox.Deliver("ops@example.org", subject, body, path, error)) << error;
    const std::string raw = hwtest::ReadWholeFile(path);
    size_t longest = 0;
    for (size_t at = 0; at < raw.size();) {
        const size_t end = std::min(raw.find('\n', at), raw.size());
        longest = std::max(longest, end - at);
        at = end + 1;
    }
    EXPECT_LE(longest, 78u) << raw;
    EXPECT_NE(std::string::npos, raw.find("\nContent-Transfer-Encoding: quoted-printable\n")) << raw;
    const std::string parsed = ParsedByPython(path);
    EXPECT_NE(std::string::npos, parsed.find("subject='from" + std::string(3000, ' ') + "198.51.100.7 " +
                                             std::string(2000, 'x') + "'\n"))
        << parsed;
    std::string shown = line;
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"\t", "\\t"}, {"\xc3\xa9", "\\xe9"},
                                   {"\xe2\x82\xac", "\\u20ac"}}) {
        for (size_t at = shown.find(from); at != std::string::npos; at = shown.find(from, at + to.size())) {
            shown.replace(at, from.size(), to);
        }
    }
    EXPECT_NE(std::string::npos, parsed.find("body='Details:\\n" + shown + " \\nend \\n'\n")) << parsed;
    EXPECT_NE(std::string::npos, parsed.find("defects=0\n")) << parsed;
}

TEST(MailOutbox, MailsBeyondTheLimitAndThoseLeftAtStopAreDroppedAndCounted) {
    hwtest::ScratchDirectory dir;
    hwtest::WriteWholeFile(dir.File("spool"), "");
    HostServices services;
    ASSERT_TRUE(services.Open(dir.File("hwhost.log")));
    MailOutbox outbox(dir.File("spool/outbox"), &services);
    std::string path;
    std::string error;
    for (size_t i = 0; i < MailOutbox::kMaxWaiting; ++i) {
        ASSERT_EQ(MailOutbox::Result::kWaiting, outbox.Deliver("ops", "s", "b", path, error));
    }
    hwtest::ConsoleCapture console;
    EXPECT_EQ(MailOutbox::Result::kDropped, outbox.Deliver("ops", "one too many", "b", path, error));
    EXPECT_EQ(1u, outbox.Dropped());
    outbox.Stop();
    EXPECT_EQ(1u + MailOutbox::kMaxWaiting, outbox.Dropped());
    EXPECT_EQ(0u, outbox.Waiting());
    const std::string bound = "Bound reached: mail outbox " + dir.File("spool/outbox") +
                              ": at most 1000 mails or 16 MiB waiting while it cannot be written; 1 mail left out";
    for (const std::string& text : {hwtest::ReadWholeFile(dir.File("hwhost.log")), console.Text()}) {
        EXPECT_NE(std::string::npos, text.find(bound)) << text;
        EXPECT_NE(std::string::npos, text.find("1000 e-mails could not be written")) << text;
    }
    EXPECT_EQ(bound, outbox.WaitingBound().Describe());
}

// The outbox's folder replaced by a file for a while: the mails wait, and
// once the folder is there again the outbox's own retry writes them, in
// order, with no new mail to bring them.
TEST(MailOutbox, MailsWaitingForAFolderReplacedByAFileAreWrittenInOrderOnceItIsBack) {
    hwtest::ScratchDirectory dir;
    const std::string folder = dir.File("outbox");
    MailOutbox outbox(folder);
    std::string path;
    std::string error;
    ASSERT_EQ(MailOutbox::Result::kWritten, outbox.Deliver("ops", "first", "b", path, error)) << error;
    std::filesystem::rename(folder, folder + ".1");
    hwtest::WriteWholeFile(folder, "in the way\n");
    for (const char* subject : {"second", "third", "fourth"}) {
        error.clear();
        ASSERT_EQ(MailOutbox::Result::kWaiting, outbox.Deliver("ops", subject, "b", path, error));
    }
    EXPECT_NE(std::string::npos, error.find("earlier mails wait for the outbox")) << error;
    std::filesystem::remove(folder);
    std::filesystem::create_directory(folder);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return outbox.Waiting() == 0; }));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    ASSERT_EQ(3u, names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_NE(std::string::npos,
                  hwtest::ReadWholeFile(folder + "/" + names[i])
                      .find(std::string("Subject: ") + std::vector<const char*>{"second", "third", "fourth"}[i]))
            << names[i];
    }
    EXPECT_EQ(3u, outbox.WrittenLate());
    outbox.Stop();
    EXPECT_EQ(0u, outbox.Dropped());
}
