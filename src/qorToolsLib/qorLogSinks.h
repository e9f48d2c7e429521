#pragma once
// The file and debugger-output sinks of the library's logger.  A sink takes
// one finished line at a time; the logger owns the sinks set on it.

#include <cstdint>
#include <string>

class qorLogFileSink {
public:
    qorLogFileSink();
    virtual ~qorLogFileSink();
    qorLogFileSink(const qorLogFileSink&) = delete;
    qorLogFileSink& operator=(const qorLogFileSink&) = delete;

    // Opens (appending) or creates (replacing) the file; a file already open
    // is closed first.  0, or the system error number (8 when the path
    // cannot be kept).  A symbolic link, a file that is not regular or
    // another account's file at the path is refused and left untouched
    // (error 5); GetOpenProblem says why.
    virtual uint32_t Open(const char* path, bool append);

    // Writes the text and "\r\n" to the end of the file in one write, so a
    // line is there whole or not at all: a write that falls short (a full
    // disk) is cut back to where the line began.  Bytes a terminal or viewer
    // could take for a command (but line feeds) are written as "\xHH".  0; 6 when no file is
    // open; the system error number of a failed write (112 when the disk is
    // full or the write falls short).
    virtual uint32_t Write(const char* text);

    virtual uint32_t Close();

    // The path given to Open, or "" when none.
    virtual const char* GetFileName() const;

    // Why the last open failed, in words; empty after a successful one.
    const std::string& GetOpenProblem() const { return m_sOpenProblem; }

private:
    int m_hFile = -1;
    std::string m_sPath;
    std::string m_sOpenProblem;
    // The line as written, kept to spare an allocation per line.
    std::string m_sLine;
};

// The file sink of trace files, which are opened again under a new name.
class qorLogTraceFileSink : public qorLogFileSink {
public:
    virtual uint32_t Reopen(const char* path, bool append);
};

// The debugger output (plat::DebugOutput: standard error, or the sink a
// test or the host installs).
class qorLogDebugSink {
public:
    qorLogDebugSink();
    virtual ~qorLogDebugSink();

    // Writes the text as one line, unsafe bytes as "\xHH"; always 0.
    virtual uint32_t Write(const char* text);
};
