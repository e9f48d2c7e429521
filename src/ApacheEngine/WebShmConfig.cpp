#include "ApacheEngine/WebShmConfig.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "ApacheEngine/WebSharedMemory.h"
#include "IDS/IDSConfig.h"
#include "platform/Console.h"

namespace {

void PutConfig32(uint8_t* pView, uint32_t dwOffset, uint32_t dwValue) { std::memcpy(pView + dwOffset, &dwValue, 4); }

void Put16(uint8_t* pView, uint32_t dwOffset, uint16_t wValue) { std::memcpy(pView + dwOffset, &wValue, 2); }

// The text up to its terminator, cut to the field.
void PutText(uint8_t* pField, const char* pszText, size_t fieldSize) {
    size_t length = strnlen(pszText, fieldSize - 1);
    std::memcpy(pField, pszText, length);
    pField[length] = '\0';
}

uint32_t Now() { return static_cast<uint32_t>(std::time(nullptr)); }

constexpr const char kCutText[] =
    "the configuration area was cut short by another account: it is written again once the web engine has "
    "mapped it again";

// Lets the area go after a write: 0, or 1 when another account cut it
// short under the write, which then reached nothing.
int Finish(std::string* pProblem, std::string strProblem) {
    const bool bCut = WebShmConfigCut();
    WebShmUnlockConf();
    if (bCut)
        strProblem = kCutText;
    if (pProblem != nullptr)
        *pProblem = std::move(strProblem);
    return bCut ? 1 : 0;
}

}  // namespace

int WebShmWriteConfig(const IDSConfigTable* pTable, const TuningBlock* pParams, std::string* pProblem) {
    std::string strProblem;
    if (!WebShmLockConf()) {
        if (pProblem != nullptr && WebShmConfigCut())
            *pProblem = kCutText;
        else if (pProblem != nullptr)
            *pProblem = "the configuration area could not be written (not open, or its lock not free): the "
                        "web-server module keeps the configuration it had";
        return 1;
    }
    uint8_t* pView = WebShmConfView();
    if (pTable == nullptr) {
        PutConfig32(pView, kWebConfFlags, 0);
        PutConfig32(pView, kWebConfTime, Now());
        return Finish(pProblem, std::move(strProblem));
    }
    uint32_t dwEvents = pTable->entries == nullptr ? 0 : pTable->numEntries;
    if (dwEvents > kWebConfMaxEvents) {
        plat::ConsolePrintf("Num events %d\n", static_cast<int>(dwEvents));
        plat::ConsoleWrite("Error in setting configuration - config too large\n");
        strProblem = std::to_string(dwEvents - kWebConfMaxEvents) + " of " + std::to_string(dwEvents) +
                     " signature entries are past the " + std::to_string(kWebConfMaxEvents) +
                     " the configuration area holds: the web-server module has no response settings for them";
        dwEvents = kWebConfMaxEvents;
    }
    uint32_t dwFlags = kWebConfEventsValid;
    pView[kWebConfBlockEnabled] = pTable->blockEnabled ? 1 : 0;
    PutConfig32(pView, kWebConfBlockPeriod, pTable->dynamicBlockPeriod);
    PutConfig32(pView, kWebConfEventCount, dwEvents);
    // Only the low half of this process's address fits; it means nothing to
    // the module anyway.
    PutConfig32(pView, kWebConfEventPointer, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pView + kWebConfEvents)));
    for (uint32_t i = 0; i < dwEvents; ++i) {
        const IDSConfigEntry& entry = pTable->entries[i];
        uint8_t* pEntry = pView + kWebConfEvents + i * kWebConfEventSize;
        // The entry's first word holds the rule's TID until a capture slave
        // puts the module's issue id there.
        PutConfig32(pEntry, kWebEntryFirstWord, entry.issueId);
        PutConfig32(pEntry, kWebEntryTid, entry.issueId);
        PutConfig32(pEntry, kWebEntryResponse, entry.response);
        Put16(pEntry, kWebEntryAllow, entry.response_ip.allow);
        uint16_t wAddresses = std::min<uint16_t>(entry.response_ip.num_ips, kWebEntryMaxAddresses);
        Put16(pEntry, kWebEntryAddressCount, wAddresses);
        for (uint16_t k = 0; k < wAddresses; ++k) {
            uint8_t* pSlot = pEntry + kWebEntryAddresses + k * kWebEntryAddressSize;
            std::memcpy(pSlot, &entry.response_ip.ip[k].address, 4);
            std::memcpy(pSlot + 4, &entry.response_ip.ip[k].mask, 4);
        }
    }
    if (pParams != nullptr) {
        uint32_t dwParams = std::min<uint32_t>(pParams->count, TuningBlock::kMaxParams);
        if (dwParams > kWebConfMaxParams) {
            // More would run into the event table.
            plat::ConsolePrintf("Num params %d\n", static_cast<int>(dwParams));
            plat::ConsoleWrite("Error in setting configuration - too many parameters\n");
            strProblem += (strProblem.empty() ? "" : "; ") + std::to_string(dwParams - kWebConfMaxParams) +
                          " of " + std::to_string(dwParams) + " tuning parameters are past the " +
                          std::to_string(kWebConfMaxParams) +
                          " the configuration area holds: the web-server module does not get them";
            dwParams = kWebConfMaxParams;
        }
        dwFlags |= kWebConfParamsValid;
        PutConfig32(pView, kWebConfParamCount, dwParams);
        PutConfig32(pView, kWebConfParamPointer,
                    static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pView + kWebConfParams)));
        for (uint32_t i = 0; i < dwParams; ++i) {
            uint8_t* pEntry = pView + kWebConfParams + i * kWebConfParamSize;
            PutText(pEntry, pParams->params[i].name, kWebConfParamFieldSize);
            PutText(pEntry + kWebConfParamFieldSize, pParams->params[i].value, kWebConfParamFieldSize);
        }
    }
    PutConfig32(pView, kWebConfFlags, dwFlags);
    PutConfig32(pView, kWebConfTime, Now());
    return Finish(pProblem, std::move(strProblem));
}
