// The readers that follow a growing log file: line cutting, long lines,
// line ends, files that shrink, files that cannot be opened, and names that
// hold no regular file.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "TextLogs/TextLogListener.h"
#include "TextLogs/qorFileReader.h"
#include "TextLogs/qorTextReader.h"
#include "platform/Refusal.h"
#include "qorCSFLib/CSFLog.h"
#include "support/ConsoleCapture.h"
#include "support/NamespacedHost.h"
#include "support/TestUtil.h"

namespace {

class LogReaderTest : public ::testing::Test {
protected:
    void Append(const std::string& strBytes) {
        std::ofstream(m_strFile, std::ios::binary | std::ios::app) << strBytes;
    }
    // Every line the listener has now, each followed by "|".
    std::string Drain(CTextLogListener& listener) {
        std::string strLines;
        while (const char* pszLine = listener.ReadNextLine()) {
            strLines += std::string(pszLine) + "|";
        }
        return strLines;
    }

    hwtest::ScratchDirectory m_Dir;
    const std::string m_strFile = m_Dir.File("app.log");
    hwtest::ConsoleCapture m_Console;
};

// Waits until the kernel's file clock, which may be coarse, has moved on
// past the last change of `strFile`, so what is done to it next shows as a
// change of its own.
bool ClockMovesPast(const std::string& strFile, const std::string& strScratch) {
    struct stat before {};
    if (::stat(strFile.c_str(), &before) != 0) {
        return false;
    }
    return hwtest::WaitUntil([&] {
        std::ofstream(strScratch) << "tick";
        struct stat now {};
        return ::stat(strScratch.c_str(), &now) == 0 &&
               (now.st_ctim.tv_sec > before.st_ctim.tv_sec ||
                (now.st_ctim.tv_sec == before.st_ctim.tv_sec && now.st_ctim.tv_nsec > before.st_ctim.tv_nsec));
    }, 10);
}

}  // namespace

TEST_F(LogReaderTest, UnfinishedLineIsHeldBackUntilItsLineFeedArrives) {
    CTextLogListener listener(m_strFile);
    Append("");
    ASSERT_TRUE(listener.Open(0));
    Append("abc");
    EXPECT_EQ(listener.ReadNextLine(), nullptr);
    Append("def\nx\r\ny\n\r\n");
    // CR LF and LF alike lose their line end, and only that.
    EXPECT_EQ(Drain(listener), "abcdef|x|y||");
    EXPECT_NE(m_Console.Text().find("DEBUG: Get[7]: abcdef\n"), std::string::npos);
    // The echo shows what a terminal would obey escaped; the line handed to
    // the rules keeps its bytes.
    Append("red \x1b[31m\x07 \xff end\n");
    EXPECT_EQ(Drain(listener), "red \x1b[31m\x07 \xff end|");
    EXPECT_NE(m_Console.Text().find("DEBUG: Get[17]: red \\x1b[31m\\x07 \\xff end\n"), std::string::npos)
        << m_Console.Text();
    // With the debug trace on, whose output is the console here, the line
    // is still shown once, and escaped.
    SetDebugLoggingEnabled(true);
    Append("blue \x1b[34m\n");
    EXPECT_EQ(Drain(listener), "blue \x1b[34m|");
    SetDebugLoggingEnabled(false);
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), "Get[11]: blue")) << m_Console.Text();
    EXPECT_EQ(std::string::npos, m_Console.Text().find("\x1b[34m")) << m_Console.Text();
}

TEST_F(LogReaderTest, OverlongLineComesOutInPiecesWithoutLosingAByte) {
    CTextLogListener listener(m_strFile);
    Append("");
    ASSERT_TRUE(listener.Open(0));
    Append(std::string(5000, 'a') + "\n");
    EXPECT_EQ(Drain(listener), std::string(4095, 'a') + "|" + std::string(905, 'a') + "|");
    // A carriage return that ends a piece without its line feed is part of
    // the line: the byte before it stays too.
    const std::string strFirst = std::string(4093, 'b') + "\rx";
    Append(strFirst + "tail\r\n");
    EXPECT_EQ(Drain(listener), strFirst + "|tail|");
}

TEST_F(LogReaderTest, TruncatedFileIsReadFromItsNewBeginningWithoutItsOldUnfinishedLine) {
    CTextLogListener listener(m_strFile);
    Append("first line\nunfinished");
    ASSERT_TRUE(listener.Open(0));
    EXPECT_EQ(Drain(listener), "first line|");
    ASSERT_EQ(::truncate(m_strFile.c_str(), 0), 0);
    Append("fresh\n");
    EXPECT_EQ(Drain(listener), "fresh|");
    // Written past the place reached before the reader looks again: the
    // new bytes before that place are not skipped.
    ASSERT_EQ(::truncate(m_strFile.c_str(), 0), 0);
    Append("regrown well past the place\nand on\n");
    EXPECT_EQ(Drain(listener), "regrown well past the place|and on|");
    // Only a truncation reads a file again: appending never does.
    Append("appended\n");
    EXPECT_EQ(Drain(listener), "appended|");
    EXPECT_EQ(2u, hwtest::CountOf(m_Console.Text(), " was truncated after ")) << m_Console.Text();
}

// A program that logs lines of one length and one ending (a counter, then
// the same words) writes past the place reached after a copy-and-truncate:
// the line ends there again, with the same words before it, and the
// truncation still shows.
TEST_F(LogReaderTest, TruncatedFileRegrownWithLinesOfTheSameLengthAndEndingIsReadAgain) {
    CTextLogListener listener(m_strFile);
    const auto Lines = [](int nFirst, int nCount, std::string& strExpected) {
        std::string strLines;
        for (int n = nFirst; n < nFirst + nCount; ++n) {
            const std::string strLine =
                "[error] job" + std::to_string(1000 + n) + ": something broke";
            strLines += strLine + "\n";
            strExpected += strLine + "|";
        }
        return strLines;
    };
    std::string strBefore;
    Append(Lines(0, 100, strBefore));
    ASSERT_TRUE(listener.Open(0));
    EXPECT_EQ(Drain(listener), strBefore);
    ASSERT_EQ(::truncate(m_strFile.c_str(), 0), 0);
    std::string strAfter;
    Append(Lines(100, 150, strAfter));
    EXPECT_EQ(Drain(listener), strAfter);
    EXPECT_EQ(1u, hwtest::CountOf(m_Console.Text(), " was truncated after ")) << m_Console.Text();
}

// A truncation is noticed also where the reader has read nothing to compare
// with yet (placed at the file's end, as at a start) and where the file is
// written back to the very size that was read: the bytes before the place
// are no longer those that were there.
TEST_F(LogReaderTest, TruncationIsNoticedAtTheEndPlaceAndAtTheVerySizeRead) {
    Append("L1 one\nL2 two\n");
    CTextLogListener listener(m_strFile);
    ASSERT_TRUE(listener.Open(qorFileReader::kEndOfFile));
    EXPECT_EQ(listener.ReadNextLine(), nullptr);
    ASSERT_EQ(::truncate(m_strFile.c_str(), 0), 0);
    Append("L3 three\nL4 four, longer\n");
    EXPECT_EQ(Drain(listener), "L3 three|L4 four, longer|");
    ASSERT_TRUE(ClockMovesPast(m_strFile, m_Dir.File("tick")));
    ASSERT_EQ(::truncate(m_strFile.c_str(), 0), 0);
    Append("L5 " + std::string(21, 'x') + "\n");
    // Written a moment later than it was read: a file's time is the
    // kernel's coarse clock, which may not have moved on within a test.
    const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) + 1, 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, m_strFile.c_str(), times, 0));
    EXPECT_EQ(Drain(listener), "L5 " + std::string(21, 'x') + "|");
    EXPECT_EQ(2u, hwtest::CountOf(m_Console.Text(), " was truncated after ")) << m_Console.Text();
}

// Whoever writes a log may set its modification time back, and a
// copy-and-truncate may come while the reader is still working through a
// backlog: neither hides the truncation, and the lines written after it
// are read from their first.
TEST_F(LogReaderTest, TruncationIsNoticedUnderAModificationTimeSetBackAndWithinABacklog) {
    Append("F1 first\nF2 second\n");
    CTextLogListener listener(m_strFile);
    ASSERT_TRUE(listener.Open(0));
    EXPECT_EQ(Drain(listener), "F1 first|F2 second|");
    struct stat read {};
    ASSERT_EQ(0, ::stat(m_strFile.c_str(), &read));
    ASSERT_TRUE(ClockMovesPast(m_strFile, m_Dir.File("tick")));
    ASSERT_EQ(::truncate(m_strFile.c_str(), 0), 0);
    const std::string strNew = "G1 written after the truncation, past the place\n";
    Append(strNew);
    const timespec times[2] = {{0, UTIME_OMIT}, read.st_mtim};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, m_strFile.c_str(), times, 0));
    EXPECT_EQ(Drain(listener), strNew.substr(0, strNew.size() - 1) + "|");

    // 40-byte lines, more than one buffer of them: the reader has handed out
    // one line and holds the rest of its first read when the file is copied
    // away and truncated, and written past that read before it reads again.
    const auto Lines = [](const char* pszWord, int nCount, std::string& strExpected, int nExpected) {
        std::string strLines;
        for (int n = 0; n < nCount; ++n) {
            char szLine[64];
            std::snprintf(szLine, sizeof szLine, "%s %05d %-29s\n", pszWord, n, "padding");
            strLines += szLine;
            if (n < nExpected) {
                strExpected += std::string(szLine, 39) + "|";
            }
        }
        return strLines;
    };
    ASSERT_EQ(::truncate(m_strFile.c_str(), 0), 0);
    std::string strOld;
    Append(Lines("old", 1000, strOld, qorTextReader::kBufferSize / 40));
    CTextLogListener busy(m_strFile);
    ASSERT_TRUE(busy.Open(0));
    const char* pszFirst = busy.ReadNextLine();
    ASSERT_NE(pszFirst, nullptr);
    EXPECT_EQ(std::string(pszFirst) + "|", strOld.substr(0, 40));
    ASSERT_TRUE(ClockMovesPast(m_strFile, m_Dir.File("tick")));
    ASSERT_EQ(::truncate(m_strFile.c_str(), 0), 0);
    std::string strNewLines;
    Append(Lines("new", 1000, strNewLines, 1000));
    EXPECT_EQ(Drain(busy), strOld.substr(40) + strNewLines);
    EXPECT_EQ(2u, hwtest::CountOf(m_Console.Text(), " was truncated after ")) << m_Console.Text();
}

TEST_F(LogReaderTest, FileThatCannotBeOpenedYieldsNothingUntilItIsOpened) {
    CTextLogListener listener(m_strFile);
    EXPECT_FALSE(listener.Open(0));
    EXPECT_TRUE(listener.IsClosed());
    EXPECT_EQ(m_Console.Text(), "WARNING: Cannot open " + m_strFile + " to read\n");
    Append("late\n");
    EXPECT_EQ(listener.ReadNextLine(), nullptr);
    ASSERT_TRUE(listener.Open(0));
    EXPECT_EQ(Drain(listener), "late|");
}

// Anyone who can write to a watched folder can put a FIFO, a socket or a
// link to a device there: each is passed over without being opened (a
// FIFO's open would wait for a writer for ever), with one warning, while a
// link to a regular log is followed.
TEST_F(LogReaderTest, FifoSocketAndDeviceArePassedOverWithoutWaitingAndLinkedLogsAreRead) {
    const std::string strFifo = m_Dir.File("pipe.log");
    ASSERT_EQ(0, ::mkfifo(strFifo.c_str(), 0666));
    const std::string strSocket = m_Dir.File("sock.log");
    const int nSocket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(nSocket, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    ASSERT_LT(strSocket.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, strSocket.c_str());
    ASSERT_EQ(0, ::bind(nSocket, reinterpret_cast<sockaddr*>(&address), sizeof address));
    const std::string strDevice = m_Dir.File("zero.log");
    ASSERT_EQ(0, ::symlink("/dev/zero", strDevice.c_str()));
    const std::string strLinkedFifo = m_Dir.File("linked-pipe.log");
    ASSERT_EQ(0, ::symlink(strFifo.c_str(), strLinkedFifo.c_str()));
    // Each named in the one form of a refusal: what is there and its owner
    // (the link's target, for a link of this account's).
    const std::string strMine = plat::OwnerText(::geteuid());
    const std::pair<std::string, std::string> refused[] = {
        {strFifo, "a FIFO " + strMine},
        {strSocket, "a socket " + strMine},
        {strDevice, "a device " + plat::OwnerText(0)},
        {strLinkedFifo, "a FIFO " + strMine},
    };
    for (const auto& [strName, strWhat] : refused) {
        SCOPED_TRACE(strName);
        CTextLogListener listener(strName);
        EXPECT_FALSE(listener.Open(0));
        EXPECT_EQ(nullptr, listener.ReadNextLine());
        EXPECT_TRUE(m_Console.Contains("WARNING: " + strName + " is " + strWhat + "; it is not read\n"))
            << m_Console.Text();
    }
    EXPECT_EQ(4u, hwtest::CountOf(m_Console.Text(), "WARNING: "));
    ::close(nSocket);

    Append("linked\n");
    const std::string strLinked = m_Dir.File("linked.log");
    ASSERT_EQ(0, ::symlink(m_strFile.c_str(), strLinked.c_str()));
    CTextLogListener linked(strLinked);
    ASSERT_TRUE(linked.Open(0));
    EXPECT_EQ(Drain(linked), "linked|");
}

// A closed listener remembers where it stopped; the place is taken up again
// only for the same file still holding what was read of it.  A file of the
// same identity whose bytes differ (rewritten in place, or a new file that
// inherited a deleted one's identity) is read from its beginning.
TEST_F(LogReaderTest, ResumedFileGoesOnAfterItsLastLineOnlyWhenItStillHoldsWhatWasRead) {
    CTextLogListener listener(m_strFile);
    Append("one\ntwo\nthr");
    ASSERT_TRUE(listener.Open(0));
    EXPECT_EQ(Drain(listener), "one|two|");
    listener.Close();
    const CTextLogListener::ResumePoint point = listener.GetResumePoint();
    EXPECT_EQ(point.m_llPosition, 8);
    EXPECT_EQ(point.m_strTail, "one\ntwo\n");

    Append("ee\n");
    ASSERT_TRUE(listener.Resume(point));
    EXPECT_EQ(Drain(listener), "three|");

    listener.Close();
    {
        std::ofstream rewrite(m_strFile, std::ios::binary | std::ios::in | std::ios::out);
        rewrite << "ONE\n";
    }
    ASSERT_TRUE(listener.Resume(point));
    EXPECT_EQ(Drain(listener), "ONE|two|three|");

    listener.Close();
    ASSERT_EQ(::truncate(m_strFile.c_str(), 4), 0);
    ASSERT_TRUE(listener.Resume(listener.GetResumePoint()));
    EXPECT_EQ(Drain(listener), "ONE|") << "shorter than the place: from the beginning";
}
