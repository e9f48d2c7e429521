#pragma once
// Lists of IPv4 addresses as a policy writes them: "a.b.c.d[/n],...".  The
// network engine makes its firewall tables and block lists of them, and
// hwhost checks the block definitions of its common policy with the same
// reading, so that what either says of a list is what the other does.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A list holds at most this many addresses; later ones are ignored.
inline constexpr size_t kAddressListSlots = 15;

enum class AddressPieceKind {
    kBlank,       // nothing but blanks: skipped
    kAddress,     // an address with its prefix length
    kBadAddress,  // no address: it reads as 255.255.255.255
    kBadPrefix,   // a prefix that is not a number from 0 to 32: left out
};

struct AddressPiece {
    std::string_view m_Text;  // as written, blanks and prefix included
    AddressPieceKind m_Kind = AddressPieceKind::kBlank;
    uint32_t m_dwAddress = 0;  // host order, first octet most significant
    int m_nPrefix = 32;
};

// Cuts the next piece (up to a ",") off the front of `rest` and reads it.
AddressPiece NextAddressPiece(std::string_view& rest);

// What a list says, for the reader to warn about: how many pieces are not
// blank, the pieces that name no address (an address that does not parse,
// or a bad prefix), and the usable pieces past the 15th, which are
// ignored.
struct AddressListCheck {
    size_t m_nPieces = 0;
    std::vector<std::string> m_Unparsed;
    std::vector<std::string> m_Ignored;

    // The pieces that stand for an address someone can have.
    size_t Usable() const { return m_nPieces - m_Unparsed.size() - m_Ignored.size(); }

    // What a policy's "Addresses" holds that is no address: "\"Addresses\"
    // holds \"x\", not an address (a.b.c.d or a.b.c.d/n): it matches no "
    // and `pszWhom`; empty when every piece is one.
    std::string UnparsedNote(const char* pszWhom) const;
    // The pieces past the 15th: "\"Addresses\" lists more than 15
    // addresses; \"p\" are ignored"; empty when there are none.
    std::string IgnoredNote() const;
};
AddressListCheck CheckAddressList(const std::string& strList);
