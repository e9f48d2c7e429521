#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "qorToolsLib/Crc32.h"
#include "qorToolsLib/MD5.h"
#include "support/ExternalCheck.h"
#include "support/TestUtil.h"

using testing_support::RunCommand;

namespace {

// Feeds the bytes in pieces of random size so block boundaries fall
// everywhere inside the 64-byte buffer.
std::string Md5InPieces(const std::string& data, std::mt19937& rng) {
    MD5Context context;
    MD5Init(&context);
    std::uniform_int_distribution<size_t> piece(0, 200);
    for (size_t offset = 0, n; offset < data.size(); offset += n) {
        n = std::min(piece(rng), data.size() - offset);
        MD5Update(&context, data.data() + offset, n);
    }
    uint8_t digest[16];
    MD5Final(digest, &context);
    std::string hex;
    char pair[3];
    for (uint8_t byte : digest) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
}

// Random files around the padding edges (55/56/64 bytes) and a few large
// ones; answers their contents and, in `paths`, their names.
std::vector<std::string> RandomFiles(const hwtest::ScratchDirectory& dir, std::mt19937& rng,
                                     std::string& paths) {
    std::vector<std::string> files;
    for (size_t size : {0, 1, 3, 55, 56, 57, 63, 64, 65, 119, 120, 128, 4096, 65537, 300001}) {
        files.push_back(testing_support::RandomBytes(rng, size));
        std::string path = dir.File("f" + std::to_string(size));
        hwtest::WriteWholeFile(path, files.back());
        paths += " " + path;
    }
    return files;
}

}  // namespace

TEST(Crc32, KnownValuesAndEmptyInput) {
    EXPECT_EQ(0x352441C2u, Crc32("abc"));
    EXPECT_EQ(0x352441C2u, Crc32("abcdef", 3));
    EXPECT_EQ(0u, Crc32(""));
    EXPECT_EQ(0u, Crc32(nullptr));
}

TEST(Crc32, MatchesZlibOnRandomFiles) {
    hwtest::ScratchDirectory dir;
    std::mt19937 rng(1135);
    std::string paths;
    std::vector<std::string> files = RandomFiles(dir, rng, paths);
    std::istringstream zlib(RunCommand(
        "python3 -c 'import sys,zlib\nfor p in sys.argv[1:]: print(zlib.crc32(open(p,\"rb\").read()))'" +
        paths));
    for (const std::string& data : files) {
        uint32_t expected = 0;
        ASSERT_TRUE(zlib >> expected);
        EXPECT_EQ(expected, Crc32(data.data(), data.size())) << "size " << data.size();
    }
}

TEST(MD5, MatchesKnownDigestsAndMd5sumOnRandomFilesFedInPieces) {
    std::mt19937 rng(1321);
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", Md5InPieces("abc", rng));
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", Md5InPieces("", rng));
    hwtest::ScratchDirectory dir;
    std::string paths;
    std::vector<std::string> files = RandomFiles(dir, rng, paths);
    std::istringstream md5sum(RunCommand("md5sum" + paths));
    for (const std::string& data : files) {
        std::string expected, name;
        ASSERT_TRUE(md5sum >> expected >> name);
        EXPECT_EQ(expected, Md5InPieces(data, rng)) << "size " << data.size();
    }
}
