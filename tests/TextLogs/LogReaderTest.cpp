// The readers that follow a growing log file: line cutting, long lines,
// line ends, files that shrink, files that cannot be opened, and names that
// hold no regular file.

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "TextLogs/TextLogListener.h"
#include "TextLogs/qorFileReader.h"
#include "TextLogs/qorTextReader.h"
#include "platform/Console.h"
#include "platform/Refusal.h"
#include "qorCSFLib/CSFLog.h"
#include "support/ConsoleCapture.h"
#include "support/NamespacedHost.h"
#include "support/TestUtil.h"

namespace {

// The next line the listener has, or "<none>".
std::string Next(CTextLogListener& listener, bool bToEnd = false) {
    CTextLogListener::Line line;
    return listener.ReadNextLine(line, bToEnd) ? std::string(line.m_Text) : "<none>";
}

class LogReaderTest : public ::testing::Test {
protected:
    LogReaderTest() { plat::SetInputEcho(true); }
    ~LogReaderTest() override { plat::SetInputEcho(m_bEchoBefore); }

    void Append(const std::string& strBytes) {
        std::ofstream(m_strFile, std::ios::binary | std::ios::app) << strBytes;
    }
    // Every line the listener has now, each followed by "|".
    std::string Drain(CTextLogListener& listener, bool bToEnd = false) {
        std::string strLines;
        CTextLogListener::Line line;
        while (listener.ReadNextLine(line, bToEnd)) {
            strLines += std::string(line.m_Text) + "|";
        }
        return strLines;
    }

    const bool m_bEchoBefore = plat::InputEchoOn();
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
    EXPECT_EQ(Next(listener), "<none>");
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

// A line is handed out whole up to the bound, every byte of it: one a piece
// of 4,095 bytes used to cut (so that a marker across that end was never
// found), and one at the bound itself.  The buffer grows for it and goes
// back to its usual size once it is out.  Past the bound a line comes in
// pieces of the bound, only the first said cut, and nothing is lost.
TEST_F(LogReaderTest, LongLineComesOutWholeUpToTheBoundAndInPiecesPastIt) {
    CTextLogListener listener(m_strFile);
    Append("");
    ASSERT_TRUE(listener.Open(0));
    const auto Read = [&](std::vector<std::string>& pieces, std::vector<bool>& cuts) {
        CTextLogListener::Line line;
        while (listener.ReadNextLine(line)) {
            pieces.emplace_back(line.m_Text);
            cuts.push_back(line.m_bCut);
        }
    };
    const std::string strAcross = std::string(4090, 'a') + "MARKER" + std::string(900, 'a');
    const std::string strBound = std::string(CTextLogListener::kLineMax - 6, 'b') + "MARKER";
    Append(strAcross + "\n" + strBound + "\r\n");
    std::vector<std::string> pieces;
    std::vector<bool> cuts;
    Read(pieces, cuts);
    EXPECT_TRUE(pieces == std::vector<std::string>({strAcross, strBound}));
    EXPECT_EQ(cuts, std::vector<bool>({false, false}));
    EXPECT_FALSE(listener.HoldsBuffers());

    const std::string strLonger = std::string(CTextLogListener::kLineMax, 'c') + "\rMARKER" +
                                  std::string(CTextLogListener::kLineMax, 'd') + "e";
    Append(strLonger.substr(0, 70000));
    pieces.clear();
    cuts.clear();
    Read(pieces, cuts);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0], strLonger.substr(0, CTextLogListener::kLineMax));
    // What is left of the line is short: the buffer is of its usual size.
    EXPECT_EQ(listener.GetBufferSize(), qorTextReader::kBufferSize);
    Append(strLonger.substr(70000) + "\nshort\n");
    Read(pieces, cuts);
    ASSERT_EQ(pieces.size(), 4u);
    EXPECT_EQ(pieces[0] + pieces[1] + pieces[2], strLonger);
    EXPECT_EQ(pieces[1].size(), static_cast<size_t>(CTextLogListener::kLineMax));
    EXPECT_EQ(pieces[3], "short");
    EXPECT_EQ(cuts, std::vector<bool>({true, false, false, false}));
    // The carriage return that ends a piece without its line feed is part
    // of the line.
    EXPECT_EQ(pieces[1].front(), '\r');
    EXPECT_FALSE(listener.HoldsBuffers());
    // A long line pending makes the buffer grow; once it is out, the
    // buffer goes.
    Append(std::string(30000, 'z'));
    EXPECT_EQ(Next(listener), "<none>");
    EXPECT_GT(listener.GetBufferSize(), qorTextReader::kBufferSize);
    Append("\n");
    EXPECT_EQ(Next(listener), std::string(30000, 'z'));
    EXPECT_EQ(Next(listener), "<none>");
    EXPECT_FALSE(listener.HoldsBuffers());
}

// A NUL, or any other byte, that a writer puts in a line is part of it: the
// line is handed out with its length, and its echo shows every byte, a NUL
// as it shows other control bytes.
TEST_F(LogReaderTest, NulBytesInALineAreHandedOutAndEchoedWithTheRestOfIt) {
    CTextLogListener listener(m_strFile);
    Append("");
    ASSERT_TRUE(listener.Open(0));
    const std::string strLine = std::string("user=\0\0root MARKER from ", 24) + "203.0.113.9";
    Append(strLine + "\n");
    EXPECT_EQ(Next(listener), strLine);
    EXPECT_TRUE(m_Console.Contains("DEBUG: Get[36]: user=\\x00\\x00root MARKER from 203.0.113.9\n"))
        << m_Console.Text();
    // Without the echo switched on, nothing is echoed and the line is read
    // all the same.
    plat::SetInputEcho(false);
    Append("quiet\n");
    EXPECT_EQ(Next(listener), "quiet");
    EXPECT_FALSE(m_Console.Contains("quiet")) << m_Console.Text();
}

// A file let go is read to its end: the unfinished last line comes too.
TEST_F(LogReaderTest, UnfinishedLastLineIsHandedOutWhenTheFileIsReadToItsEnd) {
    CTextLogListener listener(m_strFile);
    Append("whole\nunfinished MARKER");
    ASSERT_TRUE(listener.Open(0));
    EXPECT_EQ(Drain(listener), "whole|");
    EXPECT_EQ(Drain(listener, true), "unfinished MARKER|");
    EXPECT_EQ(listener.GetUnread(), 0);
    EXPECT_EQ(Drain(listener, true), "");
}

// Opened at its end, a file's lines are history, but not the line its
// writer is halfway through: that is handed out whole once ended, and is
// not handed out as it is by a read to the end while nothing came since,
// nor counted unread, also after a close and a resume at the place kept.
// Longer than a line is handed out whole, it is left to its end.
TEST_F(LogReaderTest, FileOpenedAtItsEndHandsOutTheLineItsWriterIsInWholeOnceEnded) {
    Append("history\nhalf");
    CTextLogListener listener(m_strFile);
    ASSERT_TRUE(listener.Open(qorFileReader::kEndOfFile));
    EXPECT_EQ(Drain(listener, true), "");
    EXPECT_EQ(listener.GetUnread(), 0);
    listener.Close();
    const CTextLogListener::ResumePoint point = listener.GetResumePoint();
    ASSERT_TRUE(point.IsSet());
    ASSERT_TRUE(listener.Resume(point));
    EXPECT_EQ(Drain(listener, true), "");
    EXPECT_EQ(listener.GetUnread(), 0);
    Append(" ended\nnext\n");
    EXPECT_EQ(Drain(listener), "half ended|next|");

    // The whole file one unfinished line, and the place met with its size
    // (nothing read before it).
    ASSERT_EQ(::truncate(m_strFile.c_str(), 0), 0);
    Append("only");
    CTextLogListener whole(m_strFile);
    ASSERT_TRUE(whole.Open(qorFileReader::kEndOfFile));
    EXPECT_EQ(Drain(whole, true), "");
    whole.Close();
    ASSERT_TRUE(whole.Resume(whole.GetResumePoint()));
    EXPECT_EQ(Drain(whole, true), "");
    Append(" line\n");
    EXPECT_EQ(Drain(whole), "only line|");
    Append("more");
    CTextLogListener met(m_strFile);
    CTextLogListener::ResumePoint size;
    size.m_qwIdentity = whole.GetIdentity();
    size.m_llPosition = static_cast<int64_t>(std::string("only line\nmore").size());
    ASSERT_TRUE(met.Resume(size));
    EXPECT_EQ(Drain(met, true), "");
    Append("\n");
    EXPECT_EQ(Drain(met), "more|");

    // After a hole a writer left: the line begins after it.
    ASSERT_EQ(::truncate(m_strFile.c_str(), 0), 0);
    Append("history\n");
    ASSERT_EQ(::truncate(m_strFile.c_str(), int64_t{1} << 20), 0);
    Append("after the hole");
    CTextLogListener holed(m_strFile);
    ASSERT_TRUE(holed.Open(qorFileReader::kEndOfFile));
    EXPECT_EQ(Drain(holed, true), "");
    Append(", ended\n");
    EXPECT_EQ(Drain(holed), "after the hole, ended|");

    ASSERT_EQ(::truncate(m_strFile.c_str(), 0), 0);
    const std::string strLong(CTextLogListener::kLineMax, 'x');
    Append("history\n" + strLong);
    CTextLogListener past(m_strFile);
    ASSERT_TRUE(past.Open(qorFileReader::kEndOfFile));
    Append("tail\n");
    EXPECT_EQ(Drain(past), "tail|");
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
    EXPECT_EQ(Next(listener), "<none>");
    ASSERT_EQ(::truncate(m_strFile.c_str(), 0), 0);
    Append("L3 three\nL4 four, longer\n");
    EXPECT_EQ(Drain(listener), "L3 three|L4 four, longer|");
    ASSERT_TRUE(ClockMovesPast(m_strFile, m_Dir.File("tick")));
    ASSERT_EQ(::truncate(m_strFile.c_str(), 0), 0);
    Append("L5 " + std::string(21, 'x') + "\n");
    // Written a moment later than it was read: a file's time is the
    // kernel's coarse clock, which may not have moved on within a test.
    const timespec times[2] = {{0, UTIME_OMIT}, {hwtest::SecondAfterNow(), 0}};
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
    EXPECT_EQ(Next(busy) + "|", strOld.substr(0, 40));
    ASSERT_TRUE(ClockMovesPast(m_strFile, m_Dir.File("tick")));
    ASSERT_EQ(::truncate(m_strFile.c_str(), 0), 0);
    std::string strNewLines;
    Append(Lines("new", 1000, strNewLines, 1000));
    EXPECT_EQ(Drain(busy), strOld.substr(40) + strNewLines);
    EXPECT_EQ(2u, hwtest::CountOf(m_Console.Text(), " was truncated after ")) << m_Console.Text();
}

// A file cut in place to a size that keeps lines already read goes on from
// its new end: the lines it keeps are not read again, whether the cut fell
// at a line's end or within a line, and whether the reader looks before the
// file is written past its old place again or after.  One whose bytes are
// not those read (written anew, shorter) is read from its beginning.
TEST_F(LogReaderTest, FileCutToANonZeroSizeRepeatsNoneOfTheLinesItKeeps) {
    std::string strLines;
    for (int n = 0; n < 10; ++n) {
        strLines += "L" + std::to_string(n) + " line number " + std::to_string(n) + "\n";
    }
    Append(strLines);
    CTextLogListener listener(m_strFile);
    ASSERT_TRUE(listener.Open(0));
    EXPECT_EQ(hwtest::CountOf(Drain(listener), "|"), 10u);
    const std::string strTwo = strLines.substr(0, strLines.find("L2 "));
    ASSERT_EQ(::truncate(m_strFile.c_str(), static_cast<off_t>(strTwo.size())), 0);
    Append("L10 written on\n");
    EXPECT_EQ(Drain(listener), "L10 written on|");
    EXPECT_TRUE(m_Console.Contains(" was cut to " + std::to_string(strTwo.size() + 15) + " bytes after " +
                                   std::to_string(strLines.size()) + " bytes of it had been read"))
        << m_Console.Text();
    // Within a line (as truncate -s 12 cuts "L0 line number 0"), looked at
    // before it is written on: it goes on from that very byte.
    ASSERT_EQ(::truncate(m_strFile.c_str(), 12), 0);
    EXPECT_EQ(Drain(listener), "");
    Append("L11 after a cut within a line\n");
    EXPECT_EQ(Drain(listener), "L11 after a cut within a line|");
    // Cut within a line and written on before the reader looks: where the
    // cut fell cannot be told to the byte, so the line the file holds from
    // its last whole line on is read, as the file holds it.
    ASSERT_EQ(::truncate(m_strFile.c_str(), 12), 0);
    Append(" has an end\n");
    EXPECT_EQ(Drain(listener), "L0 line numb has an end|");
    // Cut after a line and written past the old place again before the
    // reader looks: the line ends it still holds where they were tell where
    // to go on, near the place (the last bytes read) and far from it.
    const auto Lines = [](int nFirst, int nLast, std::string& strExpected) {
        std::string strBytes;
        for (int n = nFirst; n < nLast; ++n) {
            const std::string strLine = "L" + std::to_string(n) + " written past the old place";
            strBytes += strLine + "\n";
            strExpected += strLine + "|";
        }
        return strBytes;
    };
    for (const int nRead : {3, 200}) {
        SCOPED_TRACE(std::to_string(nRead) + " lines read after the line kept");
        std::string strRead;
        Append(Lines(100, 100 + nRead, strRead));
        EXPECT_EQ(Drain(listener), strRead);
        ASSERT_TRUE(ClockMovesPast(m_strFile, m_Dir.File("tick")));
        ASSERT_EQ(::truncate(m_strFile.c_str(), 24), 0);
        std::string strExpected;
        Append(Lines(1000 * nRead, 1000 * nRead + 2 * nRead, strExpected));
        EXPECT_EQ(Drain(listener), strExpected);
    }
    // Written anew, shorter, with other lines: read from its beginning.
    std::ofstream(m_strFile, std::ios::binary | std::ios::trunc) << "N1 new\nN2 new\n";
    EXPECT_EQ(Drain(listener), "N1 new|N2 new|");
    EXPECT_TRUE(m_Console.Contains("; it is read again from its beginning")) << m_Console.Text();
}

// A long file (62,501 lines of 32 bytes, 2,000,032 bytes) cut without
// being written again: the reader can show only some places to hold what
// was read (the ends of the first lines, the first line end past each
// power of two, and every byte of the last kilobyte or two read), so a cut
// at one of them repeats no line, and a cut elsewhere (to 1,500,000 bytes)
// goes on at the last such place before it, 1 MiB, and reads the lines
// between again, saying how many bytes.
TEST_F(LogReaderTest, CutOfALongFileRepeatsNoLineAtAPlaceShownAndTheLinesSinceTheLastOneElsewhere) {
    constexpr int kLines = 62501;
    const auto Line = [](int n) {
        char szLine[40];
        std::snprintf(szLine, sizeof szLine, "L%07d ......................\n", n);
        return std::string(szLine);
    };
    std::string strAll;
    for (int n = 0; n < kLines; ++n) {
        strAll += Line(n);
    }
    ASSERT_EQ(strAll.size(), 2000032u);
    for (const int nKept : {10, kLines - 10, 46875}) {
        SCOPED_TRACE(std::to_string(nKept) + " lines kept");
        ::unlink(m_strFile.c_str());
        Append(strAll);
        CTextLogListener listener(m_strFile);
        ASSERT_TRUE(listener.Open(0));
        std::string strLines = Drain(listener);
        EXPECT_EQ(hwtest::CountOf(strLines, "|"), size_t{kLines});
        ASSERT_EQ(::truncate(m_strFile.c_str(), static_cast<off_t>(32) * nKept), 0);
        strLines = Drain(listener);
        if (nKept != 46875) {
            EXPECT_EQ(strLines, "");
        } else {
            // From the first line end past 1 MiB (line 32768) to the cut.
            EXPECT_EQ(hwtest::CountOf(strLines, "|"), size_t{46875 - 32768});
            EXPECT_EQ(strLines.substr(0, 9), "L0032768 ");
            EXPECT_TRUE(m_Console.Contains("the 451424 bytes after that could not be told from those read there, "
                                           "and lines among them may be read again"))
                << m_Console.Text().substr(0, 2000);
        }
        Append("L9999999 written on\n");
        EXPECT_EQ(Drain(listener), "L9999999 written on|");
    }
}

// Lines of one width that differ only in a counter, anywhere in the line
// (at its first byte, in its middle, at its end): a web access log of one
// request and one user agent, say.  Copied away and truncated, and written
// again at once to fewer, as many and more bytes than were read, before the
// reader looks: every new line is read once, and the file is not said to
// hold what had been read.
TEST_F(LogReaderTest, FixedWidthLinesCutAndWrittenAgainAtOnceAreEachReadOnce) {
    constexpr size_t kWidth = 220;
    for (const size_t nCounterAt : {size_t{0}, size_t{70}, kWidth - 7}) {
        int nNext = 0;
        const auto Lines = [&](int nCount, std::string& strExpected) {
            std::string strLines;
            for (int n = 0; n < nCount; ++n, ++nNext) {
                std::string strLine(kWidth - 1, 'x');
                char szCounter[8];
                std::snprintf(szCounter, sizeof szCounter, "%06d", nNext);
                strLine.replace(nCounterAt, 6, szCounter);
                strLines += strLine + "\n";
                strExpected += strLine + "|";
            }
            return strLines;
        };
        SCOPED_TRACE("counter at byte " + std::to_string(nCounterAt));
        std::ofstream(m_strFile, std::ios::binary | std::ios::trunc).flush();
        std::string strFirst;
        Append(Lines(30, strFirst));
        CTextLogListener listener(m_strFile);
        ASSERT_TRUE(listener.Open(0));
        EXPECT_EQ(Drain(listener), strFirst);
        for (const int nAgain : {10, 30, 35, 30}) {
            SCOPED_TRACE(std::to_string(nAgain) + " lines written again");
            ASSERT_EQ(::truncate(m_strFile.c_str(), 0), 0);
            std::string strAgain;
            Append(Lines(nAgain, strAgain));
            EXPECT_EQ(Drain(listener), strAgain);
        }
    }
    EXPECT_FALSE(m_Console.Contains("holds what had been read")) << m_Console.Text();
    EXPECT_EQ(12u, hwtest::CountOf(m_Console.Text(), "; it is read again from its beginning")) << m_Console.Text();
}

// A run of NULs written before a line, as data: it is no part of the line,
// and is passed over at the speed of memory, as much of it as a call's
// share allows; a run longer than that is said once, and the line after it
// comes a call later for each share.
TEST_F(LogReaderTest, RunOfNulsWrittenBeforeALineIsPassedOverWithinTheShareOfACall) {
    const auto WriteNuls = [&](size_t nBytes) {
        const std::string strBlock(1 << 20, '\0');
        std::ofstream out(m_strFile, std::ios::binary | std::ios::app);
        for (size_t n = 0; n < nBytes; n += strBlock.size()) {
            out.write(strBlock.data(), static_cast<std::streamsize>(std::min(strBlock.size(), nBytes - n)));
        }
    };
    Append("L1 before\n");
    qorTextReader reader(m_strFile);
    ASSERT_EQ(reader.Open(0), 0);
    std::string_view line;
    bool bCut = false;
    ASSERT_EQ(reader.ReadLine(line, 100, false, bCut), 1);
    EXPECT_EQ(line, "L1 before\n");
    // 48 MiB, three times what a call used to read of such a run: one call.
    WriteNuls(size_t{48} << 20);
    Append("L2 after the NULs\n");
    ASSERT_EQ(reader.ReadLine(line, 100, false, bCut), 1);
    EXPECT_EQ(line, "L2 after the NULs\n");
    EXPECT_FALSE(reader.TakeNulRunHeldOver());
    // Past the share of a call: a call for each share, said once.
    reader.SetPassOverShare(int64_t{16} << 20);
    WriteNuls((size_t{40} << 20) + 5);
    Append("L3 after more NULs\n");
    EXPECT_EQ(reader.ReadLine(line, 100, false, bCut), 0);
    EXPECT_TRUE(reader.TakeNulRunHeldOver());
    EXPECT_EQ(reader.ReadLine(line, 100, false, bCut), 0);
    EXPECT_FALSE(reader.TakeNulRunHeldOver());
    ASSERT_EQ(reader.ReadLine(line, 100, false, bCut), 1);
    EXPECT_EQ(line, "L3 after more NULs\n");
    EXPECT_FALSE(reader.TakeNulRunHeldOver());
    ASSERT_EQ(::truncate(m_strFile.c_str(), 0), 0);
}

// A writer that opened its log without O_APPEND writes at its own offset
// after a copy-and-truncate: the file holds a run of NULs (a hole) up to
// there.  The run is no part of the writer's next line, which is read whole
// and first; the warning counts what the cut took: what lay between the
// place read and where the writer went on.  A NUL the writer puts inside a
// line stays part of it; a run of NULs before a line is never part of it.
TEST_F(LogReaderTest, WriterWithoutAppendAfterATruncationLosesNoLineToTheHoleItLeaves) {
    const int nWriter = ::open(m_strFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(nWriter, 0);
    const auto Write = [&](const std::string& strBytes) {
        ASSERT_EQ(::write(nWriter, strBytes.data(), strBytes.size()), static_cast<ssize_t>(strBytes.size()));
    };
    Write("L1 one\nL2 two\n");
    CTextLogListener listener(m_strFile);
    ASSERT_TRUE(listener.Open(0));
    EXPECT_EQ(Drain(listener), "L1 one|L2 two|");
    Write("L3 lost to the cut\n");
    ASSERT_EQ(::ftruncate(nWriter, 0), 0);
    Write("L4 after the cut MARKER\n");
    EXPECT_EQ(Drain(listener), "L4 after the cut MARKER|");
    EXPECT_TRUE(m_Console.Contains(" was truncated after 14 bytes of it had been read: what was written to it after "
                                   "those and before the truncation is lost (at least 19 bytes)"))
        << m_Console.Text();
    // A hole of many blocks, passed over where the file system tells and
    // read through where it does not, and a line with NULs of its own.
    ASSERT_EQ(::ftruncate(nWriter, 0), 0);
    ASSERT_EQ(::lseek(nWriter, 3 << 20, SEEK_SET), 3 << 20);
    const std::string strNuls("L5 \0\0 MARKER\n", 13);
    Write(strNuls);
    EXPECT_EQ(Drain(listener), strNuls.substr(0, 12) + "|");
    // A hole that the reader meets where no cut showed (cut past the place
    // read) is passed over all the same: no line begins with NULs.
    ASSERT_EQ(::ftruncate(nWriter, (3 << 20) + 13 + 5), 0);
    ASSERT_EQ(::lseek(nWriter, 4 << 20, SEEK_SET), 4 << 20);
    Write("L6\n");
    EXPECT_EQ(Drain(listener), "L6|");
    ::close(nWriter);
}

// Whoever can write a followed file can leave a hole of any size in it (a
// seek far past its end before a write, a truncate that makes it longer):
// the hole is passed over where the file system tells, not read as
// gigabytes of NULs, so what follows it is read at once, whether the hole
// lies before a line, within one, or up to the file's end.
TEST_F(LogReaderTest, HoleOfAnySizeAWriterLeavesIsPassedOverWithoutReadingIt) {
    const int nWriter = ::open(m_strFile.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(nWriter, 0);
    const auto Write = [&](const std::string& strBytes) {
        ASSERT_EQ(::write(nWriter, strBytes.data(), strBytes.size()), static_cast<ssize_t>(strBytes.size()));
    };
    const off_t llGiB = off_t{1} << 30;
    ASSERT_EQ(::ftruncate(nWriter, llGiB), 0);
    if (::lseek(nWriter, 0, SEEK_DATA) >= 0 || errno != ENXIO) {
        ::close(nWriter);
        GTEST_SKIP() << "the file system does not tell where a sparse file's holes are";
    }
    ASSERT_EQ(::ftruncate(nWriter, 0), 0);
    Write("L1 one\n");
    CTextLogListener listener(m_strFile);
    ASSERT_TRUE(listener.Open(0));
    EXPECT_EQ(Drain(listener), "L1 one|");
    // Before a line.
    ASSERT_GE(::lseek(nWriter, 64 * llGiB, SEEK_CUR), 0);
    Write("L2 after a hole MARKER\n");
    EXPECT_EQ(Drain(listener), "L2 after a hole MARKER|");
    // Within a line: it comes out once, its two ends in one line.
    Write("L3 begun");
    EXPECT_EQ(Drain(listener), "");
    ASSERT_GE(::lseek(nWriter, 64 * llGiB, SEEK_CUR), 0);
    Write(" and ended MARKER\n");
    CTextLogListener::Line line;
    ASSERT_TRUE(listener.ReadNextLine(line));
    EXPECT_FALSE(line.m_bCut);
    EXPECT_EQ(line.m_Text.substr(0, 8), "L3 begun");
    EXPECT_TRUE(line.m_Text.ends_with(" and ended MARKER")) << line.m_Text.size();
    EXPECT_EQ(Drain(listener), "");
    // Up to the file's end, and a line appended after it.
    const off_t llEnd = ::lseek(nWriter, 0, SEEK_CUR);
    ASSERT_EQ(::ftruncate(nWriter, llEnd + 64 * llGiB), 0);
    EXPECT_EQ(Drain(listener), "");
    std::ofstream(m_strFile, std::ios::binary | std::ios::app) << "L4 past the end MARKER\n";
    EXPECT_EQ(Drain(listener), "L4 past the end MARKER|");
    ::close(nWriter);
    ASSERT_EQ(::truncate(m_strFile.c_str(), 0), 0);
}

TEST_F(LogReaderTest, FileThatCannotBeOpenedYieldsNothingUntilItIsOpened) {
    CTextLogListener listener(m_strFile);
    EXPECT_FALSE(listener.Open(0));
    EXPECT_TRUE(listener.IsClosed());
    EXPECT_EQ(m_Console.Text(), "WARNING: Cannot open " + m_strFile + " to read\n");
    Append("late\n");
    EXPECT_EQ(Next(listener), "<none>");
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
        EXPECT_EQ("<none>", Next(listener));
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
    EXPECT_TRUE(point.m_Read.m_bShown);

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

    // Written anew with other first lines and the same padding before the
    // place: the bytes before the place alone would take it for the same.
    const std::string strPadding(200, 'y');
    std::ofstream(m_strFile, std::ios::binary | std::ios::trunc) << "first\n" << strPadding << "\n";
    ASSERT_TRUE(listener.Open(0));
    EXPECT_EQ(Drain(listener), "first|" + strPadding + "|");
    listener.Close();
    std::ofstream(m_strFile, std::ios::binary | std::ios::trunc) << "other\n" << strPadding << "\n";
    ASSERT_TRUE(listener.Resume(listener.GetResumePoint()));
    EXPECT_EQ(Drain(listener), "other|" + strPadding + "|");
}
