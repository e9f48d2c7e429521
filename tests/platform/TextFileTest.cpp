#include "platform/TextFile.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/LastError.h"

namespace fs = std::filesystem;

namespace {

std::string ReadAll(FILE* file) {
    std::string text;
    int c;
    while ((c = std::fgetc(file)) != EOF) {
        text += static_cast<char>(c);
    }
    return text;
}

}  // namespace

TEST(TextFile, CarriageReturnBeforeLineFeedIsDroppedOthersKept) {
    fs::path path = fs::temp_directory_path() / ("hw-textfile-" + std::to_string(::getpid()));
    std::string raw = "a\r\nb\rc\r\r\nd\n\r";
    // Long enough that CR LF pairs straddle the reader's internal chunks.
    for (int i = 0; i < 3000; ++i) {
        raw += "xy\r\n";
    }
    std::ofstream(path, std::ios::binary) << raw;
    FILE* file = plat::OpenTextFileForRead(path.c_str());
    ASSERT_NE(nullptr, file);
    std::string expected = "a\nb\rc\r\nd\n\r";
    for (int i = 0; i < 3000; ++i) {
        expected += "xy\n";
    }
    EXPECT_EQ(expected, ReadAll(file));
    std::fclose(file);
    fs::remove(path);
}

TEST(TextFile, MissingFileSetsTheLastError) {
    EXPECT_EQ(nullptr, plat::OpenTextFileForRead("/nonexistent/hw/file.csv"));
    EXPECT_NE(0u, plat::GetLastError());
    EXPECT_EQ(nullptr, plat::OpenTextFileForRead(nullptr));
}
