#include "Decoy/SpareDescriptor.h"

bool SpareDescriptor::Take() {
    if (m_hSpare == plat::kInvalidSocket) {
        // A socket that is never bound costs the descriptor and no more.
        m_hSpare = plat::OpenTcpSocket();
    }
    return IsHeld();
}

bool SpareDescriptor::Release() {
    if (m_hSpare == plat::kInvalidSocket) {
        return false;
    }
    plat::CloseSocket(m_hSpare);
    m_hSpare = plat::kInvalidSocket;
    return true;
}
