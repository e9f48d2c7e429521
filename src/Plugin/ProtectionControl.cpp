#include "Plugin/ProtectionControl.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "hostwarden/IPolicyContainer.h"
#include "platform/LastError.h"
#include "platform/OsVersion.h"
#include "platform/ServiceControl.h"
#include "platform/SystemMessage.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/jsFastLock.h"

namespace {

constexpr const char kRulePath[] = "\\Advanced\\Rules\\EventLog Rules\\BOEP";
constexpr const char* kTuningSections[] = {"\\config\\tuning\\", "\\template\\config\\tuning\\"};
constexpr const char kBaseConfigPrefix[] = "gapfix.BaseConfig.";
constexpr size_t kBaseConfigPrefixLength = sizeof kBaseConfigPrefix - 1;
// The mode that leaves the calls of its list without protection.
constexpr const char kUnprotectedMode[] = "I";

// Value names and texts of one section, released with the guard.
struct Listing {
    ~Listing() {
        if (m_pNames != nullptr) {
            m_pNames->Release();
        }
        if (m_pTexts != nullptr) {
            m_pTexts->Release();
        }
    }
    qgStringVector* m_pNames = nullptr;
    qgStringVector* m_pTexts = nullptr;
};

// The tokens of a list separated by "," and ":"; empty tokens are skipped.
std::vector<std::string> SplitTokens(const std::string& strText) {
    std::vector<std::string> tokens;
    size_t nStart = 0;
    while (nStart <= strText.size()) {
        size_t nEnd = strText.find_first_of(",:", nStart);
        if (nEnd == std::string::npos) {
            nEnd = strText.size();
        }
        if (nEnd > nStart) {
            tokens.push_back(strText.substr(nStart, nEnd - nStart));
        }
        nStart = nEnd + 1;
    }
    return tokens;
}

void Pause(uint32_t dwMs) { std::this_thread::sleep_for(std::chrono::milliseconds(dwMs)); }

// The words of a service-control failure: the layer's numbers for the
// service's own states, or the system's words for what it mapped.
std::string ServiceErrorWords(uint32_t dwError) {
    switch (dwError) {
        case plat::kErrServiceAlreadyRunning:
            return "the service runs already";
        case plat::kErrServiceDoesNotExist:
            return "no such service is installed";
        case plat::kErrServiceCannotAcceptControl:
            return "the service cannot take the command now";
        case plat::kErrServiceNotActive:
            return "the service does not run";
        default:
            break;
    }
    if (plat::MapErrno(plat::GetLastErrno()) == dwError && plat::GetLastErrno() != 0) {
        return std::strerror(plat::GetLastErrno());
    }
    std::string strText;
    if (plat::LookupSystemMessage(dwError, nullptr, 0, strText) != 0) {
        return "";
    }
    while (!strText.empty() && (strText.back() == '\n' || strText.back() == '\r')) {
        strText.pop_back();
    }
    return strText;
}

// The operation's own line with its number (`pszFormat` takes one %d), then the
// number's words.
std::string ServiceErrorLine(const char* pszFormat, uint32_t dwError) {
    char szLine[256];
    std::snprintf(szLine, sizeof szLine, pszFormat, static_cast<int>(dwError));
    const std::string strWords = ServiceErrorWords(dwError);
    return strWords.empty() ? std::string(szLine) : std::string(szLine) + " (" + strWords + ")";
}

// The manager and the service, or null after logging the opening failure
// with the text the calling operation uses for the service.  With
// `bAbsentIsRoutine`, a service that is not installed is no failure (a
// query finds it not running) and goes to the debug trace only.
std::unique_ptr<plat::Service> OpenProtectionService(const char* pszServiceFailure,
                                                     bool bAbsentIsRoutine = false) {
    std::unique_ptr<plat::ServiceManager> pManager = plat::ServiceManager::Open();
    if (!pManager) {
        CSF_LOG(1, "%s",
                ServiceErrorLine("Error opening the service control manager : %d", plat::GetLastError())
                    .c_str());
        return nullptr;
    }
    std::unique_ptr<plat::Service> pService =
        pManager->OpenService(ProtectionControl::kServiceName);
    if (!pService) {
        const uint32_t dwError = plat::GetLastError();
        if (bAbsentIsRoutine && dwError == plat::kErrServiceDoesNotExist) {
            CSF_TRACE(kCSFLogInfo, "%s", ServiceErrorLine(pszServiceFailure, dwError).c_str());
        } else {
            CSF_LOG(1, "%s", ServiceErrorLine(pszServiceFailure, dwError).c_str());
        }
    }
    return pService;
}

}  // namespace

void ProtectionControl::ConfigureProtection(IPolicyContainer* pPolicy, bool bScriptingEnabled) {
    plat::OsVersion version;
    if (!plat::GetOsVersion(version) || version.m_dwPlatformId != plat::kPlatformNT) {
        CSF_LOG(1, "Got an invalid Platform or OS version.");
        m_bProtection = 0;
        return;
    }
    if (version.m_dwMajorVersion <= 4) {
        m_bProtection = 0;
        CSF_LOG(9, "BOEP disabled for pre Win2K Windows");
        return;
    }
    const bool bDefault = false;
    m_bProtection = pPolicy != nullptr && pPolicy->GetBool(kRulePath, "Enabled", &bDefault);
    if (m_bProtection == 0) {
        return;
    }
    if (!bScriptingEnabled) {
        m_bProtection = 0;
        CSF_LOG(3, "TCL DISABLED. gapfix will not be started when tcl is disabled");
        return;
    }
    // The calls seen belong to this load only: a section that cannot be
    // listed must not put the next load's count out of step.
    std::set<std::string> seen;
    int32_t nUnprotected = 0;
    for (const char* pszSection : kTuningSections) {
        int32_t nResult = CountUnprotectedCalls(pPolicy, pszSection, seen);
        if (nResult < 0) {
            nUnprotected -= nResult;
        }
    }
    if (nUnprotected != 0) {
        CSF_LOG(1, "%s for %d syscall(s)",
                "Buffer Overflow Protection is configured to provide no \"protection\"",
                static_cast<int>(nUnprotected));
    }
}

int32_t ProtectionControl::CountUnprotectedCalls(IPolicyContainer* pPolicy, const char* pszSection,
                                                 std::set<std::string>& seen) {
    Listing listing;
    if (pPolicy == nullptr ||
        !pPolicy->GetValueTexts(pszSection, &listing.m_pNames, &listing.m_pTexts) ||
        listing.m_pNames == nullptr || listing.m_pTexts == nullptr) {
        return 0;
    }
    int32_t nResult = 1;
    const size_t nCount = std::min(listing.m_pNames->GetCount(), listing.m_pTexts->GetCount());
    for (size_t i = 0; i < nCount; ++i) {
        if (listing.m_pNames->GetItem(i).compare(0, kBaseConfigPrefixLength, kBaseConfigPrefix) !=
            0) {
            continue;
        }
        std::vector<std::string> tokens = SplitTokens(listing.m_pTexts->GetItem(i));
        if (tokens.empty()) {
            continue;
        }
        const bool bUnprotected = tokens[0] == kUnprotectedMode;
        for (size_t t = 1; t < tokens.size(); ++t) {
            if (!seen.insert(tokens[t]).second || !bUnprotected) {
                continue;
            }
            // The count is never 0: one unprotected call takes it from 1 to -1.
            nResult = nResult == 1 ? -1 : nResult - 1;
        }
    }
    return nResult;
}

void ProtectionControl::ApplyProtectionService() {
    qorFastLock guard(m_protectionLock, true);
    const bool bRunning = IsProtectionServiceRunning();
    if (!bRunning && m_bProtection != 0) {
        if (!StartProtectionService()) {
            CSF_LOG(1, "Error starting the skua service");
        }
    } else if (bRunning && m_bProtection == 0) {
        if (!StopProtectionServiceNow()) {
            CSF_LOG(1, "Error stopping the skua service");
        }
    }
}

void ProtectionControl::StopProtectionService() {
    qorFastLock guard(m_protectionLock, true);
    if (IsProtectionServiceRunning() && !StopProtectionServiceNow()) {
        CSF_LOG(1, "%s", "Error stopping the skua service");
    }
}

bool ProtectionControl::IsProtectionServiceRunning() {
    qorFastLock guard(m_protectionLock, true);
    std::unique_ptr<plat::Service> pService =
        OpenProtectionService("Error opening the gapfix service : %d", true);
    uint32_t dwState = 0;
    return pService && pService->QueryState(dwState) && dwState == plat::kServiceRunning;
}

bool ProtectionControl::StartProtectionService() {
    qorFastLock guard(m_protectionLock, true);
    std::unique_ptr<plat::Service> pService =
        OpenProtectionService("Error opening the gapfix ervice : %d");
    if (!pService) {
        return false;
    }
    if (!pService->Start()) {
        const uint32_t dwError = plat::GetLastError();
        if (dwError == plat::kErrServiceAlreadyRunning) {
            return true;
        }
        CSF_LOG(1, "%s", ServiceErrorLine("Error starting the gapfix service : %d", dwError).c_str());
        return false;
    }
    return WaitForState(*pService, plat::kServiceRunning, "Error querying the gapfix status : %d",
                        "Unable to start the gapfix ervice");
}

bool ProtectionControl::StopProtectionServiceNow() {
    qorFastLock guard(m_protectionLock, true);
    std::unique_ptr<plat::Service> pService =
        OpenProtectionService("Error opening the gapfix ervice : %d");
    if (!pService) {
        return false;
    }
    if (!pService->Stop()) {
        const uint32_t dwError = plat::GetLastError();
        if (dwError != plat::kErrServiceNotActive) {
            CSF_LOG(1, "%s", ServiceErrorLine("Error stopping the gapfix ervice : %d", dwError).c_str());
        }
        return false;
    }
    // The stop request only asks; the program takes its time to leave.
    return WaitForState(*pService, plat::kServiceStopped, "Error querying the gapfix ervice : %d",
                        "Unable to shutdown the gapfix service");
}

bool ProtectionControl::WaitForState(plat::Service& service, uint32_t dwWanted,
                                     const char* pszQueryFailure, const char* pszTimedOut) {
    uint32_t dwWaited = 0;
    for (;;) {
        Pause(m_timing.m_dwPollMs);
        uint32_t dwState = 0;
        if (!service.QueryState(dwState)) {
            CSF_LOG(1, "%s", ServiceErrorLine(pszQueryFailure, plat::GetLastError()).c_str());
            return false;
        }
        dwWaited += m_timing.m_dwPollMs;
        if (dwWaited > m_timing.m_dwLimitMs) {
            CSF_LOG(1, "%s", pszTimedOut);
            return false;
        }
        if (dwState == dwWanted) {
            return true;
        }
    }
}
