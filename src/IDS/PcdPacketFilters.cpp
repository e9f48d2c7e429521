#include "IDS/PcdPacketFilters.h"

#include <arpa/inet.h>

#include <map>
#include <new>
#include <string_view>

#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/CSFLog.h"

namespace {

const std::map<std::string, int, std::less<>>& ProtocolNames() {
    static const std::map<std::string, int, std::less<>> names = {
        {"TCP", 6}, {"UDP", 17}, {"ICMP", 1}, {"ALL", -1}};
    return names;
}

// The leading decimal digits of the text, 0 without any; a value past 255
// is refused.
bool ParseByte(std::string_view text, uint32_t& dwValue) {
    dwValue = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        dwValue = dwValue * 10 + static_cast<uint32_t>(c - '0');
        if (dwValue > 255) {
            return false;
        }
    }
    return true;
}

bool ParseAddress(std::string_view text, uint32_t& dwAddress) {
    char szAddress[INET_ADDRSTRLEN];
    if (text.size() >= sizeof szAddress) {
        return false;
    }
    text.copy(szAddress, text.size());
    szAddress[text.size()] = '\0';
    in_addr address{};
    if (inet_pton(AF_INET, szAddress, &address) != 1) {
        return false;
    }
    dwAddress = address.s_addr;
    return true;
}

std::string ReadFilterText(IPolicyContainer* pPolicy, const char* pszSection) {
    const char* pszText = pPolicy->GetText(pszSection, "pcd.packetfilters", "");
    return pszText != nullptr ? std::string(pszText) : std::string();
}

}  // namespace

CPcdPacketFilters::~CPcdPacketFilters() = default;

uint32_t CPcdPacketFilters::Load(IPolicyContainer* pPolicy) {
    if (pPolicy == nullptr) {
        return 0;
    }
    std::string strText = ReadFilterText(pPolicy, "\\config\\tuning");
    if (strText.empty()) {
        strText = ReadFilterText(pPolicy, "\\template\\config\\tuning");
    }
    return strText.empty() ? 0 : Parse(strText);
}

uint32_t CPcdPacketFilters::Parse(const std::string& strText) {
    const std::string_view text(strText);
    uint32_t dwCount = 0;
    size_t p = 0;
    while (p < text.size()) {
        const size_t nAddressEnd = text.find('/', p);
        if (nAddressEnd == std::string_view::npos) {
            break;
        }
        uint32_t dwAddress = 0;
        const bool bAddress = ParseAddress(text.substr(p, nAddressEnd - p), dwAddress);
        p = nAddressEnd + 1;
        if (!bAddress) {
            CSF_LOG(kCSFLogError, "pcd.packetfilters: entry with a bad address skipped");
            const size_t nComma = text.find(',', p);
            if (nComma == std::string_view::npos || nComma + 1 >= text.size()) {
                break;
            }
            p = nComma + 1;
            continue;
        }
        const size_t nPrefixEnd = text.find('/', p);
        if (nPrefixEnd == std::string_view::npos) {
            break;
        }
        uint32_t dwPrefix = 0;
        const bool bPrefix = ParseByte(text.substr(p, nPrefixEnd - p), dwPrefix) && dwPrefix <= 32;
        p = nPrefixEnd + 1;
        if (p >= text.size()) {
            break;
        }
        const size_t nProtocolEnd = text.find_first_of("/,", p);
        const std::string_view protocol =
            text.substr(p, nProtocolEnd == std::string_view::npos ? std::string_view::npos
                                                                  : nProtocolEnd - p);
        uint8_t bDirection = kPcdBoth;
        if (nProtocolEnd == std::string_view::npos) {
            p = text.size();
        } else if (text[nProtocolEnd] == '/') {
            const size_t nDirectionEnd = text.find(',', nProtocolEnd + 1);
            const std::string_view direction = text.substr(
                nProtocolEnd + 1, nDirectionEnd == std::string_view::npos
                                      ? std::string_view::npos
                                      : nDirectionEnd - nProtocolEnd - 1);
            if (direction == "IN") {
                bDirection = kPcdInbound;
            } else if (direction == "OUT") {
                bDirection = kPcdOutbound;
            }
            p = nDirectionEnd == std::string_view::npos ? text.size() : nDirectionEnd + 1;
        } else {
            p = nProtocolEnd + 1;
        }
        uint32_t dwProtocol = 0;
        const auto named = ProtocolNames().find(protocol);
        bool bProtocol = true;
        if (named != ProtocolNames().end()) {
            dwProtocol = static_cast<uint8_t>(named->second);
        } else {
            bProtocol = ParseByte(protocol, dwProtocol);
        }
        if (!bPrefix || !bProtocol) {
            CSF_LOG(kCSFLogError, "pcd.packetfilters: entry with a bad prefix or protocol skipped");
            continue;
        }
        if (AddFilter(dwAddress, static_cast<uint8_t>(dwPrefix), static_cast<uint8_t>(dwProtocol),
                      bDirection) == kPcdFilterOk) {
            ++dwCount;
        }
    }
    return dwCount;
}

uint32_t CPcdPacketFilters::GetFilter(uint32_t dwIndex, uint32_t& dwAddress, uint8_t& bPrefix,
                                      uint8_t& bProtocol, uint8_t& bDirection) const {
    if (dwIndex >= m_Filters.size()) {
        return kPcdFilterNoSuchFilter;
    }
    const CFilter& filter = *m_Filters[dwIndex];
    dwAddress = filter.m_dwAddress;
    bPrefix = filter.m_bPrefix;
    bProtocol = filter.m_bProtocol;
    bDirection = filter.m_bDirection;
    return kPcdFilterOk;
}

uint32_t CPcdPacketFilters::AddFilter(uint32_t dwAddress, uint8_t bPrefix, uint8_t bProtocol,
                                      uint8_t bDirection) {
    if (dwAddress == 0 || bPrefix == 0) {
        return kPcdFilterRefused;
    }
    try {
        m_Filters.push_back(std::make_unique<CFilter>(dwAddress, bPrefix, bProtocol, bDirection));
    } catch (const std::bad_alloc&) {
        return kPcdFilterNoMemory;
    }
    return kPcdFilterOk;
}
