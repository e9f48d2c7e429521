#include "qorCSFLib/QgGenericEvent.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FakeHost.h"
#include "qorCSFLib/CSFAlertMessage.h"
#include "qorToolsLib/HostByteBuffer.h"

namespace {

std::vector<uint8_t> MessageBytes(const CSFAlertMessage& message) {
    return std::vector<uint8_t>(message.GetData(), message.GetData() + message.GetLength());
}

std::vector<uint8_t> Image(QgGenericEvent& event) {
    HostHeapAllocator allocator;
    HostByteBuffer buffer{&allocator, nullptr, 0};
    EXPECT_EQ(event.WriteBytes(&buffer), 0u);
    std::vector<uint8_t> image(buffer.GetData(), buffer.GetData() + buffer.GetLength());
    HostHeapAllocator::Free(buffer.m_pbyBlock);
    return image;
}

uint32_t Load(QgGenericEvent& event, const std::vector<uint8_t>& image) {
    uint32_t dwLength = static_cast<uint32_t>(image.size());
    return event.LoadBytes(image.data(), &dwLength);
}

QgGenericEvent FilledEvent() {
    CSFAlertParameter parameters[3] = {};
    std::strcpy(parameters[0].m_szName, "User");
    std::strcpy(parameters[0].m_szValue, "alice");
    std::strcpy(parameters[1].m_szName, "Host");
    std::strcpy(parameters[1].m_szValue, "web1");
    QgGenericEvent event("Port Scan", 0x5, 2, parameters);
    event.SetExtraText(5, "five");
    event.SetExtraText(7, "seven");
    event.SetPortName("http");
    event.SetSourcePort(4000);
    event.SetDestinationPort(80);
    event.SetSource(0x0100007Fu, "127.0.0.1");
    event.SetDestination(0x0200000Au, "10.0.0.2");
    const uint8_t block[3] = {1, 2, 3};
    event.SetDataBlock(block, sizeof block);
    return event;
}

}  // namespace

TEST(QgGenericEvent, EmptyEventGivesThe55ByteMessage) {
    QgGenericEvent event;
    CSFAlertMessage message;
    ASSERT_EQ(event.WriteMessage(&message), 0u);
    std::vector<uint8_t> bytes = MessageBytes(message);
    ASSERT_EQ(bytes.size(), 55u);
    const uint8_t header[12] = {0, 0, 0, 0xFA, 0, 0, 0, 5, 0, 0, 0, 0x2B};
    EXPECT_EQ(std::memcmp(bytes.data(), header, sizeof header), 0);
    EXPECT_EQ(message.GetPayloadLength(), 43u);
}

TEST(QgGenericEvent, MessageCarriesNumbersBigEndianAndPairsAfterTheirCount) {
    QgGenericEvent event = FilledEvent();
    CSFAlertMessage message;
    ASSERT_EQ(event.WriteMessage(&message), 0u);
    std::vector<uint8_t> bytes = MessageBytes(message);
    std::vector<uint8_t> expected = {0, 0, 0, 2};
    const uint32_t dwNumber = event.GetEventNumber();
    for (int shift : {24, 16, 8, 0}) {
        expected.push_back(static_cast<uint8_t>(dwNumber >> shift));
    }
    for (const char* pszText : {"Port Scan", "", "", "", "", "five", "", "seven", "http", "127.0.0.1",
                                "10.0.0.2"}) {
        expected.insert(expected.end(), pszText, pszText + std::strlen(pszText) + 1);
    }
    ASSERT_GE(bytes.size(), 12 + expected.size() + 24);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 12, bytes.begin() + 12 + expected.size()), expected);
    const uint8_t* pNumbers = bytes.data() + 12 + expected.size();
    const uint8_t numbers[] = {0, 0, 0, 253, 0, 0, 0x0F, 0xA0, 0, 0, 0, 80};
    EXPECT_EQ(std::memcmp(pNumbers, numbers, sizeof numbers), 0);
    const uint8_t* pCount = pNumbers + 20;
    EXPECT_EQ(pCount[3], 2);
    std::string pairs(reinterpret_cast<const char*>(pCount + 4), bytes.data() + bytes.size() - (pCount + 4));
    EXPECT_EQ(pairs, std::string("User\0alice\0Host\0web1\0", 21));
}

TEST(QgGenericEvent, ImageLoadsBackWithTheTimeTextCopiedAsText) {
    QgGenericEvent source = FilledEvent();
    std::vector<uint8_t> image = Image(source);
    QgGenericEvent loaded;
    ASSERT_EQ(Load(loaded, image), 0u);
    EXPECT_EQ(loaded.GetTimeText(), source.GetTimeText());
    EXPECT_EQ(loaded.GetTime(), source.GetTime());
    EXPECT_EQ(loaded.GetPairs().size(), 2u);
    EXPECT_EQ(Image(loaded), image);
}

TEST(QgGenericEvent, EmptyDataBlockWritesNoTerminatorAndShortBlockOne) {
    QgGenericEvent event;
    std::vector<uint8_t> empty = Image(event);
    // 16 bytes of numbers, the empty time text, a zero length, 11 empty
    // texts, 20 bytes of numbers and the pair count.
    EXPECT_EQ(empty.size(), 16u + 1 + 2 + 11 + 20 + 4);
    const uint8_t block[3] = {7, 8, 9};
    event.SetDataBlock(block, 3);
    std::vector<uint8_t> withBlock = Image(event);
    ASSERT_EQ(withBlock.size(), empty.size() + 4);
    EXPECT_EQ(withBlock[17], 3);
    EXPECT_EQ(withBlock[21], 9);
    EXPECT_EQ(withBlock[22], 0);
}

TEST(QgGenericEvent, OverlongTextIsCutTo255AndLaterFieldsStillRead) {
    QgGenericEvent event;
    event.SetExtraText(1, std::string(300, 'x'));
    event.SetPortName("after");
    event.SetDestinationPort(443);
    QgGenericEvent loaded;
    ASSERT_EQ(Load(loaded, Image(event)), 0u);
    EXPECT_EQ(loaded.GetExtraText(1), std::string(255, 'x'));
    EXPECT_EQ(loaded.GetPortName(), "after");
    EXPECT_EQ(loaded.GetDestinationPort(), 443u);
}

TEST(QgGenericEvent, TruncatedImageIsRejectedAndLeavesTheEventAsItWas) {
    QgGenericEvent source = FilledEvent();
    std::vector<uint8_t> image = Image(source);
    QgGenericEvent target;
    target.SetPortName("kept");
    for (size_t n = 0; n < image.size(); ++n) {
        std::vector<uint8_t> prefix(image.begin(), image.begin() + static_cast<long>(n));
        EXPECT_NE(Load(target, prefix), 0u) << n;
    }
    EXPECT_EQ(target.GetPortName(), "kept");
    EXPECT_TRUE(target.GetPairs().empty());
    uint32_t dwLength = 4;
    EXPECT_NE(target.LoadBytes(nullptr, &dwLength), 0u);
    EXPECT_NE(target.LoadBytes(image.data(), nullptr), 0u);
}

TEST(QgGenericEvent, PairCountBeyondTheImageIsRejected) {
    QgGenericEvent source;
    std::vector<uint8_t> image = Image(source);
    // The count is the last word: claim two billion pairs.
    image[image.size() - 4] = 0x7F;
    QgGenericEvent target;
    EXPECT_NE(Load(target, image), 0u);
    // A negative count reads as none.
    image[image.size() - 4] = 0xFF;
    EXPECT_EQ(Load(target, image), 0u);
    EXPECT_TRUE(target.GetPairs().empty());
}

TEST(QgGenericEvent, ParametersEndAtTheFirstEmptyNameAndAreReadWithinTheirFields) {
    CSFAlertParameter none[1] = {};
    std::strcpy(none[0].m_szValue, "ignored");
    QgGenericEvent noPairs("a", 0, 1, none);
    EXPECT_TRUE(noPairs.GetPairs().empty());

    // Fields filled to the brim, without their terminators.
    CSFAlertParameter full[2] = {};
    std::memset(full[0].m_szName, 'n', sizeof full[0].m_szName);
    std::memset(full[0].m_szValue, 'v', sizeof full[0].m_szValue);
    QgGenericEvent bounded("a", 0, 1, full);
    ASSERT_EQ(bounded.GetPairs().size(), 1u);
    EXPECT_EQ(bounded.GetPairs()[0].m_strName, std::string(31, 'n'));
    EXPECT_EQ(bounded.GetPairs()[0].m_strValue, std::string(1023, 'v'));
}

TEST(QgGenericEvent, EventsAreNumberedInTurnAndCopiesAreDeep) {
    QgGenericEvent source = FilledEvent();
    QgGenericEvent next("b", 0, 1, nullptr);
    EXPECT_EQ(next.GetEventNumber(), source.GetEventNumber() + 1);
    AlertEventPtr clone(source.Clone());
    auto* pClone = static_cast<QgGenericEvent*>(clone.get());
    source.AddPair("late", "x");
    EXPECT_EQ(pClone->GetPairs().size(), 2u);
    EXPECT_EQ(pClone->GetEventNumber(), source.GetEventNumber());
    QgGenericEvent& self = source;
    source = self;
    EXPECT_EQ(source.GetPairs().size(), 3u);
}
