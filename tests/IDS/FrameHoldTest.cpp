// What an adapter engine keeps of its frames through a reload: every frame
// whole, oldest first, up to a bound of memory, what the bound turns away
// counted, and the memory let go as the frames are taken.

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "IDS/FrameHold.h"

namespace {

// A record of `length` bytes, each the frame's number plus its offset.
rp::PacketRecord Record(uint32_t n, std::vector<uint8_t>& bytes, uint32_t length) {
    bytes.resize(length);
    for (uint32_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(n + i);
    }
    rp::PacketRecord packet{};
    packet.m_dwWireLength = length + 4;
    packet.m_dwCapturedLength = length;
    packet.m_dwSeconds = 1700000000u + n;
    packet.m_dwMicroseconds = n % 1000000;
    packet.m_pData = bytes.data();
    packet.m_dwSequence = n;
    packet.m_dwMedium = 0;
    packet.m_dwDllFlags = n & 1u;
    packet.m_dwFlagWord = (n & 1u) | 0x400u;
    return packet;
}

bool SameFrame(uint32_t n, uint32_t length, const rp::PacketRecord& packet) {
    if (packet.m_dwCapturedLength != length || packet.m_dwWireLength != length + 4 ||
        packet.m_dwSeconds != 1700000000u + n || packet.m_dwMicroseconds != n % 1000000 ||
        packet.m_dwSequence != n || packet.m_dwDllFlags != (n & 1u) || packet.m_dwFlagWord != ((n & 1u) | 0x400u)) {
        return false;
    }
    for (uint32_t i = 0; i < length; ++i) {
        if (packet.m_pData[i] != static_cast<uint8_t>(n + i)) {
            return false;
        }
    }
    return true;
}

// Frames of many lengths, across many blocks, come back whole and in order,
// and the hold fills again once emptied.
TEST(FrameHoldTest, FramesComeBackWholeOldestFirstAcrossBlocks) {
    FrameHold hold;
    std::vector<uint8_t> bytes;
    const auto lengthOf = [](uint32_t n) { return 60 + (n * 37) % 9000; };
    for (int nRound = 0; nRound < 2; ++nRound) {
        SCOPED_TRACE(nRound);
        constexpr uint32_t kFrames = 5000;
        for (uint32_t n = 1; n <= kFrames; ++n) {
            ASSERT_TRUE(hold.Add(Record(n, bytes, lengthOf(n)))) << n;
        }
        EXPECT_EQ(kFrames, hold.Count());
        EXPECT_GT(hold.BytesInUse(), 10 * FrameHold::kBlockBytes);
        rp::PacketRecord packet{};
        for (uint32_t n = 1; n <= kFrames; ++n) {
            ASSERT_TRUE(hold.Next(packet)) << n;
            ASSERT_TRUE(SameFrame(n, lengthOf(n), packet)) << n;
        }
        EXPECT_FALSE(hold.Next(packet));
        EXPECT_TRUE(hold.Empty());
        EXPECT_LE(hold.BytesInUse(), FrameHold::kBlockBytes) << "emptied, it keeps one block at most";
        EXPECT_EQ(0u, hold.TakeLeftOut());
    }
}

// At its bound the hold turns frames away and counts them; what it kept
// stays whole, and room comes back as frames are taken out.
TEST(FrameHoldTest, AtItsBoundFramesAreLeftOutAndCountedUntilRoomComesBack) {
    FrameHold hold(2 * FrameHold::kBlockBytes);
    std::vector<uint8_t> bytes;
    uint32_t dwKept = 0;
    for (uint32_t n = 1; n <= 3000; ++n) {
        dwKept += hold.Add(Record(n, bytes, 1500)) ? 1 : 0;
    }
    EXPECT_EQ(dwKept, hold.Count());
    EXPECT_GT(dwKept, 1300u);
    EXPECT_LT(dwKept, 1400u) << "two blocks of 1 MiB hold some 1,360 frames of 1,500 bytes";
    EXPECT_EQ(2 * FrameHold::kBlockBytes, hold.BytesInUse());
    EXPECT_EQ(3000u - dwKept, hold.TakeLeftOut());
    EXPECT_EQ(0u, hold.TakeLeftOut()) << "counted once";
    // The first block's frames taken out, their block takes frames again.
    rp::PacketRecord packet{};
    uint32_t n = 1;
    for (; n <= dwKept / 2 + 1; ++n) {
        ASSERT_TRUE(hold.Next(packet));
        ASSERT_TRUE(SameFrame(n, 1500, packet)) << n;
    }
    EXPECT_TRUE(hold.Add(Record(9000, bytes, 1500)));
    EXPECT_EQ(0u, hold.TakeLeftOut());
    for (; n <= dwKept; ++n) {
        ASSERT_TRUE(hold.Next(packet));
        ASSERT_TRUE(SameFrame(n, 1500, packet)) << n;
    }
    ASSERT_TRUE(hold.Next(packet));
    EXPECT_TRUE(SameFrame(9000, 1500, packet));
    EXPECT_EQ(0u, hold.Clear());
}

TEST(FrameHoldTest, ClearLetsEveryFrameGoAndSaysHowMany) {
    FrameHold hold;
    std::vector<uint8_t> bytes;
    for (uint32_t n = 1; n <= 2000; ++n) {
        hold.Add(Record(n, bytes, 1000));
    }
    EXPECT_EQ(2000u, hold.Clear());
    EXPECT_TRUE(hold.Empty());
    EXPECT_LE(hold.BytesInUse(), FrameHold::kBlockBytes);
    rp::PacketRecord packet{};
    EXPECT_FALSE(hold.Next(packet));
    ASSERT_TRUE(hold.Add(Record(7, bytes, 60)));
    ASSERT_TRUE(hold.Next(packet));
    EXPECT_TRUE(SameFrame(7, 60, packet));
}

}  // namespace

// The keeper adds while the capture thread takes: every frame comes back
// once, whole and in order, though the hold fills and empties many times
// over and its blocks pass from the taker back to the keeper.
TEST(FrameHoldTest, OneThreadAddsWhileAnotherTakesAndEveryFrameComesBackWholeInOrder) {
    FrameHold hold(4 * FrameHold::kBlockBytes);
    constexpr uint32_t kFrames = 200000;
    const auto lengthOf = [](uint32_t n) { return 60 + (n * 131) % 1455; };
    std::thread keeper([&] {
        std::vector<uint8_t> bytes;
        for (uint32_t n = 1; n <= kFrames; ++n) {
            // At the bound the keeper waits for room: no frame is left out.
            while (!hold.Add(Record(n, bytes, lengthOf(n)))) {
                std::this_thread::yield();
            }
        }
    });
    rp::PacketRecord packet{};
    uint32_t dwNext = 1;
    bool bWhole = true;
    while (dwNext <= kFrames && bWhole) {
        if (!hold.Next(packet)) {
            std::this_thread::yield();
            continue;
        }
        bWhole = SameFrame(dwNext, lengthOf(dwNext), packet);
        ++dwNext;
    }
    keeper.join();
    EXPECT_TRUE(bWhole) << "frame " << dwNext - 1;
    EXPECT_EQ(kFrames + 1, dwNext);
    EXPECT_FALSE(hold.Next(packet));
    EXPECT_LE(hold.BytesInUse(), FrameHold::kBlockBytes);
}
