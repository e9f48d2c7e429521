#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "qorToolsLib/ExternalCheck.h"
#include "qorToolsLib/Crc32.h"
#include "qorToolsLib/MD5.h"

using testing_support::RandomBytes;
using testing_support::RunCommand;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

namespace {

std::string Hex(const uint8_t* bytes, size_t length) {
    std::string out;
    char pair[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        out += pair;
    }
    return out;
}

// Feeds the bytes in pieces of random size so block boundaries fall
// everywhere inside the 64-byte buffer.
std::string Md5InPieces(const std::string& data, std::mt19937& rng) {
    MD5Context context;
    MD5Init(&context);
    std::uniform_int_distribution<size_t> piece(0, 200);
    size_t offset = 0;
    while (offset < data.size()) {
        size_t n = std::min(piece(rng), data.size() - offset);
        MD5Update(&context, data.data() + offset, n);
        offset += n;
    }
    uint8_t digest[16];
    MD5Final(digest, &context);
    return Hex(digest, sizeof digest);
}

// Sizes around the padding edges (55/56/64 bytes) and a few large ones.
const size_t kSizes[] = {0, 1, 3, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000, 4096, 65537, 300001};

}  // namespace

TEST(Crc32, KnownValuesAndEmptyInput) {
    EXPECT_EQ(0x352441C2u, Crc32("abc"));
    EXPECT_EQ(0x352441C2u, Crc32("abcdef", 3));
    EXPECT_EQ(0u, Crc32(""));
    EXPECT_EQ(0u, Crc32(nullptr));
    EXPECT_EQ(0u, Crc32("abc", 0));
}

TEST(Crc32, MatchesZlibOnRandomFiles) {
    ScratchDir dir;
    std::mt19937 rng(1135);
    std::vector<uint32_t> ours;
    std::string paths;
    for (size_t size : kSizes) {
        std::string data = RandomBytes(rng, size);
        std::string path = dir.File("crc" + std::to_string(size));
        WriteBytes(path, data);
        paths += " " + path;
        ours.push_back(Crc32(data.data(), data.size()));
    }
    std::istringstream zlib(RunCommand(
        "python3 -c 'import sys,zlib\nfor p in sys.argv[1:]: print(zlib.crc32(open(p,\"rb\").read()))'" +
        paths));
    for (size_t i = 0; i < ours.size(); ++i) {
        uint32_t expected = 0;
        ASSERT_TRUE(zlib >> expected);
        EXPECT_EQ(expected, ours[i]) << "size " << kSizes[i];
    }
}

TEST(MD5, KnownDigests) {
    std::mt19937 rng(1);
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", Md5InPieces("abc", rng));
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", Md5InPieces("", rng));
    EXPECT_EQ("57edf4a22be3c955ac49da2e2107b67a",
              Md5InPieces("12345678901234567890123456789012345678901234567890123456789012345678901234567890",
                          rng));
}

TEST(MD5, MatchesMd5sumOnRandomFilesFedInPieces) {
    ScratchDir dir;
    std::mt19937 rng(1321);
    std::vector<std::string> ours;
    std::string paths;
    for (size_t size : kSizes) {
        std::string data = RandomBytes(rng, size);
        std::string path = dir.File("md5" + std::to_string(size));
        WriteBytes(path, data);
        paths += " " + path;
        ours.push_back(Md5InPieces(data, rng));
    }
    std::istringstream md5sum(RunCommand("md5sum" + paths));
    for (size_t i = 0; i < ours.size(); ++i) {
        std::string expected, name;
        ASSERT_TRUE(md5sum >> expected >> name);
        EXPECT_EQ(expected, ours[i]) << "size " << kSizes[i];
    }
}
