#include "ApacheEngine/WebSharedMemory.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/Console.h"
#include "platform/LastError.h"
#include "platform/Semaphore.h"
#include "platform/SharedMapping.h"
#include "qorCSFLib/CSFLog.h"
#include "qorToolsLib/ErrorWords.h"
#include "qorToolsLib/ReportLimiter.h"
#include "qorToolsLib/SafeText.h"

namespace {

// Whoever may write an object can cut it short again and again.
struct CutReports {
    ReportLimiter limiter{std::chrono::seconds(10)};
    uint32_t dwUnreported = 0;
};

struct ShmDescriptor {
    plat::SharedMapping mapping;
    plat::Semaphore mutex;
    uint32_t dwSize = 0;
    uint8_t* pView = nullptr;
    std::string strMutexName;
    std::string strMappingName;
    // A wait for the lock ran out: until the lock is had again it is only
    // tried, so a holder that keeps it costs each turn, and each start,
    // reload and stop that needs it, no more than a try.  Kept through a
    // detach: the holder keeps the object, and a lock made afresh is free.
    bool bRefused = false;
    // Another account cut the area or its lock short under this process
    // (platform/HostileMapping.h), and it was said: until they are mapped
    // again every turn on the segment fails, without a word more.
    bool bCutSaid = false;
    CutReports areaCuts;
    CutReports lockCuts;
    // What waits on the lock found wrong with its counts and put right,
    // and what of it is still to be said.
    ReportLimiter lockFindings{std::chrono::seconds(10)};
    plat::Semaphore::Findings unsaidFindings;
};

struct ShmState {
    bool bAttached = false;
    ShmDescriptor event;
    ShmDescriptor config;
    // The module could make either report once per poll.
    ReportLimiter damageReports{std::chrono::seconds(10)};
    uint32_t dwDamageUnreported = 0;
    ReportLimiter lockReports{std::chrono::seconds(10)};
    uint32_t dwLockUnreported = 0;
    // The last read found the ring damaged and set its overflow flag itself,
    // so the flag the next read finds may be this process's own.
    bool bFlaggedDamage = false;
    // The write offset the last read found the ring empty at: the value
    // the reader sleeps on, so that a write after that read ends the sleep
    // however soon it comes.
    bool bEmptySeen = false;
    uint32_t dwWriteSeen = 0;
};

// The word the reader sleeps on in this process's view of the ring, for a
// wake from another thread of this process (a stop); null while the ring
// is not mapped.  A wake that meets an address let go meanwhile fails in
// the kernel, touching nothing.
std::atomic<const uint32_t*> g_pWakeWord{nullptr};

void NoteWakeWord(const uint8_t* pView) {
    g_pWakeWord.store(pView != nullptr ? reinterpret_cast<const uint32_t*>(pView + kWebEvWrite) : nullptr,
                      std::memory_order_release);
}

ShmState& State() {
    static ShmState state;
    return state;
}

// Set on a thread while a WebShmLockTriesOnly lives there.
thread_local bool t_bLockTriesOnly = false;

uint32_t Get32(const uint8_t* pView, uint32_t dwOffset) {
    uint32_t dwValue;
    std::memcpy(&dwValue, pView + dwOffset, sizeof dwValue);
    return dwValue;
}

void Put32(uint8_t* pView, uint32_t dwOffset, uint32_t dwValue) {
    std::memcpy(pView + dwOffset, &dwValue, sizeof dwValue);
}

// Says that another account cut one object (an area or a lock) short,
// once for each cut, at most every 10 seconds for each object.
void ReportCut(CutReports& reports, const char* pszKind, const std::string& strName) {
    ++reports.dwUnreported;
    if (!reports.limiter.Allow(ReportLimiter::Clock::now()))
        return;
    std::string strText = std::string("The web-server ") + pszKind + " " + strName +
                          " was cut short by another account: that turn of the web engine is skipped, and it "
                          "maps it again";
    if (reports.dwUnreported > 1)
        strText += " (" + std::to_string(reports.dwUnreported) + " cuts since the last report)";
    CSF_LOG(kCSFLogWarning, "%s", strText.c_str());
    plat::ConsolePrintf("WARNING: %s\n", strText.c_str());
    reports.dwUnreported = 0;
}

// Whether the segment's area or lock was cut short under this process;
// `bProbe` reads their ends first, so a cut anywhere is found now.
bool SegmentCut(ShmDescriptor& desc, bool bProbe = false) {
    const bool bArea = bProbe ? desc.mapping.CheckCut() : desc.mapping.Cut();
    const bool bLock = bProbe ? desc.mutex.CheckCut() : desc.mutex.Cut();
    if (!bArea && !bLock)
        return false;
    if (!desc.bCutSaid) {
        desc.bCutSaid = true;
        if (bArea)
            ReportCut(desc.areaCuts, "area", desc.strMappingName);
        if (bLock)
            ReportCut(desc.lockCuts, "lock", desc.strMutexName);
    }
    return true;
}

// Says what waits on the segment's lock found wrong with its counts and
// put right (platform/Semaphore.h), as later findings: only another
// process of the web-server group leaves units that no living process
// holds, or writes over the counts.  At most every 10 seconds for each
// lock, what was found meanwhile said together; a text said again is one
// finding.
void ReportLockFindings(ShmDescriptor& desc) {
    plat::Semaphore::Findings found;
    if (desc.mutex.TakeFindings(found))
        desc.unsaidFindings.Add(found);
    if (!desc.unsaidFindings.Any() || !desc.lockFindings.Allow(ReportLimiter::Clock::now()))
        return;
    found = std::exchange(desc.unsaidFindings, {});
    const std::string strLock = "The web-server lock " + desc.strMutexName;
    std::vector<std::string> texts;
    if (found.unitsGivenBack > 0)
        texts.push_back(strLock +
                        " had no unit free and none held by a living process (a process of the web-server group "
                        "took it and ended without giving it back, or wrote its count down): it was given back, "
                        "and web-server events are read again");
    if (found.countOutOfRange)
        texts.push_back(strLock + " had its count written past its bounds by another process: it was put back");
    if (found.keptTooLong)
        texts.push_back(strLock + " was kept for more than " + std::to_string(kWebLockKeptMs / 1000) +
                        " s by a process that lives (a process of the web-server group keeps it or wrote over it, "
                        "or its holder was stopped): it was taken back, and web-server events are read again");
    if (found.falseHolders != 0)
        texts.push_back(strLock +
                        " named the sensor as holding it when it did not (a process of the web-server group wrote "
                        "over its holders): that was put right");
    if (found.layoutRestored)
        texts.push_back(strLock +
                        " had its layout written over by another process, so that the web-server module could not "
                        "open it: it was put back");
    if (found.overClaimed || found.tableFull)
        texts.push_back(strLock +
                        " has its holders written over: living processes are named as holding more than it has, "
                        "so the engine's turns may find it taken until those processes end");
    for (const std::string& strText : texts) {
        if (CSFLogServices() != nullptr)
            CSF_LOG(kCSFLogWarning | kCSFLogConsoleFlag, "%s", strText.c_str());
        else
            plat::ConsolePrintf("WARNING: %s\n", strText.c_str());
    }
}

// The other side holds a lock only for a copy; a holder that keeps it
// longer (hung, or hostile) costs this side one skipped turn, never a
// stalled thread or a stop that does not end.  So does a segment cut
// short, whose lock then holds nothing.
bool Lock(ShmDescriptor& desc) {
    if (SegmentCut(desc))
        return false;
    const plat::WaitResult result =
        desc.mutex.Wait(desc.bRefused || t_bLockTriesOnly ? kWebLockTryMs : kWebLockWaitMs);
    ReportLockFindings(desc);
    if (SegmentCut(desc)) {
        if (result == plat::kWaitSignalled)
            desc.mutex.Release(1);
        return false;
    }
    desc.bRefused = result != plat::kWaitSignalled;
    if (result == plat::kWaitSignalled)
        return true;
    ShmState& state = State();
    ++state.dwLockUnreported;
    if (state.lockReports.Allow(ReportLimiter::Clock::now())) {
        CSF_LOG(kCSFLogWarning, "The web-server lock %s was not free within %u ms: %u turn(s) skipped",
                desc.strMutexName.c_str(), static_cast<unsigned>(kWebLockWaitMs),
                static_cast<unsigned>(state.dwLockUnreported));
        plat::ConsolePrintf("WARNING: The web-server lock %s was not free within %u ms: %u turn(s) skipped\n",
                            desc.strMutexName.c_str(), static_cast<unsigned>(kWebLockWaitMs),
                            static_cast<unsigned>(state.dwLockUnreported));
        state.dwLockUnreported = 0;
    }
    return false;
}

void Unlock(ShmDescriptor& desc) { desc.mutex.Release(1); }

void CloseSegment(ShmDescriptor& desc) {
    desc.mutex.Close();
    desc.mapping.Unmap();
    desc.mapping.Close();
    desc.pView = nullptr;
    desc.bCutSaid = false;
}

// The line of a failure that names its error number, with the reason
// after it: "Error creating mutex : 2 (No such file or directory)".
std::string ErrorLine(const char* pszText, uint32_t dwError) {
    char szText[128];
    std::snprintf(szText, sizeof szText, pszText, static_cast<int>(dwError));
    return std::string(szText) + " (" + ErrorWords(dwError) + ")";
}

// Says why the segments could not be had, on standard output and to the
// caller.
int Fail(std::string* pProblem, const std::string& strText) {
    plat::ConsolePrintf("%s\n", strText.c_str());
    if (pProblem != nullptr) {
        *pProblem = strText;
    }
    return 1;
}

// Maps the segment's area; a mapping smaller than the layout (one another
// account cut short) is unusable, as is one that cannot be mapped.
int MapSegment(ShmDescriptor& desc, std::string* pProblem) {
    void* pView = desc.mapping.Map(nullptr);
    if (pView != nullptr && desc.mapping.Size() >= desc.dwSize) {
        desc.pView = static_cast<uint8_t*>(pView);
        return 0;
    }
    // An object of no length is all another account left of it.
    const uint32_t dwError = plat::GetLastError();
    const uint64_t qwSize = pView != nullptr ? desc.mapping.Size() : 0;
    const std::string strWhy =
        pView == nullptr && dwError != plat::kErrInvalidParameter
            ? ErrorWords(dwError)
            : desc.strMappingName + " holds " + std::to_string(qwSize) + " bytes, fewer than the " +
                  std::to_string(desc.dwSize) + " of its layout";
    CloseSegment(desc);
    return Fail(pProblem, "Error mapping to shared Object (" + strWhy + ")");
}

int CreateOrOpen(bool bCreate, int32_t nGroup, ShmDescriptor& desc, std::string* pProblem) {
    // Either side holds a lock only for a copy.
    desc.mutex.SetHoldBound(kWebLockKeptMs);
    if (bCreate) {
        if (!desc.mutex.Open(desc.strMutexName, 1, 1, nGroup)) {
            return Fail(pProblem, ErrorLine("Error creating mutex : %d", plat::GetLastError()));
        }
        // Whether the objects were new or left over is routine: it goes to
        // the debug trace, not to the operator's console.
        CSF_TRACE(kCSFLogInfo, "%s",
                  plat::GetLastError() == plat::kErrAlreadyExists ? "Mutex already exists\n"
                                                                  : "Created Mutex!\n");
        if (!desc.mapping.Create(desc.strMappingName, desc.dwSize, nGroup)) {
            const std::string strLine = ErrorLine("Error creating shared memory: %d", plat::GetLastError());
            desc.mutex.Close();
            return Fail(pProblem, strLine);
        }
        CSF_TRACE(kCSFLogInfo, "%s",
                  desc.mapping.Created() ? "Created Shared Memory!\n" : "Shared Memory already exists!\n");
    } else {
        // Opening only ever joins the creator's objects: a mutex made here
        // would guard nothing the sensor reads.
        if (!desc.mutex.OpenExisting(desc.strMutexName)) {
            return Fail(pProblem, ErrorLine("Error attaching to mutex : %d", plat::GetLastError()));
        }
        if (!desc.mapping.Open(desc.strMappingName)) {
            const std::string strLine = ErrorLine("Error attaching to shared memory : %d", plat::GetLastError());
            desc.mutex.Close();
            return Fail(pProblem, strLine);
        }
    }
    return MapSegment(desc, pProblem);
}

void ResetRing(uint8_t* pView) {
    Put32(pView, kWebEvStart, kWebEvDataStart);
    Put32(pView, kWebEvEnd, kWebEvDataEnd);
    Put32(pView, kWebEvRead, kWebEvDataStart);
    Put32(pView, kWebEvWrite, kWebEvDataStart);
    Put32(pView, kWebEvFree, kWebEvCapacity);
}

// The ring's header as its maker writes it: attached once, empty.
void LayOutRing(uint8_t* pView) {
    Put32(pView, kWebEvAttachCount, 1);
    Put32(pView, 4, 0);
    Put32(pView, kWebEvOverflow, 0);
    ResetRing(pView);
}

// The configuration area's header as its maker writes it: attached once,
// nothing valid in it yet.
void LayOutConfigHeader(uint8_t* pView) {
    Put32(pView, kWebEvAttachCount, 1);
    Put32(pView, 4, 0);
    Put32(pView, kWebConfFlags, 0);
    Put32(pView, kWebConfTime, 0);
}

// The offset `dwCount` bytes (at most the capacity) after `dwOffset`,
// wrapping at the data end.
uint32_t Advance(uint32_t dwOffset, uint32_t dwCount) {
    dwOffset += dwCount;
    if (dwOffset >= kWebEvDataEnd)
        dwOffset -= kWebEvCapacity;
    return dwOffset;
}

// Copies `dwCount` bytes (at most the capacity) out of the ring from
// `dwOffset`, wrapping at the data end; answers the offset after them.
uint32_t CopyOut(const uint8_t* pView, uint32_t dwOffset, void* pTarget, uint32_t dwCount) {
    if (dwCount == 0)
        return dwOffset;
    auto* pOut = static_cast<uint8_t*>(pTarget);
    uint32_t dwFirst = kWebEvDataEnd - dwOffset;
    if (dwFirst > dwCount)
        dwFirst = dwCount;
    std::memcpy(pOut, pView + dwOffset, dwFirst);
    std::memcpy(pOut + dwFirst, pView + kWebEvDataStart, dwCount - dwFirst);
    return Advance(dwOffset, dwCount);
}

uint32_t CopyIn(uint8_t* pView, uint32_t dwOffset, const void* pSource, uint32_t dwCount) {
    if (dwCount == 0)
        return dwOffset;
    const auto* pIn = static_cast<const uint8_t*>(pSource);
    uint32_t dwFirst = kWebEvDataEnd - dwOffset;
    if (dwFirst > dwCount)
        dwFirst = dwCount;
    std::memcpy(pView + dwOffset, pIn, dwFirst);
    std::memcpy(pView + kWebEvDataStart, pIn + dwFirst, dwCount - dwFirst);
    return Advance(dwOffset, dwCount);
}

// The header as one snapshot, checked for consistency: fixed bounds,
// offsets inside the data, and the distance from read to write agreeing
// with the bytes in use.
struct RingHeader {
    uint32_t dwRead;
    uint32_t dwWrite;
    uint32_t dwFree;
};

bool ReadRingHeader(const uint8_t* pView, RingHeader& header) {
    header.dwRead = Get32(pView, kWebEvRead);
    header.dwWrite = Get32(pView, kWebEvWrite);
    header.dwFree = Get32(pView, kWebEvFree);
    if (Get32(pView, kWebEvStart) != kWebEvDataStart || Get32(pView, kWebEvEnd) != kWebEvDataEnd)
        return false;
    if (header.dwRead < kWebEvDataStart || header.dwRead >= kWebEvDataEnd || header.dwWrite < kWebEvDataStart ||
        header.dwWrite >= kWebEvDataEnd || header.dwFree > kWebEvCapacity)
        return false;
    uint32_t dwUsed = kWebEvCapacity - header.dwFree;
    uint32_t dwDistance = (header.dwWrite + kWebEvCapacity - header.dwRead) % kWebEvCapacity;
    return dwDistance == dwUsed % kWebEvCapacity;
}

void ReportDamage(const RingHeader& header) {
    ShmState& state = State();
    ++state.dwDamageUnreported;
    if (!state.damageReports.Allow(ReportLimiter::Clock::now()))
        return;
    CSF_LOG(kCSFLogWarning, "Event ring damaged: R %u W %u freesize %u; ring reset (%u time(s) since the last report)",
            header.dwRead, header.dwWrite, header.dwFree, static_cast<unsigned>(state.dwDamageUnreported));
    plat::ConsolePrintf("Event ring damaged: R %u W %u freesize %u; ring reset\n", header.dwRead,
                        header.dwWrite, header.dwFree);
    state.dwDamageUnreported = 0;
}

// The group the creator opens the objects to: the web server's account
// is a member, other local accounts are not.  False (reported) when the
// group named does not exist.
bool ShareGroup(int32_t& nGroup, std::string* pProblem) {
    nGroup = plat::kNoShareGroup;
    const char* pszGroup = std::getenv(kWebGroupVariable);
    if (pszGroup == nullptr || *pszGroup == '\0')
        return true;
    if (!plat::FindGroupId(pszGroup, nGroup)) {
        plat::ConsolePrintf("The web-server group %s does not exist\n", pszGroup);
        if (pProblem != nullptr) {
            *pProblem = "The web-server group " + PrintableText(pszGroup) + " does not exist";
        }
        return false;
    }
    return true;
}

}  // namespace

int WebShmAttach(bool bCreate, uint32_t* pdwCleared, std::string* pProblem) {
    ShmState& state = State();
    if (pdwCleared != nullptr)
        *pdwCleared = 0;
    if (state.bAttached)
        return 0;
    int32_t nGroup = plat::kNoShareGroup;
    if (bCreate && !ShareGroup(nGroup, pProblem))
        return 1;
    state.event.strMutexName = "QGEvMutex";
    state.event.strMappingName = "QGEvShm";
    state.event.dwSize = kWebEvShmSize;
    if (CreateOrOpen(bCreate, nGroup, state.event, pProblem) != 0)
        return 1;
    state.config.strMutexName = "QGConfMutex";
    state.config.strMappingName = "QGConfShm";
    state.config.dwSize = kWebConfShmSize;
    if (CreateOrOpen(bCreate, nGroup, state.config, pProblem) != 0) {
        CloseSegment(state.event);
        return 1;
    }
    state.bEmptySeen = false;
    NoteWakeWord(state.event.pView);

    if (Lock(state.event)) {
        uint8_t* pView = state.event.pView;
        if (bCreate) {
            // Left from before (a stop, or the detach of a reload): the
            // reset takes them, so they are counted.
            if (pdwCleared != nullptr)
                *pdwCleared = WebRingCountWaiting(pView);
            LayOutRing(pView);
        } else {
            Put32(pView, kWebEvAttachCount, Get32(pView, kWebEvAttachCount) + 1);
        }
        Unlock(state.event);
    }
    if (Lock(state.config)) {
        uint8_t* pView = state.config.pView;
        if (bCreate) {
            LayOutConfigHeader(pView);
        } else {
            Put32(pView, kWebEvAttachCount, Get32(pView, kWebEvAttachCount) + 1);
        }
        Unlock(state.config);
    }
    // A cut meanwhile is said now; the engine's next turn maps it again.
    SegmentCut(state.event);
    SegmentCut(state.config);
    state.bAttached = true;
    return 0;
}

int WebShmDetach() {
    ShmState& state = State();
    if (!state.bAttached)
        return 1;
    NoteWakeWord(nullptr);
    state.bEmptySeen = false;
    for (ShmDescriptor* pDesc : {&state.event, &state.config}) {
        // What could not be mapped again after a cut is not touched.
        if (pDesc->pView != nullptr && pDesc->mutex.IsOpen() && Lock(*pDesc)) {
            Put32(pDesc->pView, kWebEvAttachCount, Get32(pDesc->pView, kWebEvAttachCount) - 1);
            Unlock(*pDesc);
        }
        // A cut not found by a turn is said as the segments are let go.
        SegmentCut(*pDesc, true);
        CloseSegment(*pDesc);
    }
    state.bAttached = false;
    return 0;
}

bool WebShmIsAttached() { return State().bAttached; }

bool WebShmIsCut() {
    ShmState& state = State();
    if (!state.bAttached)
        return false;
    // Both looked at, so each cut is said at this turn.
    const bool bEvent = SegmentCut(state.event, true);
    const bool bConfig = SegmentCut(state.config, true);
    return bEvent || bConfig;
}

bool WebShmConfigCut() {
    ShmState& state = State();
    return state.bAttached && SegmentCut(state.config);
}

int WebShmMapAgain(bool& bConfigCut, std::string* pProblem) {
    ShmState& state = State();
    bConfigCut = false;
    if (!state.bAttached) {
        if (pProblem != nullptr)
            *pProblem = "the shared memory is not open";
        return 1;
    }
    bool bRingCut = false;
    for (ShmDescriptor* pDesc : {&state.event, &state.config}) {
        const bool bArea = pDesc->mapping.Cut();
        const bool bLock = pDesc->mutex.Cut();
        if (!bArea && !bLock)
            continue;
        (pDesc == &state.event ? bRingCut : bConfigCut) = true;
        std::string strWhy;
        if (bArea && pDesc->mapping.Remap() == nullptr) {
            strWhy = pDesc->strMappingName + ": " + ErrorWords(plat::GetLastError());
        } else if (bArea && pDesc->mapping.Size() < pDesc->dwSize) {
            strWhy = pDesc->strMappingName + " holds " + std::to_string(pDesc->mapping.Size()) +
                     " bytes, fewer than the " + std::to_string(pDesc->dwSize) + " of its layout";
        } else if (bLock && !pDesc->mutex.Remap()) {
            strWhy = pDesc->strMutexName + ": " + ErrorWords(plat::GetLastError());
        }
        if (!strWhy.empty()) {
            if (pProblem != nullptr)
                *pProblem = strWhy;
            // What is left of the segments is let go: a turn reads nothing
            // until they are opened afresh.
            pDesc->pView = static_cast<uint8_t*>(pDesc->mapping.Address());
            WebShmDetach();
            return 1;
        }
        pDesc->pView = static_cast<uint8_t*>(pDesc->mapping.Address());
        pDesc->bCutSaid = false;
        pDesc->bRefused = false;
    }
    // Laid out as their maker lays them out: what they held went with the
    // cut, and the caller writes the configuration again.
    if (bRingCut) {
        state.bEmptySeen = false;
        NoteWakeWord(state.event.pView);
    }
    if (bRingCut && Lock(state.event)) {
        LayOutRing(state.event.pView);
        Unlock(state.event);
    }
    if (bConfigCut && Lock(state.config)) {
        LayOutConfigHeader(state.config.pView);
        Unlock(state.config);
    }
    return 0;
}

namespace {

// WebRingTake, the damage left for the caller to report from `header`.
WebRingResult TakeFromRing(uint8_t* pView, WebEventRecord& record, char* pClassText, int32_t& nClassLength,
                           RingHeader& header, bool& bFlagFound, uint32_t& dwDropped) {
    nClassLength = 0;
    bFlagFound = Get32(pView, kWebEvOverflow) != 0;
    dwDropped = Get32(pView, kWebEvDropped);
    Put32(pView, kWebEvDropped, 0);
    WebRingResult result = WebRingResult::kEmpty;
    if (!ReadRingHeader(pView, header)) {
        result = WebRingResult::kDamaged;
    } else if (header.dwFree < kWebEvCapacity) {
        uint32_t dwUsed = kWebEvCapacity - header.dwFree;
        result = WebRingResult::kDamaged;
        if (dwUsed >= kWebRecordSize) {
            uint32_t dwOffset = CopyOut(pView, header.dwRead, &record, kWebRecordSize);
            uint32_t dwLength = static_cast<uint32_t>(record.nClassLength);
            if (record.nClassLength >= 0 && dwLength <= dwUsed - kWebRecordSize) {
                dwOffset = CopyOut(pView, dwOffset, pClassText, dwLength);
                Put32(pView, kWebEvRead, dwOffset);
                Put32(pView, kWebEvFree, header.dwFree + kWebRecordSize + dwLength);
                // Texts the module did not terminate end at their fields.
                record.szIntruderMac[kWebMacTextSize - 1] = '\0';
                record.szVictimMac[kWebMacTextSize - 1] = '\0';
                record.szEventName[kWebEventNameSize - 1] = '\0';
                nClassLength = record.nClassLength;
                result = WebRingResult::kTaken;
            }
        }
    }
    if (result == WebRingResult::kDamaged) {
        ResetRing(pView);
        Put32(pView, kWebEvOverflow, 1);
    } else {
        Put32(pView, kWebEvOverflow, 0);
    }
    return result;
}

}  // namespace

WebRingResult WebRingTake(uint8_t* pView, WebEventRecord& record, char* pClassText, int32_t& nClassLength) {
    RingHeader header{};
    bool bFlagFound = false;
    uint32_t dwDropped = 0;
    const WebRingResult result =
        TakeFromRing(pView, record, pClassText, nClassLength, header, bFlagFound, dwDropped);
    if (result == WebRingResult::kDamaged)
        ReportDamage(header);
    return result;
}

uint32_t WebRingCountWaiting(const uint8_t* pView) {
    RingHeader header;
    if (!ReadRingHeader(pView, header))
        return 0;
    uint32_t dwUsed = kWebEvCapacity - header.dwFree;
    uint32_t dwOffset = header.dwRead;
    uint32_t dwCount = 0;
    while (dwUsed >= kWebRecordSize) {
        WebEventRecord record;
        dwOffset = CopyOut(pView, dwOffset, &record, kWebRecordSize);
        const uint32_t dwLength = static_cast<uint32_t>(record.nClassLength);
        if (record.nClassLength < 0 || dwLength > dwUsed - kWebRecordSize)
            break;
        dwOffset = Advance(dwOffset, dwLength);
        dwUsed -= kWebRecordSize + dwLength;
        ++dwCount;
    }
    return dwCount;
}

uint32_t WebShmEmptyRing() {
    ShmState& state = State();
    if (!state.bAttached || !Lock(state.event))
        return kWebRingNotEmptied;
    const uint32_t dwWaiting = WebRingCountWaiting(state.event.pView);
    const bool bCut = SegmentCut(state.event);
    if (!bCut)
        ResetRing(state.event.pView);
    Unlock(state.event);
    return bCut ? kWebRingNotEmptied : dwWaiting;
}

WebShmLockTriesOnly::WebShmLockTriesOnly() : m_bBefore(t_bLockTriesOnly) { t_bLockTriesOnly = true; }

WebShmLockTriesOnly::~WebShmLockTriesOnly() { t_bLockTriesOnly = m_bBefore; }

bool WebShmReadEvent(WebEventRecord& record, char* pClassText, int32_t& nClassLength, bool* pbReached,
                     bool* pbOverflowed, uint32_t* pdwDropped) {
    nClassLength = 0;
    if (pbReached != nullptr)
        *pbReached = false;
    if (pbOverflowed != nullptr)
        *pbOverflowed = false;
    if (pdwDropped != nullptr)
        *pdwDropped = 0;
    ShmState& state = State();
    state.bEmptySeen = false;
    if (!state.bAttached || !Lock(state.event))
        return false;
    RingHeader header{};
    bool bFlagFound = false;
    uint32_t dwDropped = 0;
    const WebRingResult result =
        TakeFromRing(state.event.pView, record, pClassText, nClassLength, header, bFlagFound, dwDropped);
    // Cut short under the read: what it took is zeros, no damage and no
    // event.
    const bool bCut = SegmentCut(state.event);
    Unlock(state.event);
    if (bCut) {
        nClassLength = 0;
        return false;
    }
    if (pbReached != nullptr)
        *pbReached = true;
    // A flag this process set at a damaged ring is not the module's word;
    // a count is only ever the module's.
    if (pbOverflowed != nullptr)
        *pbOverflowed = (bFlagFound && !state.bFlaggedDamage) || dwDropped != 0;
    if (pdwDropped != nullptr)
        *pdwDropped = dwDropped;
    if (result == WebRingResult::kEmpty) {
        state.bEmptySeen = true;
        state.dwWriteSeen = header.dwWrite;
    }
    state.bFlaggedDamage = result == WebRingResult::kDamaged;
    if (result == WebRingResult::kDamaged)
        ReportDamage(header);
    return result == WebRingResult::kTaken;
}

plat::SharedWordWait WebShmAwaitWrite(uint32_t dwMs) {
    ShmState& state = State();
    if (!state.bAttached || !state.bEmptySeen)
        return plat::SharedWordWait::kFailed;
    state.bEmptySeen = false;
    const auto* pWord = reinterpret_cast<const uint32_t*>(state.event.pView + kWebEvWrite);
    return plat::WaitSharedWord(pWord, state.dwWriteSeen, dwMs);
}

void WebShmWakeReader() {
    if (const uint32_t* pWord = g_pWakeWord.load(std::memory_order_acquire))
        plat::WakeSharedWord(pWord);
}

int WebShmWriteEvent(const WebEventRecord& record, const char* pClassText, bool* pbWritten) {
    if (pbWritten != nullptr)
        *pbWritten = false;
    ShmState& state = State();
    if (!state.bAttached)
        return 1;
    if (!Lock(state.event))
        return 0;
    uint8_t* pView = state.event.pView;
    RingHeader header;
    bool bWritten = false;
    uint32_t dwLength = static_cast<uint32_t>(record.nClassLength);
    if (!ReadRingHeader(pView, header) || record.nClassLength < 0 || dwLength > kWebMaxClassLength ||
        (dwLength > 0 && pClassText == nullptr) || kWebRecordSize + dwLength > header.dwFree) {
        Put32(pView, kWebEvOverflow, 1);
        const uint32_t dwDropped = Get32(pView, kWebEvDropped);
        if (dwDropped != UINT32_MAX)
            Put32(pView, kWebEvDropped, dwDropped + 1);
    } else {
        uint32_t dwOffset = CopyIn(pView, header.dwWrite, &record, kWebRecordSize);
        dwOffset = CopyIn(pView, dwOffset, pClassText, dwLength);
        Put32(pView, kWebEvWrite, dwOffset);
        Put32(pView, kWebEvFree, header.dwFree - kWebRecordSize - dwLength);
        bWritten = true;
    }
    const bool bCut = SegmentCut(state.event);
    Unlock(state.event);
    // The reader sleeps on the write offset only once it found the ring
    // empty, and reads it to its end at each wake: a write into a ring that
    // held events finds the reader woken already.
    if (bWritten && !bCut && header.dwFree == kWebEvCapacity)
        plat::WakeSharedWord(reinterpret_cast<const uint32_t*>(pView + kWebEvWrite));
    if (pbWritten != nullptr)
        *pbWritten = bWritten && !bCut;
    return 0;
}

uint8_t* WebShmConfView() { return State().bAttached ? State().config.pView : nullptr; }

uint8_t* WebShmEvView() { return State().bAttached ? State().event.pView : nullptr; }

bool WebShmLockConf() { return State().bAttached && Lock(State().config); }

void WebShmUnlockConf() { Unlock(State().config); }

bool WebShmLockEvent() { return State().bAttached && Lock(State().event); }

void WebShmUnlockEvent() { Unlock(State().event); }
