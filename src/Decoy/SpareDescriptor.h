#pragma once
// One descriptor held back for the decoy ports.  A connection that waits on
// a port when the process has no descriptor left could be neither accepted
// nor reset: it would sit in the system's backlog unreported until the port
// closed under it.  Letting the spare go gives the accept the number it
// needs; the spare is taken again once that connection is let go.

#include "platform/Sockets.h"

class SpareDescriptor {
public:
    SpareDescriptor() = default;
    ~SpareDescriptor() { Release(); }
    SpareDescriptor(const SpareDescriptor&) = delete;
    SpareDescriptor& operator=(const SpareDescriptor&) = delete;

    // Holds a descriptor when none is held; whether one is held afterwards.
    bool Take();
    // Lets the held descriptor go, so that the next open gets its number;
    // false when none was held.
    bool Release();
    bool IsHeld() const { return m_hSpare != plat::kInvalidSocket; }

private:
    plat::SocketHandle m_hSpare = plat::kInvalidSocket;
};
