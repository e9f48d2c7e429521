#include "platform/PortHolder.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

#include "platform/Files.h"

namespace plat {

namespace {

// At most this many holders are named.
constexpr size_t kMaxHolders = 4;

// The socket inodes bound to the port in one of /proc/net/{tcp,udp}[6]:
// each line after the header gives "slot: local-address:port remote ...
// inode" with the port in hexadecimal.
void CollectInodes(const char* pszTable, uint16_t port, std::set<unsigned long>& inodes) {
    std::string table;
    ReadKernelFile(pszTable, table, 64u << 20);
    std::istringstream in(table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
        unsigned long inode = 0;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
              timeout >> inode)) {
            continue;
        }
        const size_t colon = local.rfind(':');
        if (colon == std::string::npos) {
            continue;
        }
        if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port && inode != 0) {
            inodes.insert(inode);
        }
    }
}

std::string ProcessName(const std::string& pid) {
    std::string text;
    ReadKernelFile("/proc/" + pid + "/comm", text);
    std::istringstream in(text);
    std::string name;
    std::getline(in, name);
    return name.empty() ? "?" : name;
}

// Whether one of the process's descriptors is one of the sockets.
bool HoldsSocket(const std::string& pid, const std::set<unsigned long>& inodes) {
    const std::string folder = "/proc/" + pid + "/fd";
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) {
        return false;
    }
    bool holds = false;
    char target[64];
    while (dirent* entry = ::readdir(dir)) {
        const std::string link = folder + "/" + entry->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            continue;
        }
        target[n] = '\0';
        unsigned long inode = 0;
        if (std::sscanf(target, "socket:[%lu]", &inode) == 1 && inodes.count(inode) != 0) {
            holds = true;
            break;
        }
    }
    ::closedir(dir);
    return holds;
}

}  // namespace

std::string DescribePortHolders(PortProtocol protocol, uint16_t port) {
    std::set<unsigned long> inodes;
    const bool tcp = protocol == PortProtocol::kTcp;
    CollectInodes(tcp ? "/proc/net/tcp" : "/proc/net/udp", port, inodes);
    CollectInodes(tcp ? "/proc/net/tcp6" : "/proc/net/udp6", port, inodes);
    if (inodes.empty()) {
        return std::string();
    }
    std::string holders;
    size_t count = 0;
    const std::string self = std::to_string(::getpid());
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return std::string();
    }
    while (dirent* entry = ::readdir(proc)) {
        const std::string pid = entry->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos ||
            !HoldsSocket(pid, inodes)) {
            continue;
        }
        if (count++ == kMaxHolders) {
            holders += ", ...";
            break;
        }
        holders += (holders.empty() ? "" : ", ") + ProcessName(pid) + " (pid " + pid +
                   (pid == self ? ", this process" : "") + ")";
    }
    ::closedir(proc);
    return holders;
}

}  // namespace plat
