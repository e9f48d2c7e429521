#include "rawpacket/AdapterInfo.h"

#include <cstdio>

#include "rawpacket/DriverKinds.h"

namespace rp {

void AdapterInfo::setTitle(const std::string& description, const char* version) {
    const DriverKinds& kinds = DriverKinds::instance();
    const std::string& el90x = kinds.member(DriverKinds::kEl90xDevice);
    size_t at = m_strName.find(el90x);
    if (at != std::string::npos) {
        const char* rest = m_strName.c_str() + at + el90x.size();
        if (*rest == 't') {
            m_strTitle = kinds.member(DriverKinds::kEl90xGatewayTitle);
        } else {
            int first = 0;
            char separator = 0;
            int second = 0;
            bool pair = std::sscanf(rest, "%d%c%d", &first, &separator, &second) == 3 && first > 0 &&
                        second >= 1 && second > first;
            m_strTitle = kinds.member(pair ? DriverKinds::kEl90xFullDuplexTitle : DriverKinds::kEl90xTitle);
        }
    } else if (m_strName.find(kinds.member(DriverKinds::kE1000Device)) != std::string::npos) {
        m_strTitle = kinds.member(DriverKinds::kE1000Title);
    } else if (m_strName.find(kinds.member(DriverKinds::kSk98Device)) != std::string::npos) {
        m_strTitle = kinds.member(DriverKinds::kSk98Title);
    } else {
        m_strTitle = description;
    }
    if (version != nullptr) {
        m_strTitle += " (v";
        m_strTitle += version;
        m_strTitle += ")";
    }
}

std::ostream& operator<<(std::ostream& out, const AdapterInfo& info) {
    return out << "name=" << info.m_strName << ", title=" << info.m_strTitle << ", opened = " << (info.m_bOpened ? 1 : 0)
               << ", running=" << (info.m_bStarted ? 1 : 0) << ", frameLenMax=" << info.m_dwFrameLenMax
               << ", medium=" << info.m_dwMedium << ", maddr=" << info.m_strMacAddress;
}

}  // namespace rp
