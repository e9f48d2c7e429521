#include "qorToolsLib/AddressList.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

// `text` without the blanks and tabs around it.
std::string_view TrimBlanks(std::string_view text) {
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
    text = TrimBlanks(text);
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
    text = TrimBlanks(text);
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

std::string Quoted(const std::vector<std::string>& items) {
    std::string strText;
    for (const std::string& strItem : items) {
        strText += (strText.empty() ? "\"" : ", \"") + strItem + "\"";
    }
    return strText;
}

}  // namespace

AddressPiece NextAddressPiece(std::string_view& rest) {
    const size_t nComma = rest.find(',');
    AddressPiece piece;
    piece.m_Text = rest.substr(0, nComma);
    rest = nComma == std::string_view::npos ? std::string_view() : rest.substr(nComma + 1);
    if (TrimBlanks(piece.m_Text).empty()) {
        return piece;
    }
    std::string_view address = piece.m_Text;
    const size_t nSlash = address.find('/');
    if (nSlash != std::string_view::npos) {
        piece.m_nPrefix = ParsePrefix(address.substr(nSlash + 1));
        if (piece.m_nPrefix < 0) {
            piece.m_Kind = AddressPieceKind::kBadPrefix;
            return piece;
        }
        address = address.substr(0, nSlash);
    }
    piece.m_dwAddress = ParseAddress(address);
    // 255.255.255.255 written out is an address; anything else that reads
    // as it did not parse.
    piece.m_Kind = piece.m_dwAddress == 0xFFFFFFFFu && TrimBlanks(address) != "255.255.255.255"
                       ? AddressPieceKind::kBadAddress
                       : AddressPieceKind::kAddress;
    return piece;
}

AddressListCheck CheckAddressList(const std::string& strList) {
    AddressListCheck check;
    size_t nUsed = 0;
    std::string_view rest(strList);
    while (!rest.empty()) {
        const AddressPiece piece = NextAddressPiece(rest);
        if (piece.m_Kind == AddressPieceKind::kBlank) {
            continue;
        }
        ++check.m_nPieces;
        const std::string strText(TrimBlanks(piece.m_Text));
        if (piece.m_Kind == AddressPieceKind::kBadPrefix) {
            check.m_Unparsed.push_back(strText);
            continue;
        }
        if (nUsed++ >= kAddressListSlots) {
            check.m_Ignored.push_back(strText);
        } else if (piece.m_Kind == AddressPieceKind::kBadAddress) {
            check.m_Unparsed.push_back(strText);
        }
    }
    return check;
}

std::string AddressListCheck::UnparsedNote(const char* pszWhom) const {
    if (m_Unparsed.empty()) {
        return std::string();
    }
    return "\"Addresses\" holds " + Quoted(m_Unparsed) +
           ", not an address (a.b.c.d or a.b.c.d/n): it matches no " + pszWhom;
}

std::string AddressListCheck::IgnoredNote() const {
    if (m_Ignored.empty()) {
        return std::string();
    }
    return "\"Addresses\" lists more than " + std::to_string(kAddressListSlots) + " addresses; " +
           Quoted(m_Ignored) + " are ignored";
}
