#include "IDS/Firewall/FireConf.h"

#include <arpa/inet.h>

#include <cstring>
#include <new>
#include <string_view>

#include "qorCSFLib/CSFLog.h"

std::unique_ptr<fireconf> fireconf::Make(uint32_t dwProtocol, uint32_t dwCapacity) {
    std::unique_ptr<fireconf> pTable(new (std::nothrow) fireconf);
    if (!pTable) {
        return nullptr;
    }
    pTable->protocol = dwProtocol;
    if (dwCapacity != 0) {
        pTable->m_storage.reset(new (std::nothrow) fwconfrule[dwCapacity]());
        if (!pTable->m_storage) {
            return nullptr;
        }
        pTable->entries = pTable->m_storage.get();
        pTable->capacity = dwCapacity;
    }
    return pTable;
}

namespace {

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// The prefix length, or -1 when the text is not a number from 0 to 32.
int ParsePrefix(std::string_view text) {
    text = Trim(text);
    if (text.empty() || text.size() > 2) {
        return -1;
    }
    int nPrefix = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return -1;
        }
        nPrefix = nPrefix * 10 + (c - '0');
    }
    return nPrefix <= 32 ? nPrefix : -1;
}

uint32_t ParseAddress(std::string_view text) {
    text = Trim(text);
    char szAddress[INET_ADDRSTRLEN];
    in_addr address{};
    if (text.size() >= sizeof szAddress) {
        return 0xFFFFFFFFu;
    }
    std::memcpy(szAddress, text.data(), text.size());
    szAddress[text.size()] = '\0';
    if (inet_pton(AF_INET, szAddress, &address) != 1) {
        return 0xFFFFFFFFu;
    }
    return ntohl(address.s_addr);
}

}  // namespace

uint16_t ParseAddressList(const std::string& strList, fwaddrslot (&slots)[kFwMaxAddresses],
                          bool bBastion) {
    std::memset(slots, 0, sizeof slots);
    uint16_t wCount = 0;
    std::string_view rest(strList);
    while (!rest.empty() && wCount < kFwMaxAddresses) {
        const size_t nComma = rest.find(',');
        std::string_view piece = rest.substr(0, nComma);
        rest = nComma == std::string_view::npos ? std::string_view() : rest.substr(nComma + 1);
        if (Trim(piece).empty()) {
            continue;
        }
        int nPrefix = 32;
        const size_t nSlash = piece.find('/');
        if (nSlash != std::string_view::npos) {
            nPrefix = ParsePrefix(piece.substr(nSlash + 1));
            if (nPrefix < 0) {
                CSF_LOG(kCSFLogError, "Address list entry [%.*s] ignored: bad prefix length",
                        static_cast<int>(piece.size()), piece.data());
                continue;
            }
            piece = piece.substr(0, nSlash);
        }
        const uint32_t dwAddress = ParseAddress(piece);
        uint32_t dwMask = nPrefix == 0 ? 0 : 0xFFFFFFFFu << (32 - nPrefix);
        if (dwAddress == 0) {
            dwMask = 0;
        }
        slots[wCount].address = dwAddress & dwMask;
        slots[wCount].mask = dwMask;
        ++wCount;
        if (bBastion) {
            CSF_TRACE(0x1009, "Bastion %d ) %lx : %lx", wCount,
                      static_cast<unsigned long>(dwAddress & dwMask),
                      static_cast<unsigned long>(dwMask));
        }
    }
    return wCount;
}
