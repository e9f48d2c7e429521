#include "IDS/Firewall/FireConf.h"

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

uint16_t ParseAddressList(const std::string& strList, fwaddrslot (&slots)[kFwMaxAddresses],
                          bool bBastion) {
    std::memset(slots, 0, sizeof slots);
    uint16_t wCount = 0;
    std::string_view rest(strList);
    while (!rest.empty() && wCount < kFwMaxAddresses) {
        const AddressPiece piece = NextAddressPiece(rest);
        if (piece.m_Kind == AddressPieceKind::kBlank) {
            continue;
        }
        if (piece.m_Kind == AddressPieceKind::kBadPrefix) {
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
