// The other process of the shared-memory store tests: it maps a store the
// test created, prints one section, and answers in a reply section with
// every pair it read (labels prefixed "echo:") and its process id.
//
//   hw_shm_store_peer <segment name> <section id> <reply section id>
//
// Exit codes: 0 done, 2 usage, 3 open failed, 4 section unreadable,
// 5 reply not written.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qorToolsLib/SharedMemoryStore.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s <segment> <section> <reply section>\n", argv[0]);
        return 2;
    }
    const auto section = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
    const auto reply = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
    SharedMemoryStore store(argv[1]);
    if (!store.Open(false, 0x100040)) {
        return 3;
    }
    std::vector<std::string> labels, values;
    if (!store.GetSection(section, labels, values)) {
        std::printf("damage %u\n", store.DamageCount());
        return 4;
    }
    for (size_t i = 0; i < labels.size(); ++i) {
        std::printf("%s=%s\n", labels[i].c_str(), values[i].c_str());
    }
    if (!store.InsertId(reply)) {
        return 5;
    }
    for (size_t i = 0; i < labels.size(); ++i) {
        if (!store.SetSection(reply, ("echo:" + labels[i]).c_str(), values[i].c_str())) {
            return 5;
        }
    }
    return store.SetSection(reply, "pid", std::to_string(::getpid()).c_str()) ? 0 : 5;
}
