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

enum class PieceKind { kBlank, kAddress, kBadAddress, kBadPrefix };

struct Piece {
    std::string_view m_Text;
    PieceKind m_Kind = PieceKind::kBlank;
    uint32_t m_dwAddress = 0;
    int m_nPrefix = 32;
};

// Cuts the next piece off the front of `rest` and reads it.
Piece NextPiece(std::string_view& rest) {
    const size_t nComma = rest.find(',');
    Piece piece;
    piece.m_Text = rest.substr(0, nComma);
    rest = nComma == std::string_view::npos ? std::string_view() : rest.substr(nComma + 1);
    if (Trim(piece.m_Text).empty()) {
        return piece;
    }
    std::string_view address = piece.m_Text;
    const size_t nSlash = address.find('/');
    if (nSlash != std::string_view::npos) {
        piece.m_nPrefix = ParsePrefix(address.substr(nSlash + 1));
        if (piece.m_nPrefix < 0) {
            piece.m_Kind = PieceKind::kBadPrefix;
            return piece;
        }
        address = address.substr(0, nSlash);
    }
    piece.m_dwAddress = ParseAddress(address);
    // 255.255.255.255 written out is an address; anything else that reads
    // as it did not parse.
    piece.m_Kind = piece.m_dwAddress == 0xFFFFFFFFu && Trim(address) != "255.255.255.255"
                       ? PieceKind::kBadAddress
                       : PieceKind::kAddress;
    return piece;
}

}  // namespace

uint16_t ParseAddressList(const std::string& strList, fwaddrslot (&slots)[kFwMaxAddresses],
                          bool bBastion) {
    std::memset(slots, 0, sizeof slots);
    uint16_t wCount = 0;
    std::string_view rest(strList);
    while (!rest.empty() && wCount < kFwMaxAddresses) {
        const Piece piece = NextPiece(rest);
        if (piece.m_Kind == PieceKind::kBlank) {
            continue;
        }
        if (piece.m_Kind == PieceKind::kBadPrefix) {
            CSF_LOG(kCSFLogError, "Address list entry [%.*s] ignored: bad prefix length",
                    static_cast<int>(piece.m_Text.size()), piece.m_Text.data());
            continue;
        }
        const int nPrefix = piece.m_nPrefix;
        const uint32_t dwAddress = piece.m_dwAddress;
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

AddressListCheck CheckAddressList(const std::string& strList) {
    AddressListCheck check;
    size_t nUsed = 0;
    std::string_view rest(strList);
    while (!rest.empty()) {
        const Piece piece = NextPiece(rest);
        if (piece.m_Kind == PieceKind::kBlank) {
            continue;
        }
        ++check.m_nPieces;
        const std::string strText(Trim(piece.m_Text));
        if (piece.m_Kind == PieceKind::kBadPrefix) {
            check.m_Unparsed.push_back(strText);
            continue;
        }
        if (nUsed++ >= kFwMaxAddresses) {
            check.m_Ignored.push_back(strText);
        } else if (piece.m_Kind == PieceKind::kBadAddress) {
            check.m_Unparsed.push_back(strText);
        }
    }
    return check;
}
