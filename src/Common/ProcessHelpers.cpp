#include "Common/ProcessHelpers.h"

#include <string>
#include <vector>

#include "platform/LastError.h"

ProcessHandle StartProcess(const char* pszApplication, const char* pszCommandLine, int handOver) {
    std::vector<std::string> arguments =
        plat::SplitCommandLine(pszCommandLine != nullptr ? pszCommandLine : "");
    std::string path = pszApplication != nullptr ? pszApplication : "";
    if (path.empty()) {
        if (arguments.empty()) {
            plat::SetLastError(plat::kErrInvalidParameter);
            return nullptr;
        }
        path = arguments.front();
    }
    return plat::ChildProcess::Start(path, arguments, handOver);
}

uint32_t TerminateProcessAndWait(plat::ChildProcess* pProcess, uint32_t dwSeconds) {
    if (pProcess == nullptr) {
        return 0;
    }
    if (!pProcess->Kill()) {
        return plat::GetLastError();
    }
    uint64_t timeoutMs = static_cast<uint64_t>(dwSeconds) * 1000u;
    pProcess->WaitForExit(timeoutMs > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(timeoutMs));
    return 0;
}
