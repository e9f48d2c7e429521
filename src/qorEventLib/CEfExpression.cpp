#include "qorEventLib/CEfExpression.h"

#include <utility>

#include "qorEventLib/AlertValue.h"
#include "qorEventLib/qorEventStatus.h"
#include "qorToolsLib/BoundedFormat.h"

namespace {

const char* const kOperatorTexts[] = {nullptr, "=",    "<>",  "<",  ">", "<=",
                                      ">=",    "LIKE", "NOT", "AND", "OR"};

bool IsComparison(uint32_t op) { return op >= EF_OP_EQUAL && op <= EF_OP_LIKE; }

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Ordering by kind: operator codes compare signed, booleans and numbers
// unsigned, dates as 64-bit values; other kinds have no order.
bool Ordered(uint32_t op, const CEfExpData& left, const CEfExpData& right) {
    int order;
    if (left.m_uKind == EF_OPERATOR) {
        auto a = static_cast<int32_t>(left.m_uNumber);
        auto b = static_cast<int32_t>(right.m_uNumber);
        order = a < b ? -1 : (a > b ? 1 : 0);
    } else if (left.m_uKind == EF_BOOLEAN || left.m_uKind == EF_NUMBER || left.m_uKind == EF_DATE) {
        uint64_t a = left.m_uNumber;
        uint64_t b = right.m_uNumber;
        order = a < b ? -1 : (a > b ? 1 : 0);
    } else {
        return false;
    }
    switch (op) {
        case EF_OP_LESS:
            return order < 0;
        case EF_OP_GREATER:
            return order > 0;
        case EF_OP_LESS_EQUAL:
            return order <= 0;
        default:
            return order >= 0;
    }
}

}  // namespace

const char* EfOperatorText(uint32_t code) {
    return code >= EF_OP_EQUAL && code <= EF_OP_OR ? kOperatorTexts[code] : nullptr;
}

bool EfLike(const std::string& value, const std::string& pattern) {
    size_t first = pattern.find('%');
    if (first == std::string::npos) {
        return value == pattern;
    }
    size_t last = pattern.rfind('%');
    if (first == 0 && last == 0) {
        return EndsWith(value, pattern.substr(1));
    }
    if (first == 0 && last == pattern.size() - 1 && pattern.find('%', 1) == last) {
        return value.find(pattern.substr(1, pattern.size() - 2)) != std::string::npos;
    }
    if (first == pattern.size() - 1) {
        return StartsWith(value, pattern.substr(0, first));
    }
    return false;
}

CEfExpData::~CEfExpData() = default;

CEfExpData CEfExpData::Operator(uint32_t code) {
    CEfExpData d;
    d.m_uKind = EF_OPERATOR;
    d.m_uNumber = code;
    return d;
}

CEfExpData CEfExpData::Field() {
    CEfExpData d;
    d.m_uKind = EF_FIELD;
    return d;
}

CEfExpData CEfExpData::Boolean(bool value) {
    CEfExpData d;
    d.m_uKind = EF_BOOLEAN;
    d.m_uNumber = value ? 1 : 0;
    return d;
}

CEfExpData CEfExpData::Number(uint32_t value) {
    CEfExpData d;
    d.m_uKind = EF_NUMBER;
    d.m_uNumber = value;
    return d;
}

CEfExpData CEfExpData::Text(std::string text) {
    CEfExpData d;
    d.m_uKind = EF_TEXT;
    d.m_sText = std::move(text);
    return d;
}

CEfExpData CEfExpData::Date(uint64_t seconds) {
    CEfExpData d;
    d.m_uKind = EF_DATE;
    d.m_uNumber = seconds;
    return d;
}

CEfExpData CEfExpData::SensorId(std::string address, std::string name) {
    CEfExpData d;
    d.m_uKind = EF_SENSOR_ID;
    d.m_sAddress = std::move(address);
    d.m_sName = std::move(name);
    return d;
}

CEfExpData CEfExpData::AlertName(uint32_t nameType, std::string name) {
    CEfExpData d;
    d.m_uKind = EF_ALERT_NAME;
    d.m_uNameType = nameType;
    d.m_sAlertName = std::move(name);
    return d;
}

bool CEfExpData::IsEqual(const CEfExpData& other) const {
    if (m_uKind != other.m_uKind) {
        return false;
    }
    switch (m_uKind) {
        case EF_OPERATOR:
        case EF_NUMBER:
            return static_cast<uint32_t>(m_uNumber) == static_cast<uint32_t>(other.m_uNumber);
        case EF_FIELD:
            return true;
        case EF_BOOLEAN:
            return (m_uNumber != 0) == (other.m_uNumber != 0);
        case EF_TEXT:
            return m_sText == other.m_sText;
        case EF_DATE:
            return m_uNumber == other.m_uNumber;
        case EF_SENSOR_ID:
            return m_sAddress == other.m_sAddress && m_sName == other.m_sName;
        case EF_ALERT_NAME:
            return m_uNameType == other.m_uNameType && m_sAlertName == other.m_sAlertName;
        default:
            return false;
    }
}

StatusCode CEfExpData::Compare(uint32_t op, const CEfExpData& right, bool& result) const {
    if (op == EF_OP_LIKE) {
        result = m_uKind == EF_TEXT && right.m_uKind == EF_TEXT && EfLike(m_sText, right.m_sText);
        return QOR_S_OK;
    }
    if (m_uKind != right.m_uKind) {
        return EVL_FILTER_TYPE_MISMATCH;
    }
    switch (op) {
        case EF_OP_EQUAL:
            result = IsEqual(right);
            return QOR_S_OK;
        case EF_OP_NOT_EQUAL:
            result = !IsEqual(right);
            return QOR_S_OK;
        case EF_OP_LESS:
        case EF_OP_GREATER:
        case EF_OP_LESS_EQUAL:
        case EF_OP_GREATER_EQUAL:
            result = Ordered(op, *this, right);
            return QOR_S_OK;
        default:
            return EVL_FILTER_TYPE_MISMATCH;
    }
}

std::string CEfExpData::ToText(const std::string& fieldName) const {
    char buffer[32];
    switch (m_uKind) {
        case EF_OPERATOR: {
            const char* text = EfOperatorText(static_cast<uint32_t>(m_uNumber));
            return text != nullptr ? text : "";
        }
        case EF_FIELD:
            return fieldName;
        case EF_BOOLEAN:
            return m_uNumber != 0 ? "TRUE" : "FALSE";
        case EF_NUMBER:
            BoundedSnprintf(buffer, sizeof buffer, "%ld", static_cast<long>(static_cast<uint32_t>(m_uNumber)));
            return buffer;
        case EF_TEXT:
            return "'" + m_sText + "'";
        case EF_DATE:
            return FormatAlertDate(static_cast<int64_t>(m_uNumber));
        case EF_SENSOR_ID:
            return m_sName + "@" + m_sAddress;
        case EF_ALERT_NAME:
            return m_sAlertName;
        default:
            return std::string();
    }
}

CEfExpression::~CEfExpression() = default;

CEfDateTimeExpression::~CEfDateTimeExpression() = default;

CEfExpression CEfExpression::MakeComparison(uint32_t op, const CEfExpData& operand) {
    CEfExpression expression;
    expression.m_Tokens = {CEfExpData::Field(), operand, CEfExpData::Operator(op)};
    expression.m_uKind = operand.m_uKind;
    bool anyOperator = operand.m_uKind == EF_NUMBER || operand.m_uKind == EF_DATE;
    bool equality = (operand.m_uKind == EF_TEXT || operand.m_uKind == EF_SENSOR_ID ||
                     operand.m_uKind == EF_ALERT_NAME) &&
                    (op == EF_OP_EQUAL || op == EF_OP_NOT_EQUAL);
    expression.m_bValid = anyOperator || equality ? 1 : 0;
    return expression;
}

void CEfExpression::Combine(uint32_t op, const CEfExpression& other) {
    if (m_Tokens.empty()) {
        *this = other;
        return;
    }
    m_bValid = m_bValid != 0 && other.m_bValid != 0 ? 1 : 0;
    if (m_uKind != other.m_uKind) {
        m_uKind = 0;
        m_bValid = 0;
    }
    if (!other.m_Tokens.empty()) {
        m_Tokens.insert(m_Tokens.end(), other.m_Tokens.begin(), other.m_Tokens.end());
        m_Tokens.push_back(CEfExpData::Operator(op));
    }
}

void CEfExpression::Negate() { m_Tokens.push_back(CEfExpData::Operator(EF_OP_NOT)); }

StatusCode CEfExpression::Evaluate(const CEfExpData& field, bool& result) const {
    if (m_bValid == 0) {
        return EVL_FILTER_NOT_VALID;
    }
    // Operands are kept by address: the field value or a token; booleans
    // produced on the way live in `results`.
    std::vector<const CEfExpData*> stack;
    std::vector<CEfExpData> results;
    results.reserve(m_Tokens.size());
    for (const CEfExpData& token : m_Tokens) {
        if (token.m_uKind != EF_OPERATOR) {
            stack.push_back(token.m_uKind == EF_FIELD ? &field : &token);
            continue;
        }
        uint32_t op = static_cast<uint32_t>(token.m_uNumber);
        size_t needed = op == EF_OP_NOT ? 1 : 2;
        if (stack.size() < needed) {
            return EVL_FILTER_NOT_VALID;
        }
        const CEfExpData* right = stack.back();
        stack.pop_back();
        bool value = false;
        if (op == EF_OP_NOT) {
            if (right->m_uKind != EF_BOOLEAN) {
                return EVL_FILTER_TYPE_MISMATCH;
            }
            value = right->m_uNumber == 0;
        } else {
            const CEfExpData* left = stack.back();
            stack.pop_back();
            if (op == EF_OP_AND || op == EF_OP_OR) {
                if (left->m_uKind != EF_BOOLEAN || right->m_uKind != EF_BOOLEAN) {
                    return EVL_FILTER_TYPE_MISMATCH;
                }
                bool a = left->m_uNumber != 0;
                bool b = right->m_uNumber != 0;
                value = op == EF_OP_AND ? (a && b) : (a || b);
            } else if (IsComparison(op)) {
                StatusCode status = left->Compare(op, *right, value);
                if (status != QOR_S_OK) {
                    return status;
                }
            } else {
                return EVL_FILTER_TYPE_MISMATCH;
            }
        }
        results.push_back(CEfExpData::Boolean(value));
        stack.push_back(&results.back());
    }
    if (stack.size() != 1 || stack.back()->m_uKind != EF_BOOLEAN) {
        return EVL_FILTER_NOT_VALID;
    }
    result = stack.back()->m_uNumber != 0;
    return QOR_S_OK;
}

StatusCode CEfExpression::GetDateRange(DateBound bounds[2], uint32_t& count) {
    count = 0;
    if (m_bValid == 0 || m_uKind != EF_DATE) {
        m_bValid = 0;
        return EVL_FILTER_TYPE_MISMATCH;
    }
    if (m_Tokens.size() != 3 && m_Tokens.size() != 7) {
        return EVL_FILTER_BAD_DATE_RANGE;
    }
    // [field, date, op] or [field, date, op, field, date, op, joiner]
    for (size_t at = 0; at + 2 < m_Tokens.size(); at += 3) {
        bounds[count].m_uDate = m_Tokens[at + 1].m_uNumber;
        bounds[count].m_uOperator = static_cast<uint32_t>(m_Tokens[at + 2].m_uNumber);
        ++count;
    }
    return QOR_S_OK;
}

bool CEfExpression::Equals(const CEfExpression& other) const {
    if (m_Tokens.size() != other.m_Tokens.size()) {
        return false;
    }
    for (size_t i = 0; i < m_Tokens.size(); ++i) {
        if (!m_Tokens[i].IsEqual(other.m_Tokens[i])) {
            return false;
        }
    }
    return true;
}
