#pragma once
// One received syslog datagram: the sender's address exactly as it came and
// every byte of its text, NUL bytes included.

#include <string>

#include "platform/Sockets.h"

struct SyslogEntry {
    plat::Ipv4Endpoint m_Sender;
    std::string m_strText;
};
