// The script process: runs the rule scripts of the sensor that starts it.
//
//   tclProc -log FILE -channel N -ReqQsz Q -minWorkers A -maxWorkers B
//           -CmdQThreshold T -CmdWaitTout W -dir "DIR"
//
// The sensor hands it one end of a connected socket pair as descriptor N;
// on it the process answers each Script and Run line with one reply line
// until the sensor sends Exit or closes the connection.  No port is opened,
// so only the sensor that started it can reach it.  Alert values travel
// through the sensor's shared store "tclProc.dat", found in the object
// scope the sensor hands down through the environment.  Scripts run one at
// a time in one interpreter; the worker and queue options are accepted and
// not needed.

#include <fcntl.h>
#include <tcl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "Common/LineSocket.h"
#include "TclHandler/qorTclCommand.h"
#include "TclScripts.h"
#include "platform/Console.h"
#include "platform/OwnFiles.h"
#include "qorToolsLib/SharedMemoryStore.h"
#include "qorToolsLib/ErrorWords.h"

namespace {

constexpr const char kStoreName[] = "tclProc.dat";
constexpr uint32_t kStoreSize = 0x100040;

struct Options {
    std::string m_strLog;
    std::string m_strDirectory;
    long m_nChannel = -1;
};

std::FILE* g_pLog = nullptr;

void Log(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));
// Lines are flushed when the process waits for the sensor, not one by one.
void Log(const char* pszFormat, ...) {
    if (g_pLog == nullptr) {
        return;
    }
    va_list args;
    va_start(args, pszFormat);
    std::vfprintf(g_pLog, pszFormat, args);
    va_end(args);
    std::fputc('\n', g_pLog);
}

void FlushLog() {
    if (g_pLog != nullptr) {
        std::fflush(g_pLog);
    }
}

bool ReadNumber(const char* pszText, long& nValue) {
    char* pEnd = nullptr;
    nValue = std::strtol(pszText, &pEnd, 10);
    return pEnd != pszText && *pEnd == '\0';
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string strName = argv[i];
        const char* pszValue = argv[i + 1];
        long nIgnored = 0;
        if (strName == "-log") {
            options.m_strLog = pszValue;
        } else if (strName == "-dir") {
            options.m_strDirectory = pszValue;
        } else if (strName == "-channel") {
            if (!ReadNumber(pszValue, options.m_nChannel)) {
                return false;
            }
        } else if (!ReadNumber(pszValue, nIgnored)) {
            return false;
        }
    }
    return argc % 2 == 1 && options.m_nChannel >= 0 && options.m_nChannel <= INT32_MAX;
}

// Runs come at the rate of the alerts, so the log counts them once a minute
// and names the first failure of each minute, rather than taking a line
// for each.
class RunLog {
public:
    void Note(const qorTclCommand& command, const TclScripts::Outcome& outcome) {
        ++m_qwRuns;
        if (!outcome.m_bOk && m_qwFailed++ == 0) {
            char szText[256];
            Log("%s failed: %s", command.Format(szText, sizeof szText), outcome.m_strText.c_str());
        }
        const std::time_t tNow = std::time(nullptr);
        if (tNow - m_tLastReport >= 60) {
            Log("%llu runs, %llu of them failed, since the last count",
                static_cast<unsigned long long>(m_qwRuns),
                static_cast<unsigned long long>(m_qwFailed));
            m_qwRuns = 0;
            m_qwFailed = 0;
            m_tLastReport = tNow;
        }
    }

private:
    uint64_t m_qwRuns = 0;
    uint64_t m_qwFailed = 0;
    std::time_t m_tLastReport = std::time(nullptr);
};

// The replies of the commands already read wait for one another and go
// out together when no further command is waiting to be read, or once the
// first of them has waited a few milliseconds: while the sensor sends more
// than the scripts can answer, there is always a command waiting.
void Reply(qorTclBatch& replies, qorTclCommand& command, const TclScripts::Outcome& outcome) {
    command.m_nReturnType = outcome.m_bOk ? qorTclCommand::kTrue : qorTclCommand::kError;
    command.m_strText = outcome.m_strText;
    replies.Add(command);
}

int Serve(LineSocket& connection, TclScripts& scripts) {
    connection.SetReadTimeout(1000);
    qorTclCommand command;
    qorTclBatch replies;
    RunLog runs;
    for (;;) {
        if (replies.IsDue(qorTclBatch::Clock::now()) || !connection.HasUnreadLine()) {
            replies.Send(connection);
            FlushLog();
        }
        uint32_t dwError = 0;
        int nResult = command.Receive(connection, dwError);
        if (nResult == 0) {
            continue;
        }
        if (nResult < 0) {
            if (dwError != 0) {
                Log("connection ended: %s", command.m_strText.c_str());
                return 0;
            }
            Log("%s", command.m_strText.c_str());
            command.Reset();
            continue;
        }
        if (command.m_nCommandType != qorTclCommand::kRun) {
            char szText[256];
            Log("%s", command.Format(szText, sizeof szText));
        }
        switch (command.m_nCommandType) {
            case qorTclCommand::kScript:
                Reply(replies, command,
                      scripts.Define(command.m_nRuleId, command.m_nScriptType, command.m_strText));
                break;
            case qorTclCommand::kRun: {
                const TclScripts::Outcome outcome =
                    scripts.Run(command.m_nRuleId, command.m_nScriptType, command.m_nTransactionId);
                runs.Note(command, outcome);
                Reply(replies, command, outcome);
                break;
            }
            case qorTclCommand::kStatus:
                command.m_strText = std::to_string(scripts.Count()) + " scripts";
                Reply(replies, command, {true, command.m_strText});
                break;
            case qorTclCommand::kExit:
                replies.Send(connection);
                Log("exit requested");
                return 0;
            default:
                break;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        plat::ConsolePrintf(
            "usage: tclProc -log FILE -channel N [-ReqQsz Q -minWorkers A "
            "-maxWorkers B -CmdQThreshold T -CmdWaitTout W] -dir DIR\n");
        return 2;
    }
    if (!options.m_strLog.empty()) {
        // A relative log name is kept in the sensor's directory.
        std::string strLog = options.m_strLog;
        if (strLog.front() != '/' && !options.m_strDirectory.empty()) {
            strLog = options.m_strDirectory + "/" + strLog;
        }
        // The sensor's folder is root's: a link or file another account
        // put at the log's name is not written through.
        std::string strProblem;
        const int nLog =
            plat::OpenOwnFile(strLog, O_WRONLY | O_CREAT | O_APPEND, 0644, &strProblem);
        g_pLog = nLog >= 0 ? fdopen(nLog, "a") : nullptr;
        if (g_pLog == nullptr && nLog >= 0) {
            ::close(nLog);
        } else if (g_pLog == nullptr) {
            plat::ConsolePrintf("tclProc: the log is not written: %s\n", strProblem.c_str());
        }
    }
    Tcl_FindExecutable(argv[0]);

    // The sensor made the store; without it scripts still run, on no values.
    auto pStore = std::make_unique<SharedMemoryStore>(kStoreName);
    if (!pStore->Open(false, kStoreSize)) {
        Log("the shared store %s could not be opened", kStoreName);
    }
    LineSocket connection;
    int nExit = 1;
    if (!connection.Adopt(static_cast<plat::SocketHandle>(options.m_nChannel))) {
        Log("no connection to the sensor on descriptor %ld, error %u (%s)", options.m_nChannel,
            connection.LastError(), ErrorWords(connection.LastError()).c_str());
    } else {
        TclScripts scripts(pStore.get());
        nExit = Serve(connection, scripts);
    }
    connection.Close();
    Tcl_Finalize();
    FlushLog();
    if (g_pLog != nullptr) {
        std::fclose(g_pLog);
    }
    return nExit;
}
