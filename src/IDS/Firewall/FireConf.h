#pragma once
// The firewall tables as the IDS configuration builds them from the Bastion
// rules: one table per protocol, each a list of rules with up to 15 address
// slots.  Every slave copies them into its own firewall at set-up.  The
// address slot shape is shared with the block address lists of the IDS
// configuration entries.

#include <cstdint>
#include <memory>
#include <string>

#include "qorToolsLib/AddressList.h"

// Protocol codes of the tables (and of Bastion rules).
enum : uint32_t {
    kFwProtocolIP = 1,
    kFwProtocolTCP = 3,
    kFwProtocolUDP = 5,
    kFwProtocolICMP = 7,
};

inline constexpr uint32_t kFwMaxAddresses = kAddressListSlots;

// Address and mask in host order (first octet most significant), the
// address already ANDed with the mask; the last two words stay zero.
struct fwaddrslot {
    uint32_t address;
    uint32_t mask;
    uint32_t reserved[2];
};

// One rule of a configuration table.
struct fwconfrule {
    uint32_t eventID;
    uint16_t report;
    uint16_t dport;
    uint16_t allow;
    uint16_t numIPs;
    fwaddrslot ip[kFwMaxAddresses];
};

// One protocol's table; the room is fixed when it is made.
struct fireconf {
    uint32_t protocol = 0;
    uint32_t num_entries = 0;
    fwconfrule* entries = nullptr;
    uint32_t capacity = 0;

    // A zero-filled table with room for `dwCapacity` rules; null when it
    // cannot be had.
    static std::unique_ptr<fireconf> Make(uint32_t dwProtocol, uint32_t dwCapacity);

private:
    std::unique_ptr<fwconfrule[]> m_storage;
};

// Parses "a.b.c.d[/n],..." into the slots and answers how many were filled
// (at most 15; later pieces are ignored).  An address that does not parse
// is 255.255.255.255; 0.0.0.0 always gets mask 0; the prefix defaults to 32.
// A piece whose prefix is not a number from 0 to 32 is left out and logged.
// With `bBastion` every slot is traced.
uint16_t ParseAddressList(const std::string& strList, fwaddrslot (&slots)[kFwMaxAddresses],
                          bool bBastion);

// What ParseAddressList makes of a list is told by CheckAddressList
// (qorToolsLib/AddressList.h).
