#include "qorCSFLib/ResponseTagMap.h"

#include <cstdio>
#include <cstring>

#include "hostwarden/ICSFAlertEvent.h"
#include "hostwarden/IEventData.h"
#include "qorCSFLib/CSFSensor.h"
#include "qorCSFLib/QgGenericEvent.h"
#include "qorEventLib/EventIterator.h"

const char* ResponsePriorityText(int32_t nPriority) {
    switch (nPriority) {
        case 1:
            return "high";
        case 2:
            return "medium";
        case 3:
            return "low";
        default:
            return "unknown";
    }
}

void AssignSensorTags(ResponseTagMap& tags) {
    CSFSensor* pSensor = CSFSensor::Current();
    tags[ResponseTag::kSensorName] = pSensor != nullptr ? pSensor->GetSensorName() : "";
    tags[ResponseTag::kSensorIPAddress] = pSensor != nullptr ? pSensor->GetSensorAddress() : "";
}

int32_t ReadEventPriority(ICSFAlertEvent& event) noexcept {
    try {
        return event.GetPriority();
    } catch (...) {
        return 0;
    }
}

void KeepOnOneLine(std::string& text) {
    for (char& c : text) {
        if (c == '\r' || c == '\n') {
            c = ' ';
        }
    }
}

void AppendParameterPiece(std::string& text, const std::string& name, const std::string& value,
                          const ParameterPieceStyle& style) {
    text += style.pszPrefix;
    const size_t nStart = text.size();
    text += name;
    text += ": ";
    text += value;
    if (style.bOneLine) {
        for (size_t at = text.find_first_of("\r\n", nStart); at != std::string::npos;
             at = text.find_first_of("\r\n", at + 1)) {
            text[at] = ' ';
        }
    }
    text += style.pszSuffix;
}

void ReadCommonEventTags(ResponseTagMap& tags, const IEventData& event,
                         const ParameterPieceStyle& style, const char* pszNameCopyTag) {
    if (const EventAVP* pName = FindEventValue(event, EventField::kAlertName, EventField::kHeaderSection)) {
        std::string name = pName->m_Value.ToString();
        if (pszNameCopyTag != nullptr) {
            tags[pszNameCopyTag] = name;
        }
        tags[ResponseTag::kAlertName] = std::move(name);
    }
    if (const EventAVP* pTime = FindEventValue(event, EventField::kAlertDateTime, EventField::kHeaderSection)) {
        tags[ResponseTag::kAlertDateTime] = pTime->m_Value.ToString();
    }
    if (const EventAVP* pActions = FindEventValue(event, EventField::kResponseList, EventField::kAlertSection)) {
        tags[ResponseTag::kAction] = pActions->m_Value.ToString();
    }
    std::string parameters;
    const EventIterator end = event.End(EventField::kParameterSection);
    for (EventIterator it = event.Begin(EventField::kParameterSection); it.IsValid() && it != end; ++it) {
        AppendParameterPiece(parameters, it->m_sName, it->m_Value.ToString(), style);
    }
    if (!parameters.empty()) {
        tags[ResponseTag::kOtherParameters] = std::move(parameters);
    }
}

void ReadCommonLegacyTags(ResponseTagMap& tags, const QgGenericEvent& event,
                          const ParameterPieceStyle& style, const char* pszNameCopyTag) {
    if (pszNameCopyTag != nullptr) {
        tags[pszNameCopyTag] = event.GetAlertName();
    }
    tags[ResponseTag::kAlertName] = event.GetAlertName();
    tags[ResponseTag::kAlertDateTime] = event.GetTimeText();
    char szMask[16];
    std::snprintf(szMask, sizeof szMask, "0x%x", event.GetResponseMask());
    tags[ResponseTag::kAction] = szMask;
    if (event.GetPairs().empty()) {
        return;
    }
    std::string parameters;
    for (const QgGenericEvent::Pair& pair : event.GetPairs()) {
        if (!pair.m_strName.empty()) {
            AppendParameterPiece(parameters, pair.m_strName, pair.m_strValue, style);
        }
    }
    tags[ResponseTag::kOtherParameters] = std::move(parameters);
}

const EventAVP* FindEventValue(const IEventData& event, const char* pszName, uint32_t dwSection) {
    EventIterator found = event.Find(pszName, dwSection);
    if (!found.IsValid() || found.m_iIndex < 0 || found.m_pRecord == nullptr) {
        return nullptr;
    }
    if (dwSection == EventField::kHeaderSection && found->m_uId == EventAVP::kUnsetId) {
        return nullptr;
    }
    return found.m_pRecord;
}

void ReplaceResponseTags(const ResponseTagMap& tags, const char* pszTemplate, std::string& out) {
    // Built apart from `out`: the template may be the text `out` holds.
    std::string text = pszTemplate != nullptr ? pszTemplate : "";
    for (const auto& [tag, value] : tags) {
        if (tag.empty()) {
            continue;
        }
        const std::string replacement = value.empty() ? std::string(ResponseTag::kNotAvailable) : value;
        size_t position = text.find(tag);
        while (position != std::string::npos) {
            text.replace(position, tag.size(), replacement);
            position = text.find(tag, position + replacement.size());
        }
    }
    out.swap(text);
}

namespace {

// Quotes a value for a command line split by the usual rules (backslashes
// are literal except in a run before a double quote, where they pair up).
void AppendQuoted(std::string& out, const std::string& value) {
    out += '"';
    size_t backslashes = 0;
    for (char c : value) {
        if (c == '\\') {
            ++backslashes;
            out += c;
            continue;
        }
        if (c == '"') {
            out.append(backslashes + 1, '\\');
            out += c;
        } else if (c == '\r' || c == '\n' || c == '\0') {
            out += ' ';
        } else {
            out += c;
        }
        backslashes = 0;
    }
    // The closing quote must not be taken as an escaped one.
    out.append(backslashes, '\\');
    out += '"';
}

}  // namespace

void BuildParameterLine(const ResponseTagMap& tags, const char* pszTemplate, std::string& out) {
    // Built apart from `out`: the template may be the line `out` holds.
    std::string line;
    const char* p = pszTemplate != nullptr ? pszTemplate : "";
    for (;;) {
        while (*p == ' ') {
            ++p;
        }
        if (*p == '\0') {
            break;
        }
        const char* end = std::strchr(p, ' ');
        if (end == nullptr) {
            end = p + std::strlen(p);
        }
        std::string token(p, end);
        auto found = tags.find(token);
        if (found != tags.end()) {
            AppendQuoted(line, found->second);
        } else {
            line += token;
        }
        line += ' ';
        p = end;
    }
    out.swap(line);
}
