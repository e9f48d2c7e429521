#include "qorEventLib/CEventFilter.h"

#include <algorithm>
#include <cstring>

#include "qorEventLib/qorEventStatus.h"
#include "qorToolsLib/BoundedFormat.h"

namespace {

// The fields whose name the text form prints; other entries print an empty
// field name.
const char* const kTextFields[] = {
    "AlertDateTime",  "AlertTimeSequenceID", "ProductID",          "AlertType",
    "AlertPriority",  "SourceAddress",       "SourcePort",         "DestinationAddress",
    "DestinationPort", "ResponseList",
};

std::string FieldNameFor(const std::string& entry) {
    for (const char* name : kTextFields) {
        if (entry == name) {
            return entry;
        }
    }
    return std::string();
}

struct Rendered {
    std::string text;
    const CEfExpData* operand;
};

// A comparison on one of the two entries with a fixed meaning: only "="
// renders, as the pair of header fields it stands for.
StatusCode RenderSpecial(const std::string& entry, uint32_t op, const Rendered& left,
                         const Rendered& right, std::string& text) {
    const CEfExpData* operand = right.operand != nullptr && right.operand->m_uKind != EF_FIELD
                                    ? right.operand
                                    : left.operand;
    if (op != EF_OP_EQUAL || operand == nullptr) {
        return EVL_FILTER_TYPE_MISMATCH;
    }
    if (entry == CEventFilter::kAlertNameEntry) {
        char type[16];
        BoundedSnprintf(type, sizeof type, "%d", static_cast<int>(operand->m_uNameType));
        text = "((AlertNameType = " + std::string(type) + ") AND (AlertName = '" +
               operand->m_sAlertName + "'))";
    } else {
        text = "((SensorAddress = '" + operand->m_sAddress + "') AND (SensorName = '" +
               operand->m_sName + "'))";
    }
    return QOR_S_OK;
}

StatusCode RenderEntry(const std::string& entry, const CEfExpression& expression,
                       std::string& text) {
    const std::string field = FieldNameFor(entry);
    const bool special = entry == CEventFilter::kSensorIdEntry || entry == CEventFilter::kAlertNameEntry;
    std::vector<Rendered> stack;
    for (const CEfExpData& token : expression.m_Tokens) {
        if (token.m_uKind != EF_OPERATOR) {
            stack.push_back({token.ToText(field), &token});
            continue;
        }
        uint32_t op = static_cast<uint32_t>(token.m_uNumber);
        const char* opText = EfOperatorText(op);
        size_t needed = op == EF_OP_NOT ? 1 : 2;
        if (opText == nullptr || stack.size() < needed) {
            return EVL_FILTER_TYPE_MISMATCH;
        }
        Rendered right = std::move(stack.back());
        stack.pop_back();
        if (op == EF_OP_NOT) {
            stack.push_back({std::string(opText) + "(" + right.text + ")", nullptr});
            continue;
        }
        Rendered left = std::move(stack.back());
        stack.pop_back();
        std::string combined;
        if (op == EF_OP_AND || op == EF_OP_OR) {
            combined = "(" + left.text + ") " + opText + " (" + right.text + ")";
        } else if (special) {
            StatusCode status = RenderSpecial(entry, op, left, right, combined);
            if (status != QOR_S_OK) {
                return status;
            }
        } else {
            combined = left.text + " " + opText + " " + right.text;
        }
        stack.push_back({std::move(combined), nullptr});
    }
    if (stack.size() != 1) {
        return EVL_FILTER_TYPE_MISMATCH;
    }
    text = std::move(stack.back().text);
    return QOR_S_OK;
}

class ByteWriter {
public:
    explicit ByteWriter(std::vector<uint8_t>& out) : m_out(out) {}
    void PutU32(uint32_t value) {
        uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
        m_out.insert(m_out.end(), bytes, bytes + 4);
    }
    // Length counting the terminating zero, the bytes, the zero.
    void PutText(const std::string& text) {
        PutU32(static_cast<uint32_t>(text.size() + 1));
        m_out.insert(m_out.end(), text.begin(), text.end());
        m_out.push_back(0);
    }

private:
    std::vector<uint8_t>& m_out;
};

class ByteReader {
public:
    ByteReader(const uint8_t* bytes, size_t length) : m_bytes(bytes), m_left(length) {}
    size_t Left() const { return m_left; }

    StatusCode GetU32(uint32_t& value) {
        if (m_left < 4) {
            return QOR_E_NOT_ENOUGH_DATA;
        }
        value = (uint32_t{m_bytes[0]} << 24) | (uint32_t{m_bytes[1]} << 16) |
                (uint32_t{m_bytes[2]} << 8) | m_bytes[3];
        Skip(4);
        return QOR_S_OK;
    }

    StatusCode GetText(std::string& text) {
        uint32_t length = 0;
        StatusCode status = GetU32(length);
        if (status != QOR_S_OK) {
            return status;
        }
        if (length > m_left) {
            return QOR_E_NOT_ENOUGH_DATA;
        }
        if (length == 0 || m_bytes[length - 1] != 0) {
            return QOR_E_INVALID_DATA;
        }
        // The text ends at its first zero, which the check above guarantees.
        const auto* nul = static_cast<const uint8_t*>(std::memchr(m_bytes, 0, length));
        text.assign(reinterpret_cast<const char*>(m_bytes), static_cast<size_t>(nul - m_bytes));
        Skip(length);
        return QOR_S_OK;
    }

private:
    void Skip(size_t count) {
        m_bytes += count;
        m_left -= count;
    }

    const uint8_t* m_bytes;
    size_t m_left;
};

void WriteToken(ByteWriter& out, const CEfExpData& token) {
    out.PutU32(token.m_uKind);
    switch (token.m_uKind) {
        case EF_OPERATOR:
        case EF_BOOLEAN:
        case EF_NUMBER:
            out.PutU32(static_cast<uint32_t>(token.m_uNumber));
            break;
        case EF_TEXT:
            out.PutText(token.m_sText);
            break;
        case EF_DATE:
            out.PutU32(static_cast<uint32_t>(token.m_uNumber >> 32));
            out.PutU32(static_cast<uint32_t>(token.m_uNumber));
            break;
        case EF_SENSOR_ID:
            out.PutText(token.m_sAddress);
            out.PutText(token.m_sName);
            break;
        case EF_ALERT_NAME:
            out.PutU32(token.m_uNameType);
            out.PutText(token.m_sAlertName);
            break;
        default:
            break;
    }
}

StatusCode ReadToken(ByteReader& in, CEfExpData& token) {
    StatusCode status = in.GetU32(token.m_uKind);
    uint32_t word = 0;
    uint32_t low = 0;
    if (status != QOR_S_OK) {
        return status;
    }
    switch (token.m_uKind) {
        case EF_OPERATOR:
        case EF_BOOLEAN:
        case EF_NUMBER:
            status = in.GetU32(word);
            token.m_uNumber = token.m_uKind == EF_BOOLEAN ? (word != 0 ? 1 : 0) : word;
            return status;
        case EF_FIELD:
            return QOR_S_OK;
        case EF_TEXT:
            return in.GetText(token.m_sText);
        case EF_DATE:
            status = in.GetU32(word);
            if (status == QOR_S_OK) {
                status = in.GetU32(low);
            }
            token.m_uNumber = (uint64_t{word} << 32) | low;
            return status;
        case EF_SENSOR_ID:
            status = in.GetText(token.m_sAddress);
            return status != QOR_S_OK ? status : in.GetText(token.m_sName);
        case EF_ALERT_NAME:
            status = in.GetU32(token.m_uNameType);
            return status != QOR_S_OK ? status : in.GetText(token.m_sAlertName);
        default:
            return QOR_E_INVALID_DATA;
    }
}

StatusCode ReadExpression(ByteReader& in, CEfExpression& expression) {
    uint32_t valid = 0;
    uint32_t count = 0;
    StatusCode status = in.GetU32(valid);
    if (status == QOR_S_OK) {
        status = in.GetU32(expression.m_uKind);
    }
    if (status == QOR_S_OK) {
        status = in.GetU32(count);
    }
    if (status != QOR_S_OK) {
        return status;
    }
    expression.m_bValid = valid != 0 ? 1 : 0;
    // Every token takes at least its 4-byte kind.
    if (count > in.Left() / 4) {
        return QOR_E_NOT_ENOUGH_DATA;
    }
    expression.m_Tokens.resize(count);
    for (CEfExpData& token : expression.m_Tokens) {
        status = ReadToken(in, token);
        if (status != QOR_S_OK) {
            return status;
        }
    }
    return QOR_S_OK;
}

}  // namespace

CEventFilter::~CEventFilter() = default;

void CEventFilter::Clear() {
    m_Entries.clear();
    m_uMode = kDefaultMode;
}

StatusCode CEventFilter::AddExpression(const std::string& entry, uint32_t op,
                                       const CEfExpression& expression) {
    auto found = m_Entries.find(entry);
    if (found == m_Entries.end()) {
        m_Entries.emplace(entry, expression);
    } else {
        found->second.Combine(op, expression);
    }
    return QOR_S_OK;
}

StatusCode CEventFilter::Negate(const std::string& entry) {
    auto found = m_Entries.find(entry);
    if (found == m_Entries.end()) {
        return EVL_FILTER_NO_ENTRY;
    }
    found->second.Negate();
    return QOR_S_OK;
}

bool CEventFilter::FindExpression(const std::string& entry, CEfExpression& expression) const {
    auto found = m_Entries.find(entry);
    if (found == m_Entries.end()) {
        return false;
    }
    expression = found->second;
    return true;
}

bool CEventFilter::RemoveExpression(const std::string& entry) { return m_Entries.erase(entry) != 0; }

void CEventFilter::AddSensorID(const std::string& address, const std::string& name) {
    AddExpression(kSensorIdEntry, EF_OP_OR,
                  CEfExpression::MakeComparison(EF_OP_EQUAL, CEfExpData::SensorId(address, name)));
}

void CEventFilter::GetSensorIDs(std::vector<SensorId>& ids) const {
    ids.clear();
    auto found = m_Entries.find(kSensorIdEntry);
    if (found == m_Entries.end()) {
        return;
    }
    for (const CEfExpData& token : found->second.m_Tokens) {
        if (token.m_uKind == EF_SENSOR_ID) {
            ids.emplace_back(token.m_sAddress, token.m_sName);
        }
    }
}

void CEventFilter::SetSensorIDs(const std::vector<SensorId>& ids) {
    RemoveExpression(kSensorIdEntry);
    for (const SensorId& id : ids) {
        AddSensorID(id.first, id.second);
    }
}

void CEventFilter::RemoveSensorID(const SensorId& id) {
    std::vector<SensorId> ids;
    GetSensorIDs(ids);
    auto found = std::find(ids.begin(), ids.end(), id);
    if (found != ids.end()) {
        ids.erase(found);
    }
    SetSensorIDs(ids);
}

bool CEventFilter::Equals(const CEventFilter& other) const {
    if (m_uMode != other.m_uMode || m_Entries.size() != other.m_Entries.size()) {
        return false;
    }
    for (const auto& [name, expression] : m_Entries) {
        auto theirs = other.m_Entries.find(name);
        if (theirs == other.m_Entries.end() || !expression.Equals(theirs->second)) {
            return false;
        }
    }
    return true;
}

StatusCode CEventFilter::ToText(std::string& text) const {
    std::string result;
    for (const auto& [name, expression] : m_Entries) {
        std::string entryText;
        StatusCode status = RenderEntry(name, expression, entryText);
        if (status != QOR_S_OK) {
            return status;
        }
        if (!result.empty()) {
            result += " AND ";
        }
        result += "(" + entryText + ")";
    }
    text = std::move(result);
    return QOR_S_OK;
}

void CEventFilter::ToBytes(std::vector<uint8_t>& bytes) const {
    bytes.clear();
    ByteWriter out(bytes);
    out.PutU32(m_uMode);
    out.PutU32(static_cast<uint32_t>(m_Entries.size()));
    for (const auto& [name, expression] : m_Entries) {
        WriteToken(out, CEfExpData::Text(name));
        out.PutU32(expression.m_bValid != 0 ? 1 : 0);
        out.PutU32(expression.m_uKind);
        out.PutU32(static_cast<uint32_t>(expression.m_Tokens.size()));
        for (const CEfExpData& token : expression.m_Tokens) {
            WriteToken(out, token);
        }
    }
}

StatusCode CEventFilter::FromBytes(const uint8_t* bytes, size_t length) {
    Clear();
    if (bytes == nullptr && length > 0) {
        return QOR_E_INVALID_ARG;
    }
    ByteReader in(bytes, length);
    uint32_t mode = 0;
    uint32_t count = 0;
    StatusCode status = in.GetU32(mode);
    if (status == QOR_S_OK) {
        status = in.GetU32(count);
    }
    for (uint32_t i = 0; status == QOR_S_OK && i < count; ++i) {
        CEfExpData name;
        CEfExpression expression;
        status = ReadToken(in, name);
        if (status == QOR_S_OK && name.m_uKind != EF_TEXT) {
            status = QOR_E_INVALID_DATA;
        }
        if (status == QOR_S_OK) {
            status = ReadExpression(in, expression);
        }
        if (status == QOR_S_OK) {
            m_Entries[name.m_sText] = std::move(expression);
        }
    }
    if (status != QOR_S_OK) {
        Clear();
        return status;
    }
    m_uMode = mode;
    return QOR_S_OK;
}
