#include "qorToolsLib/CsvRecord.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "qorToolsLib/ExternalCheck.h"

using testing_support::ReadBytes;
using testing_support::RunCommand;
using testing_support::ScratchDir;
using testing_support::WriteBytes;

namespace {

using Rows = std::vector<std::vector<std::string>>;

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct RecordFree {
    void operator()(CsvRecord* r) const { CsvRecordFree(r); }
};
using Record = std::unique_ptr<CsvRecord, RecordFree>;

// The text must outlive the stream, which reads it in place.
File OpenText(std::string& text) {
    FILE* f = ::fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    return File(f);
}

std::vector<std::string> Fields(const CsvRecord* record) {
    std::vector<std::string> fields;
    for (uint32_t i = 0; i < CsvRecordFieldCount(record); ++i) {
        fields.emplace_back(CsvRecordField(record, i));
    }
    return fields;
}

Rows ParseAll(const std::string& path) {
    File f(std::fopen(path.c_str(), "rb"));
    Rows rows;
    while (Record record{CsvRecordParse(f.get())}) {
        rows.push_back(Fields(record.get()));
    }
    return rows;
}

std::string Unhex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return out;
}

// One row per line, fields as hexadecimal separated by spaces; an empty
// field is a lone "-" so it survives the split.
Rows ReadHexRows(const std::string& text) {
    Rows rows;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end - start);
        start = end + 1;
        std::vector<std::string> row;
        size_t p = 0;
        while (p <= line.size()) {
            size_t q = line.find(' ', p);
            if (q == std::string::npos) {
                q = line.size();
            }
            std::string word = line.substr(p, q - p);
            row.push_back(word == "-" ? "" : Unhex(word));
            p = q + 1;
        }
        rows.push_back(row);
    }
    return rows;
}

std::string RandomField(std::mt19937& rng) {
    static const char kAlphabet[] = "ab ,\"\n\r\t;xyz\xe9\x7f";
    std::uniform_int_distribution<size_t> length(0, 12);
    std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
    std::string field(length(rng), ' ');
    for (char& c : field) {
        c = kAlphabet[pick(rng)];
    }
    return field;
}

// Hex dump of rows with python3's csv module, reading or writing.
const char kPythonHex[] =
    "def hexrow(row): return ' '.join(f.encode('latin-1').hex() or '-' for f in row)\n";

}  // namespace

TEST(CsvRecord, QuotedFieldWithDoubledQuotesAndEmptyFieldWithoutText) {
    std::string text = "a,\"b,\"\"c\"\"\",,d\n";
    File f = OpenText(text);
    Record record{CsvRecordParse(f.get())};
    ASSERT_NE(nullptr, record);
    EXPECT_EQ((std::vector<std::string>{"a", "b,\"c\"", "", "d"}), Fields(record.get()));
    EXPECT_STREQ("", CsvRecordField(record.get(), 2));
    EXPECT_EQ(nullptr, CsvRecordFieldPointer(record.get(), 2));
    EXPECT_EQ(nullptr, CsvRecordFieldPointer(record.get(), 4));
    EXPECT_STREQ("", CsvRecordField(record.get(), 99));
    EXPECT_EQ(1u, CsvRecordLineCount(record.get()));
    EXPECT_EQ(nullptr, CsvRecordParse(f.get()));
}

TEST(CsvRecord, NewlineInsideQuotesIsCountedAndKept) {
    std::string text = "\"one\ntwo\",x\nnext\n";
    File f = OpenText(text);
    Record first{CsvRecordParse(f.get())};
    ASSERT_NE(nullptr, first);
    EXPECT_EQ((std::vector<std::string>{"one\ntwo", "x"}), Fields(first.get()));
    EXPECT_EQ(2u, CsvRecordLineCount(first.get()));
    Record second{CsvRecordParse(f.get())};
    ASSERT_NE(nullptr, second);
    EXPECT_EQ((std::vector<std::string>{"next"}), Fields(second.get()));
}

TEST(CsvRecord, TextAfterClosingQuoteIsDroppedAndUnclosedQuoteEndsAtEof) {
    std::string text = "\"ab\"junk,c\r\n\"open,to\nthe end";
    File f = OpenText(text);
    Record first{CsvRecordParse(f.get())};
    ASSERT_NE(nullptr, first);
    EXPECT_EQ((std::vector<std::string>{"ab", "c\r"}), Fields(first.get()));
    Record second{CsvRecordParse(f.get())};
    ASSERT_NE(nullptr, second);
    EXPECT_EQ((std::vector<std::string>{"open,to\nthe end"}), Fields(second.get()));
    EXPECT_EQ(nullptr, CsvRecordParse(f.get()));
}

TEST(CsvRecord, NullStreamAndEmptyLine) {
    EXPECT_EQ(nullptr, CsvRecordParse(nullptr));
    std::string text = "\n";
    File f = OpenText(text);
    Record record{CsvRecordParse(f.get())};
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(1u, CsvRecordFieldCount(record.get()));
    EXPECT_EQ(nullptr, CsvRecordFieldPointer(record.get(), 0));
}

TEST(CsvRecord, LongRecordsGrowBothBuffers) {
    std::string line;
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        expected.push_back(std::string(static_cast<size_t>(i % 7) + 1, static_cast<char>('a' + i % 26)));
        line += (i ? "," : "") + expected.back();
    }
    File f = OpenText(line);
    Record record{CsvRecordParse(f.get())};
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(expected, Fields(record.get()));
    Record copy{CsvRecordCopy(record.get())};
    record.reset();
    EXPECT_EQ(expected, Fields(copy.get()));
}

TEST(CsvWrite, QuotesOnlyWhatNeedsQuoting) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* f = ::open_memstream(&buffer, &size);
    CsvWriteField(f, "a\"b");
    std::fputc(',', f);
    CsvWriteField(f, "");
    std::fputc(',', f);
    CsvWriteField(f, nullptr);
    std::fputc(',', f);
    CsvWriteField(f, "plain");
    std::fputc(',', f);
    CsvWriteField(f, "x\ry");
    CsvWriteLineEnd(f);
    std::fclose(f);
    EXPECT_EQ("\"a\"\"b\",\"\",\"\",plain,\"x\ry\"\n", std::string(buffer, size));
    std::free(buffer);
}

TEST(CsvRecord, ReadsWhatPythonCsvWrites) {
    ScratchDir dir;
    std::string script =
        std::string("import csv,random,sys\n") + kPythonHex +
        "rng = random.Random(135)\n"
        "alphabet = 'ab ,\"\\n\\r\\t;xyz\\xe9'\n"
        "rows = [[''.join(rng.choice(alphabet) for _ in range(rng.randint(0, 12)))\n"
        "         for _ in range(rng.randint(1, 8))] for _ in range(400)]\n"
        "with open(sys.argv[1], 'w', newline='', encoding='latin-1') as f:\n"
        "    csv.writer(f, lineterminator='\\n').writerows(rows)\n"
        "with open(sys.argv[2], 'w') as f:\n"
        "    f.writelines(hexrow(r) + '\\n' for r in rows)\n";
    WriteBytes(dir.File("write.py"), script);
    RunCommand("python3 " + dir.File("write.py") + " " + dir.File("data.csv") + " " +
               dir.File("expected.txt"));
    Rows expected = ReadHexRows(ReadBytes(dir.File("expected.txt")));
    ASSERT_EQ(400u, expected.size());
    EXPECT_EQ(expected, ParseAll(dir.File("data.csv")));
}

TEST(CsvWrite, PythonCsvReadsWhatTheWriterWrites) {
    ScratchDir dir;
    std::mt19937 rng(1135);
    Rows rows;
    std::string path = dir.File("data.csv");
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    std::uniform_int_distribution<int> count(1, 8);
    for (int r = 0; r < 400; ++r) {
        std::vector<std::string> row(static_cast<size_t>(count(rng)));
        for (size_t i = 0; i < row.size(); ++i) {
            row[i] = RandomField(rng);
            if (i > 0) {
                std::fputc(',', f);
            }
            CsvWriteField(f, row[i].c_str());
        }
        CsvWriteLineEnd(f);
        rows.push_back(row);
    }
    std::fclose(f);

    // Records read back and written whole must come out the same.
    Rows reread = ParseAll(path);
    ASSERT_EQ(rows, reread);
    std::string copyPath = dir.File("copy.csv");
    FILE* in = std::fopen(path.c_str(), "rb");
    FILE* out = std::fopen(copyPath.c_str(), "wb");
    while (Record record{CsvRecordParse(in)}) {
        CsvWriteRecord(out, record.get());
    }
    std::fclose(in);
    std::fclose(out);
    EXPECT_EQ(ReadBytes(path), ReadBytes(copyPath));

    std::string script = std::string("import csv,sys\n") + kPythonHex +
                         "with open(sys.argv[1], newline='', encoding='latin-1') as f:\n"
                         "    for row in csv.reader(f):\n"
                         "        print(hexrow(row))\n";
    WriteBytes(dir.File("read.py"), script);
    Rows parsed = ReadHexRows(RunCommand("python3 " + dir.File("read.py") + " " + path));
    EXPECT_EQ(rows, parsed);
}
