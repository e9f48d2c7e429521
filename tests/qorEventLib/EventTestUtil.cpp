#include "qorEventLib/EventTestUtil.h"

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/TestUtil.h"

namespace evtest {

void FillHeader(CQorEvent& event, uint32_t priority) {
    const AlertValue values[CQorEvent::kHeaderCount] = {
        AlertValue::Uint32(85),         AlertValue::Uint8(1),
        AlertValue::String("PortScan"), AlertValue::Date(1700000000),
        AlertValue::Integer(-3600),     AlertValue::Uint32(500000000),
        AlertValue::Uint32(0),          AlertValue::Blob(nullptr, 16),
        AlertValue::String("192.0.2.7"), AlertValue::String("sensor-1"),
        AlertValue::Uint32(3),          AlertValue::Uint32(101),
        AlertValue::Uint32(priority),   AlertValue::Uint32(0),
    };
    for (uint32_t i = 0; i < CQorEvent::kHeaderCount; ++i) {
        ASSERT_EQ(QOR_S_OK, event.SetHeaderValue(i, values[i])) << i;
    }
}

Bytes BytesOf(const qorStreamBufferOwner& owner) {
    const uint8_t* data = owner.GetData();
    return data == nullptr ? Bytes() : Bytes(data, data + owner.GetLength());
}

Bytes Serialized(CQorEvent& event) {
    qorStreamBufferOwner owner(true);
    EXPECT_EQ(QOR_S_OK, event.Serialize(nullptr, owner));
    return BytesOf(owner);
}

int RunTool(const std::vector<std::string>& arguments, std::string& output) {
    hwtest::ScratchDirectory scratch;
    std::string outFile = scratch.File("out.txt");
    hwtest::ChildProcess child;
    if (!child.Start(arguments, outFile)) {
        return -1;
    }
    int code = -1;
    if (!child.Wait(60.0, code)) {
        return -1;
    }
    output = hwtest::ReadWholeFile(outFile);
    return code;
}

std::string Md5sumOf(const Bytes& bytes) {
    hwtest::ScratchDirectory scratch;
    std::string file = scratch.File("body.bin");
    hwtest::WriteWholeFile(file, std::string(bytes.begin(), bytes.end()));
    std::string output;
    EXPECT_EQ(0, RunTool({"md5sum", file}, output));
    return output.substr(0, 32);
}

std::string Hex(const uint8_t* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0x0F];
    }
    return text;
}

}  // namespace evtest
