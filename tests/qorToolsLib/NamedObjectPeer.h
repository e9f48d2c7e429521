#pragma once
// Runs the peer program (peer/NamedObjectPeer.cpp) as a second process.

#include <string>
#include <vector>

#include <unistd.h>

#include "support/ChildProcess.h"

namespace hwtest {

// A name no other test process uses at the same time.
inline std::string UniqueObjectName(const std::string& base) {
    return "test." + base + "." + std::to_string(getpid());
}

inline bool StartPeer(ChildProcess& peer, const std::vector<std::string>& arguments,
                      const std::string& outputFile = "", bool connectStdin = false) {
    std::vector<std::string> argv{HW_NAMED_OBJECT_PEER};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return peer.Start(argv, outputFile, {}, connectStdin);
}

// Runs the peer to its end; its exit code, or -1 when it did not end in time.
inline int RunPeer(const std::vector<std::string>& arguments) {
    ChildProcess peer;
    int exitCode = -1;
    if (!StartPeer(peer, arguments) || !peer.Wait(60, exitCode)) {
        return -1;
    }
    return exitCode;
}

}  // namespace hwtest
