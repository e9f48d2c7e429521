#pragma once
// Comma-separated records read from and written to a stdio stream.
//
// Reading: fields are separated by commas and a record ends at a line feed
// or the end of the file.  A field that begins with a double quote runs to
// the closing quote and may hold commas and line feeds; two double quotes
// inside it stand for one.  Text between a closing quote and the next comma
// or line end is dropped.  A carriage return is an ordinary character (a
// file opened in binary mode keeps it in the last field).  A field left
// empty (nothing between two separators) has no text: its pointer form is
// null, while a quoted empty field ("") reads as an empty text.
//
// Writing: a field holding a line feed, carriage return, double quote or
// comma is quoted with its double quotes doubled; an empty or missing field
// is written as "".

#include <cstdint>
#include <cstdio>
#include <vector>

struct CsvRecord {
    // Line feeds consumed while the record was read (inside quotes too).
    uint32_t m_uLineCount = 0;
    uint32_t m_uFieldCount = 0;
    // Every field's text, each ended by a NUL.
    std::vector<char> m_text;
    // Offset of each field in m_text, or -1 for an empty field.
    std::vector<int32_t> m_offsets;
};

// A new record, or null for a null stream or a stream already at its end.
// The caller frees it with CsvRecordFree.
CsvRecord* CsvRecordParse(FILE* stream);

uint32_t CsvRecordFieldCount(const CsvRecord* record);
uint32_t CsvRecordLineCount(const CsvRecord* record);

// The field's text; "" for an empty field or an index out of range.
const char* CsvRecordField(const CsvRecord* record, uint32_t index);

// The field's text; null for an empty field or an index out of range.
const char* CsvRecordFieldPointer(const CsvRecord* record, uint32_t index);

void CsvRecordFree(CsvRecord* record);
CsvRecord* CsvRecordCopy(const CsvRecord* record);

void CsvWriteField(FILE* stream, const char* text);
void CsvWriteLineEnd(FILE* stream);
void CsvWriteRecord(FILE* stream, const CsvRecord* record);
