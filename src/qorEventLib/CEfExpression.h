#pragma once
// The expressions of the event filter: postfix token lists of typed
// operands and operators over one event field.

#include <cstdint>
#include <string>
#include <vector>

#include "qorToolsLib/qorStatus.h"

enum CEfDataKind : uint32_t {
    EF_OPERATOR = 1,
    EF_FIELD = 2,  // replaced by the event's value when evaluated
    EF_BOOLEAN = 3,
    EF_NUMBER = 4,
    EF_TEXT = 5,
    EF_DATE = 6,
    EF_SENSOR_ID = 7,
    EF_ALERT_NAME = 8,
};

enum CEfOperatorCode : uint32_t {
    EF_OP_EQUAL = 1,
    EF_OP_NOT_EQUAL = 2,
    EF_OP_LESS = 3,
    EF_OP_GREATER = 4,
    EF_OP_LESS_EQUAL = 5,
    EF_OP_GREATER_EQUAL = 6,
    EF_OP_LIKE = 7,
    EF_OP_NOT = 8,
    EF_OP_AND = 9,
    EF_OP_OR = 10,
};

// "=", "<>", "<", ">", "<=", ">=", "LIKE", "NOT", "AND", "OR"; null for other
// codes.
const char* EfOperatorText(uint32_t code);

// The "LIKE" match, with "%" the only wildcard and only in the placements
// "X", "%X", "%X%" and "X%".
bool EfLike(const std::string& value, const std::string& pattern);

class CEfExpData {
public:
    CEfExpData() = default;
    CEfExpData(const CEfExpData&) = default;
    CEfExpData& operator=(const CEfExpData&) = default;
    virtual ~CEfExpData();

    static CEfExpData Operator(uint32_t code);
    static CEfExpData Field();
    static CEfExpData Boolean(bool value);
    static CEfExpData Number(uint32_t value);
    static CEfExpData Text(std::string text);
    static CEfExpData Date(uint64_t seconds);
    static CEfExpData SensorId(std::string address, std::string name);
    static CEfExpData AlertName(uint32_t nameType, std::string name);

    // left (this) op right for two operands of one kind; EVL_FILTER_TYPE_MISMATCH
    // when the kinds differ.
    StatusCode Compare(uint32_t op, const CEfExpData& right, bool& result) const;
    bool IsEqual(const CEfExpData& other) const;
    // The operand's text form; a field renders as `fieldName`.
    std::string ToText(const std::string& fieldName) const;

    uint32_t m_uKind = 0;
    // Operator code, boolean, number; a date's 64-bit seconds.
    uint64_t m_uNumber = 0;
    std::string m_sText;
    // Sensor identity: address, then name.
    std::string m_sAddress;
    std::string m_sName;
    // Alert name: name type and name.
    uint32_t m_uNameType = 0;
    std::string m_sAlertName;
};

class CEfExpression {
public:
    struct DateBound {
        uint32_t m_uOperator;
        uint64_t m_uDate;
    };

    CEfExpression() = default;
    CEfExpression(const CEfExpression&) = default;
    CEfExpression& operator=(const CEfExpression&) = default;
    virtual ~CEfExpression();

    // [field, operand, operator].  Valid for numbers and dates with any
    // operator, and for texts, sensor identities and alert names with "="
    // or "<>" only.
    static CEfExpression MakeComparison(uint32_t op, const CEfExpData& operand);

    // Appends `other` and the operator; kinds that differ make the
    // expression invalid.
    void Combine(uint32_t op, const CEfExpression& other);
    void Negate();

    // Runs the tokens with `field` standing for the field under test.
    StatusCode Evaluate(const CEfExpData& field, bool& result) const;

    // One bound (3 tokens) or two (7 tokens) of a date expression.
    StatusCode GetDateRange(DateBound bounds[2], uint32_t& count);

    bool Equals(const CEfExpression& other) const;
    bool IsEmpty() const { return m_Tokens.empty(); }

    uint32_t m_uKind = 0;
    uint8_t m_bValid = 0;
    std::vector<CEfExpData> m_Tokens;
};

// The expression over date fields; it adds nothing of its own.
class CEfDateTimeExpression : public CEfExpression {
public:
    using CEfExpression::CEfExpression;
    ~CEfDateTimeExpression() override;
};
