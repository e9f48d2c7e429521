#pragma once
// One command of the line protocol between the sensor and the script
// process, in both directions: the sensor sends Script, Run and Exit
// commands and reads back a Script or Run reply for each.
//
// A Script command carries its text between "<BOS>" and "<EOS>", so the
// text may span several lines; the record keeps a partly read text between
// calls to Receive until the line holding "<EOS>" arrives.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

class LineSocket;

// The system's words for a failure of the connection to the script
// process, as LineSocket keeps it (a Windows Sockets style number, 10000
// and up): what the system calls the error ("Connection reset by peer"),
// or "" for a number it has no words for.  Said after the number.
std::string SocketErrorWords(uint32_t dwError);

class qorTclCommand {
public:
    enum CommandType : int32_t { kNone = 0, kScript = 1, kRun = 2, kStatus = 3, kExit = 4 };
    enum ScriptType : int32_t {
        kWrongScriptType = 0,
        kProcedure = 1,
        kInitial = 2,
        kValidation = 3,
        kResponse = 4
    };
    enum ReturnType : int32_t { kEmpty = 0, kError = 1, kTrue = 2, kFalse = 3, kWrongReturnType = 4 };

    // The longest line read or head written, newline included.
    static constexpr size_t kLineSize = 4096;
    // A multi-line text that grows past this without its "<EOS>" is refused.
    static constexpr size_t kMaxTextSize = 1024 * 1024;

    qorTclCommand() = default;
    virtual ~qorTclCommand() = default;

    // Clears the types, both ids and the incomplete flag; the text stays.
    void Reset();

    static const char* ScriptTypeName(int32_t nCode);
    static const char* ReturnTypeName(int32_t nCode);
    // Exact, case-sensitive: 1-4, or 0 for any other text.
    static int32_t ParseScriptType(const std::string& strText);
    // "Error", "True", "False" give 1-3; anything else 4 ("Empty" too).
    static int32_t ParseReturnType(const std::string& strText);

    // The command as one line (several when a Script text spans lines);
    // the bytes written, or negative with the connection's error code in
    // `dwError`.
    long Send(LineSocket& connection, uint32_t& dwError) const;
    // The same line (or lines) appended to `strOut`, for a writer that sends
    // several commands at once.
    void AppendLine(std::string& strOut) const;
    // 1: a complete command.  0: none yet (a partly read text is kept for
    // the next call).  -1: with `dwError` 0 a line that does not parse (the
    // text says why), otherwise the connection failed with that code.
    int Receive(LineSocket& connection, uint32_t& dwError);
    // One line as Receive reads it (at most kLineSize - 1 bytes, its
    // newline included): 1, 0 when the text goes on in the next line, -1
    // when it does not parse.
    int ParseReceivedLine(const std::string& strLine);

    // The record for logs, cut to the buffer.
    const char* Format(char* pszBuffer, size_t nSize) const;
    void Print(std::FILE* pFile) const;

    int32_t m_nCommandType = kNone;
    int32_t m_nScriptType = kWrongScriptType;
    int32_t m_nReturnType = kEmpty;
    int32_t m_nRuleId = 0;
    int32_t m_nTransactionId = 0;
    std::string m_strText;
    int32_t m_nIncomplete = 0;

private:
    // One line (without its terminator handling): 1, 0 (needs more lines)
    // or -1.
    int ParseLine(const std::string& strLine);
    int ParseContinuation(const std::string& strLine);
    int Fail(const char* pszWhat, const std::string& strLine);
    // The head "Script 7 Validation" / "Run 7 Validation 12" / ...
    std::string Head() const;
};

// Command lines that go out together in one write: a writer that takes
// commands one after another adds each, and sends the batch once it is due
// or before it waits for more to do.  A batch is due when it is full or its
// first line has waited kMaxWait: a writer whose work never runs out (a
// flood of alerts) still sends what it took within milliseconds.
class qorTclBatch {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr size_t kBatchBytes = 16384;
    static constexpr std::chrono::milliseconds kMaxWait{2};

    void Add(const qorTclCommand& command) {
        if (m_strLines.empty()) {
            m_tFirst = Clock::now();
        }
        command.AppendLine(m_strLines);
    }
    bool IsEmpty() const { return m_strLines.empty(); }
    bool IsFull() const { return m_strLines.size() >= kBatchBytes; }
    bool IsDue(Clock::time_point now) const {
        return !m_strLines.empty() && (IsFull() || now - m_tFirst >= kMaxWait);
    }
    // Writes what was added, if anything; a failed write shows up as the
    // connection's next failure to read.
    void Send(LineSocket& connection);
    void Clear() { m_strLines.clear(); }

private:
    std::string m_strLines;
    Clock::time_point m_tFirst{};
};
