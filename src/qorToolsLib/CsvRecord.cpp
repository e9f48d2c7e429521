#include "qorToolsLib/CsvRecord.h"

#include <cstring>

namespace {

constexpr size_t kInitialTextRoom = 256;
constexpr size_t kInitialFieldRoom = 16;

class RecordBuilder {
public:
    RecordBuilder(FILE* stream, CsvRecord& record) : m_stream(stream), m_record(record) {}

    // Reads one character, counting line feeds as the record's lines.
    int Get() {
        int c = std::getc(m_stream);
        if (c == '\n') {
            ++m_record.m_uLineCount;
        }
        return c;
    }

    void BeginField() {
        m_record.m_offsets.push_back(static_cast<int32_t>(m_record.m_text.size()));
        ++m_record.m_uFieldCount;
    }

    void EmptyField() {
        m_record.m_offsets.push_back(-1);
        ++m_record.m_uFieldCount;
    }

    void Put(int c) { m_record.m_text.push_back(static_cast<char>(c)); }
    void EndField() { m_record.m_text.push_back('\0'); }

    // Reads one field whose first character is `c`; answers the character
    // that ended it: a comma, a line feed or EOF.
    int ReadField(int c) {
        if (c == ',' || c == '\n' || c == EOF) {
            EmptyField();
            return c;
        }
        BeginField();
        c = (c == '"') ? ReadQuoted() : ReadUnquoted(c);
        EndField();
        return c;
    }

private:
    int ReadUnquoted(int c) {
        while (c != ',' && c != '\n' && c != EOF) {
            Put(c);
            c = Get();
        }
        return c;
    }

    int ReadQuoted() {
        for (;;) {
            int c = Get();
            if (c == EOF) {
                return EOF;
            }
            if (c != '"') {
                Put(c);
                continue;
            }
            c = Get();
            if (c == '"') {
                Put(c);
                continue;
            }
            // Anything between the closing quote and the separator is noise.
            while (c != ',' && c != '\n' && c != EOF) {
                c = Get();
            }
            return c;
        }
    }

    FILE* m_stream;
    CsvRecord& m_record;
};

const char* FieldText(const CsvRecord* record, uint32_t index) {
    if (record == nullptr || index >= record->m_offsets.size()) {
        return nullptr;
    }
    int32_t offset = record->m_offsets[index];
    if (offset < 0) {
        return nullptr;
    }
    return record->m_text.data() + offset;
}

}  // namespace

CsvRecord* CsvRecordParse(FILE* stream) {
    if (stream == nullptr) {
        return nullptr;
    }
    int c = std::getc(stream);
    if (c == EOF) {
        return nullptr;
    }
    std::ungetc(c, stream);

    auto* record = new CsvRecord;
    record->m_text.reserve(kInitialTextRoom);
    record->m_offsets.reserve(kInitialFieldRoom);
    RecordBuilder builder(stream, *record);
    for (;;) {
        c = builder.ReadField(builder.Get());
        if (c != ',') {
            break;
        }
    }
    return record;
}

uint32_t CsvRecordFieldCount(const CsvRecord* record) {
    return record != nullptr ? record->m_uFieldCount : 0;
}

uint32_t CsvRecordLineCount(const CsvRecord* record) {
    return record != nullptr ? record->m_uLineCount : 0;
}

const char* CsvRecordField(const CsvRecord* record, uint32_t index) {
    const char* text = FieldText(record, index);
    return text != nullptr ? text : "";
}

const char* CsvRecordFieldPointer(const CsvRecord* record, uint32_t index) {
    return FieldText(record, index);
}

void CsvRecordFree(CsvRecord* record) {
    delete record;
}

CsvRecord* CsvRecordCopy(const CsvRecord* record) {
    if (record == nullptr) {
        return nullptr;
    }
    return new CsvRecord(*record);
}

void CsvWriteField(FILE* stream, const char* text) {
    if (stream == nullptr) {
        return;
    }
    if (text == nullptr || *text == '\0') {
        std::fputs("\"\"", stream);
        return;
    }
    if (std::strpbrk(text, "\n\r\",") == nullptr) {
        std::fputs(text, stream);
        return;
    }
    std::fputc('"', stream);
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '"') {
            std::fputc('"', stream);
        }
        std::fputc(*p, stream);
    }
    std::fputc('"', stream);
}

void CsvWriteLineEnd(FILE* stream) {
    if (stream != nullptr) {
        std::fputs("\n", stream);
    }
}

void CsvWriteRecord(FILE* stream, const CsvRecord* record) {
    if (stream == nullptr || record == nullptr) {
        return;
    }
    for (uint32_t i = 0; i < record->m_uFieldCount; ++i) {
        if (i > 0) {
            std::fputc(',', stream);
        }
        CsvWriteField(stream, CsvRecordFieldPointer(record, i));
    }
    CsvWriteLineEnd(stream);
}
