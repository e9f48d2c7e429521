#pragma once
// The pieces of an event's XML form: the "event" element with the fourteen
// header values as attributes, one element per attribute section holding a
// "param" element per record, the XML names of sections, header values and
// value kinds, the XML date text and the text form of blobs.
//
// Names and values reach the output escaped: & < > ' " become entity
// references, tab, line feed and carriage return character references, and
// what XML 1.0 cannot carry at all (other control characters, bytes that
// are not well-formed UTF-8, U+FFFE and U+FFFF) the replacement character
// U+FFFD.  Values come from logs an attacker can write to.

#include <cstdint>
#include <string>
#include <string_view>

#include "qorEventLib/AlertValue.h"
#include "qorToolsLib/qorStatus.h"

namespace AdfXmlUtils {

void StartEventElement(std::string& out);
void CloseEventStartTag(std::string& out);
void EndEventElement(std::string& out);

// "sensor-parameters", "alert-parameters", "updated-parameters"; null and
// EVL_ALERT_UNSUPPORTED_SECTION for any other section.
StatusCode SectionName(uint32_t section, const char** name);
void StartSectionElement(std::string& out, const char* sectionName);
void EndSectionElement(std::string& out, const char* sectionName);

// "alert-format-version" ... "alert-flags"; null past index 13.
const char* HeaderAttributeName(uint32_t index);
// name='value' followed by a space.
void AppendHeaderAttribute(std::string& out, uint32_t index, std::string_view valueText);
// The same with the value text of a record (AppendValueText).
StatusCode AppendHeaderValue(std::string& out, uint32_t index, const AlertValue& value);

// "int", "unsignedInt", ... "base64Binary"; null for VTypeUnknown; null and
// EVL_ALERT_UNSUPPORTED_TYPE for any other kind.
StatusCode XmlTypeName(uint32_t kind, const char** type);

// <param name='...' type='...' value='...'/> and a line feed; an unknown
// value has neither type nor value.
StatusCode AppendParamElement(std::string& out, const EventAVP& record);

// The value text of a record by kind (the digest text for the AlertID is the
// caller's); EVL_ALERT_UNSUPPORTED_TYPE for a kind without one.
StatusCode ValueText(const AlertValue& value, std::string& text);
// Appends the value text, escaped, without a copy of a text value.
StatusCode AppendValueText(std::string& out, const AlertValue& value);

// "1970-01-01T00:00:00", in UTC; empty when the date cannot be represented.
std::string XmlDateText(int64_t seconds);
// The reverse; EVL_ALERT_XML_BAD_DATETIME_VALUE when a separator is missing
// or the fields do not form a date.
StatusCode ParseXmlDateText(std::string_view text, int64_t& seconds);

// Six bits per character over "./0-9A-Za-z", least significant bits first,
// a line feed after the 62nd character and then every 70th.
std::string BlobText(const AlertBlob* blob);

void AppendEscaped(std::string& out, std::string_view text);

}  // namespace AdfXmlUtils
