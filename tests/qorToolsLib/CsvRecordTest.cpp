#include "qorToolsLib/CsvRecord.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/ExternalCheck.h"
#include "support/TestUtil.h"

using testing_support::RunCommand;
using Fields = std::vector<std::string>;

namespace {

struct RecordFree {
    void operator()(CsvRecord* r) const { CsvRecordFree(r); }
};
using Record = std::unique_ptr<CsvRecord, RecordFree>;

// Reads records from a text in place; the text must outlive the reader.
class TextReader {
public:
    explicit TextReader(std::string& text) : m_file(::fmemopen(text.data(), text.size(), "r")) {}
    ~TextReader() { std::fclose(m_file); }
    Record Next() { return Record(CsvRecordParse(m_file)); }

private:
    FILE* m_file;
};

Fields FieldsOf(const CsvRecord* record) {
    Fields fields;
    for (uint32_t i = 0; i < CsvRecordFieldCount(record); ++i) {
        fields.emplace_back(CsvRecordField(record, i));
    }
    return fields;
}

// One record per line, its fields in hexadecimal separated by spaces ("-"
// for an empty field), the form the python script below uses.
std::string HexRow(const Fields& fields) {
    std::string row;
    char pair[3];
    for (const std::string& field : fields) {
        row += row.empty() ? "" : " ";
        for (unsigned char c : field) {
            std::snprintf(pair, sizeof pair, "%02x", c);
            row += pair;
        }
        row += field.empty() ? "-" : "";
    }
    return row + "\n";
}

// Reads our file, checks it against our rows, and writes the same rows the
// way python's own writer quotes them.
const char kPythonScript[] =
    "import csv, sys\n"
    "with open(sys.argv[1], newline='', encoding='latin-1') as f:\n"
    "    rows = list(csv.reader(f))\n"
    "ours = open(sys.argv[2]).read().splitlines()\n"
    "theirs = [' '.join(x.encode('latin-1').hex() or '-' for x in r) for r in rows]\n"
    "bad = [i for i, (a, b) in enumerate(zip(theirs, ours)) if a != b]\n"
    "if len(theirs) != len(ours) or bad:\n"
    "    sys.exit('python %d rows, ours %d; first difference at %s' % (len(theirs), len(ours), bad[:1]))\n"
    "with open(sys.argv[3], 'w', newline='', encoding='latin-1') as f:\n"
    "    csv.writer(f, lineterminator='\\n').writerows(rows)\n";

}  // namespace

TEST(CsvRecord, QuotedFieldWithDoubledQuotesAndEmptyFieldWithoutText) {
    std::string text = "a,\"b,\"\"c\"\"\",,d\n";
    TextReader reader(text);
    Record record = reader.Next();
    ASSERT_NE(nullptr, record);
    EXPECT_EQ((Fields{"a", "b,\"c\"", "", "d"}), FieldsOf(record.get()));
    EXPECT_EQ(nullptr, CsvRecordFieldPointer(record.get(), 2));
    EXPECT_EQ(nullptr, CsvRecordFieldPointer(record.get(), 4));
    EXPECT_STREQ("", CsvRecordField(record.get(), 99));
    EXPECT_EQ(1u, CsvRecordLineCount(record.get()));
    EXPECT_EQ(nullptr, reader.Next());
    EXPECT_EQ(nullptr, CsvRecordParse(nullptr));
}

TEST(CsvRecord, NewlineInQuotesIsCountedAndNoiseAfterQuoteDropped) {
    std::string text = "\"one\ntwo\"junk,c\r\n\n\"open,to\nthe end";
    TextReader reader(text);
    Record first = reader.Next();
    ASSERT_NE(nullptr, first);
    EXPECT_EQ((Fields{"one\ntwo", "c\r"}), FieldsOf(first.get()));
    EXPECT_EQ(2u, CsvRecordLineCount(first.get()));
    Record empty = reader.Next();
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(nullptr, CsvRecordFieldPointer(empty.get(), 0));
    EXPECT_EQ((Fields{"open,to\nthe end"}), FieldsOf(reader.Next().get()));
    EXPECT_EQ(nullptr, reader.Next());
}

TEST(CsvRecord, LongRecordGrowsBothBuffersAndCopiesDeeply) {
    std::string text;
    Fields expected;
    for (int i = 0; i < 300; ++i) {
        expected.emplace_back(static_cast<size_t>(i % 7) + 1, static_cast<char>('a' + i % 26));
        text += (i ? "," : "") + expected.back();
    }
    TextReader reader(text);
    Record record = reader.Next();
    Record copy{CsvRecordCopy(record.get())};
    record.reset();
    EXPECT_EQ(expected, FieldsOf(copy.get()));
}

TEST(CsvWrite, QuotesOnlyWhatNeedsQuoting) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* f = ::open_memstream(&buffer, &size);
    for (const char* field : {"a\"b", "", static_cast<const char*>(nullptr), "plain", "x\ry"}) {
        CsvWriteField(f, field);
        std::fputc(';', f);
    }
    CsvWriteLineEnd(f);
    std::fclose(f);
    EXPECT_EQ("\"a\"\"b\";\"\";\"\";plain;\"x\ry\";\n", std::string(buffer, size));
    std::free(buffer);
}

TEST(CsvRecord, PythonCsvReadsWhatWeWriteAndWeReadWhatItWrites) {
    hwtest::ScratchDirectory dir;
    std::string ours = dir.File("ours.csv"), theirs = dir.File("theirs.csv");
    hwtest::WriteWholeFile(dir.File("check.py"), kPythonScript);
    std::mt19937 rng(1135);
    std::uniform_int_distribution<size_t> count(1, 8), length(0, 12), pick(0, 11);
    static const char kAlphabet[] = "ab ,\"\n\r\t;\xe9\x7fz";
    std::string expected;
    FILE* f = std::fopen(ours.c_str(), "wb");
    for (int r = 0; r < 400; ++r) {
        Fields row(count(rng));
        for (size_t i = 0; i < row.size(); ++i) {
            row[i].resize(length(rng));
            for (char& c : row[i]) {
                c = kAlphabet[pick(rng)];
            }
            std::fputs(i > 0 ? "," : "", f);
            CsvWriteField(f, row[i].c_str());
        }
        CsvWriteLineEnd(f);
        expected += HexRow(row);
    }
    std::fclose(f);
    hwtest::WriteWholeFile(dir.File("expected.txt"), expected);
    ASSERT_NO_THROW(RunCommand("python3 " + dir.File("check.py") + " " + ours + " " +
                               dir.File("expected.txt") + " " + theirs));

    std::string read;
    f = std::fopen(theirs.c_str(), "rb");
    while (Record record{CsvRecordParse(f)}) {
        read += HexRow(FieldsOf(record.get()));
    }
    std::fclose(f);
    EXPECT_EQ(expected, read);

    // Records read back and written whole come out byte for byte the same.
    std::string copy = dir.File("copy.csv");
    FILE* in = std::fopen(ours.c_str(), "rb");
    FILE* out = std::fopen(copy.c_str(), "wb");
    while (Record record{CsvRecordParse(in)}) {
        CsvWriteRecord(out, record.get());
    }
    std::fclose(in);
    std::fclose(out);
    EXPECT_EQ(hwtest::ReadWholeFile(ours), hwtest::ReadWholeFile(copy));
}
