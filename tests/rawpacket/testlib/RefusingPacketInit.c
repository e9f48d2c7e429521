/* A packet library that refuses to initialise while the environment holds
   HW_TEST_PACKET_INIT_REFUSES, as a driver that is not ready does, and
   counts the initialisations it accepted. */

#include <stdint.h>
#include <stdlib.h>

static int g_accepted;

__attribute__((visibility("default"))) uint32_t PacketInit(const uint32_t* block) {
    if (block == 0 || getenv("HW_TEST_PACKET_INIT_REFUSES") != 0) {
        return 5;
    }
    ++g_accepted;
    return 0;
}

__attribute__((visibility("default"))) uint32_t PacketTerm(void) {
    if (g_accepted > 0) {
        --g_accepted;
    }
    return 0;
}

__attribute__((visibility("default"))) int RefusingPacketInitAccepted(void) { return g_accepted; }
