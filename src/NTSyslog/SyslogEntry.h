#pragma once
// One received syslog datagram: the sender's address exactly as it came and
// the text up to its first NUL.

#include <string>

#include "platform/Sockets.h"

struct SyslogEntry {
    plat::Ipv4Endpoint m_Sender;
    std::string m_strText;
};
