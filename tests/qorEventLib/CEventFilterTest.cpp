#include "qorEventLib/CEventFilter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "qorEventLib/CQorEvent.h"
#include "qorEventLib/EventTestUtil.h"
#include "qorEventLib/qorEventStatus.h"

using evtest::Bytes;

namespace {

void PutWord(Bytes& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

void PutText(Bytes& out, const std::string& text) {
    PutWord(out, static_cast<uint32_t>(text.size() + 1));
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

// One entry "Name" LIKE pattern, valid as written, in the binary form.
Bytes LikeFilterBytes(const std::string& pattern) {
    Bytes bytes;
    PutWord(bytes, 3);
    PutWord(bytes, 1);
    PutWord(bytes, EF_TEXT);
    PutText(bytes, "Name");
    PutWord(bytes, 1);  // valid
    PutWord(bytes, EF_TEXT);
    PutWord(bytes, 3);
    PutWord(bytes, EF_FIELD);
    PutWord(bytes, EF_TEXT);
    PutText(bytes, pattern);
    PutWord(bytes, EF_OPERATOR);
    PutWord(bytes, EF_OP_LIKE);
    return bytes;
}

class CEventFilterTest : public ::testing::Test {
protected:
    void SetUp() override {
        evtest::FillHeader(m_event);
        ASSERT_EQ(QOR_S_OK, m_event.Add("Name", AlertValue::String("abcdef"), 1));
        ASSERT_EQ(QOR_S_OK, m_event.Add("Raw", AlertValue::Blob("x", 1), 1));
        ASSERT_EQ(QOR_S_OK, m_event.Add("Count", AlertValue::Uint8(200), 1));
    }

    bool PassesLike(const std::string& pattern) {
        Bytes bytes = LikeFilterBytes(pattern);
        CEventFilter filter;
        EXPECT_EQ(QOR_S_OK, filter.FromBytes(bytes.data(), bytes.size()));
        return m_event.Matches(filter);
    }

    CQorEvent m_event;
};

}  // namespace

TEST_F(CEventFilterTest, SensorIdentitiesAddedInTurnAreJoinedByOr) {
    CEventFilter filter;
    EXPECT_TRUE(filter.IsEmpty());
    EXPECT_TRUE(m_event.Matches(filter));
    filter.AddSensorID("192.0.2.7", "sensor-2");
    EXPECT_FALSE(m_event.Matches(filter));
    filter.AddSensorID("192.0.2.7", "sensor-1");
    EXPECT_TRUE(m_event.Matches(filter));
    filter.RemoveSensorID({"192.0.2.7", "sensor-1"});
    EXPECT_FALSE(m_event.Matches(filter));
}

TEST_F(CEventFilterTest, LikeMatchesOnlyTheFourPatternShapes) {
    for (const char* pszPattern : {"abc%", "%def", "%cd%", "%", "abcdef"}) {
        EXPECT_TRUE(PassesLike(pszPattern)) << pszPattern;
    }
    for (const char* pszPattern : {"a%c", "a%f%", "abd%", "abcde"}) {
        EXPECT_FALSE(PassesLike(pszPattern)) << pszPattern;
    }
}

// A text compared other than for equality, a missing or untestable field, and
// a text against a number all fail the event instead of passing it.
TEST_F(CEventFilterTest, EntriesThatCannotBeEvaluatedFailTheEvent) {
    bool result = true;
    CEfExpression like = CEfExpression::MakeComparison(EF_OP_LIKE, CEfExpData::Text("abc%"));
    EXPECT_EQ(EVL_FILTER_NOT_VALID, like.Evaluate(CEfExpData::Text("abcdef"), result));
    CEfExpression number = CEfExpression::MakeComparison(EF_OP_EQUAL, CEfExpData::Number(7));
    EXPECT_EQ(EVL_FILTER_TYPE_MISMATCH, number.Evaluate(CEfExpData::Text("7"), result));
    const std::pair<const char*, CEfExpression> entries[] = {
        {"Name", like}, {"Name", number}, {"NoSuchField", number}, {"Raw", number}};
    for (const auto& [name, expression] : entries) {
        CEventFilter filter;
        filter.AddExpression(name, EF_OP_AND, expression);
        EXPECT_FALSE(m_event.Matches(filter)) << name;
    }
    CEventFilter equal;
    equal.AddExpression("Name", EF_OP_AND, CEfExpression::MakeComparison(EF_OP_EQUAL, CEfExpData::Text("abcdef")));
    EXPECT_TRUE(m_event.Matches(equal));
}

TEST_F(CEventFilterTest, NumbersAndDatesCompareByValue) {
    CEventFilter filter;
    filter.AddExpression("AlertPriority", EF_OP_AND,
                         CEfExpression::MakeComparison(EF_OP_GREATER_EQUAL, CEfExpData::Number(2)));
    filter.AddExpression("Count", EF_OP_AND, CEfExpression::MakeComparison(EF_OP_GREATER, CEfExpData::Number(199)));
    filter.AddExpression("AlertDateTime", EF_OP_AND,
                         CEfExpression::MakeComparison(EF_OP_LESS, CEfExpData::Date(1700000001)));
    EXPECT_TRUE(m_event.Matches(filter));
    filter.AddExpression("AlertPriority", EF_OP_AND,
                         CEfExpression::MakeComparison(EF_OP_LESS, CEfExpData::Number(2)));
    EXPECT_FALSE(m_event.Matches(filter));
    EXPECT_EQ(QOR_S_OK, filter.Negate("AlertPriority"));
    EXPECT_TRUE(m_event.Matches(filter));
    EXPECT_EQ(EVL_FILTER_NO_ENTRY, filter.Negate("Missing"));
}

TEST_F(CEventFilterTest, AlertNameEntryTestsNameTypeAndName) {
    for (uint32_t dwType : {1u, 2u}) {
        CEventFilter filter;
        filter.AddExpression("efAlertName", EF_OP_AND,
                             CEfExpression::MakeComparison(EF_OP_EQUAL, CEfExpData::AlertName(dwType, "PortScan")));
        EXPECT_EQ(dwType == 1, m_event.Matches(filter)) << dwType;
    }
}

TEST(CEventFilter, TextFormRendersEachEntryInfix) {
    CEventFilter filter;
    filter.AddSensorID("192.0.2.7", "s1");
    filter.AddExpression("efAlertName", EF_OP_AND,
                         CEfExpression::MakeComparison(EF_OP_EQUAL, CEfExpData::AlertName(1, "Scan")));
    filter.AddExpression("AlertPriority", EF_OP_AND,
                         CEfExpression::MakeComparison(EF_OP_GREATER_EQUAL, CEfExpData::Number(2)));
    filter.AddExpression("AlertPriority", EF_OP_OR,
                         CEfExpression::MakeComparison(EF_OP_EQUAL, CEfExpData::Number(0)));
    filter.AddExpression("Custom", EF_OP_AND, CEfExpression::MakeComparison(EF_OP_NOT_EQUAL, CEfExpData::Text("x")));
    filter.Negate("Custom");
    std::string text;
    ASSERT_EQ(QOR_S_OK, filter.ToText(text));
    EXPECT_EQ(
        "((AlertPriority >= 2) OR (AlertPriority = 0)) AND (NOT( <> 'x')) AND "
        "(((AlertNameType = 1) AND (AlertName = 'Scan'))) AND "
        "(((SensorAddress = '192.0.2.7') AND (SensorName = 's1')))",
        text);

    CEventFilter ordered;
    ordered.AddExpression("efSensorID", EF_OP_AND,
                          CEfExpression::MakeComparison(EF_OP_NOT_EQUAL, CEfExpData::SensorId("a", "n")));
    EXPECT_EQ(EVL_FILTER_TYPE_MISMATCH, ordered.ToText(text));
}

TEST(CEventFilter, BinaryFormMatchesTheHandWorkedBytesAndReadsBack) {
    CEventFilter filter;
    filter.AddExpression("AlertPriority", EF_OP_AND,
                         CEfExpression::MakeComparison(EF_OP_GREATER_EQUAL, CEfExpData::Number(2)));
    Bytes expected;
    PutWord(expected, 3);
    PutWord(expected, 1);
    PutWord(expected, EF_TEXT);
    PutText(expected, "AlertPriority");
    for (uint32_t word : {1u, 4u, 3u, 2u, 4u, 2u, 1u, 6u}) {
        PutWord(expected, word);
    }
    Bytes bytes;
    filter.ToBytes(bytes);
    EXPECT_EQ(expected, bytes);

    filter.AddSensorID("192.0.2.7", "s1");
    filter.AddExpression("efAlertName", EF_OP_AND,
                         CEfExpression::MakeComparison(EF_OP_EQUAL, CEfExpData::AlertName(4, "n")));
    filter.AddExpression("When", EF_OP_AND,
                         CEfExpression::MakeComparison(EF_OP_LESS, CEfExpData::Date(0x123456789ull)));
    filter.ToBytes(bytes);
    CEventFilter back;
    ASSERT_EQ(QOR_S_OK, back.FromBytes(bytes.data(), bytes.size()));
    EXPECT_TRUE(back.Equals(filter));
    back.m_uMode = 4;
    EXPECT_FALSE(back.Equals(filter));
    // Dates travel high word first.
    const Bytes date = {0, 0, 0, 6, 0, 0, 0, 1, 0x23, 0x45, 0x67, 0x89};
    EXPECT_NE(bytes.end(), std::search(bytes.begin(), bytes.end(), date.begin(), date.end()));
}

TEST(CEventFilter, TruncatedOrMalformedBinaryFormIsRejected) {
    Bytes bytes = LikeFilterBytes("abc%");
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        Bytes part(bytes.begin(), bytes.begin() + cut);
        CEventFilter filter;
        filter.AddSensorID("a", "b");
        EXPECT_NE(QOR_S_OK, filter.FromBytes(part.data(), part.size())) << cut;
        EXPECT_TRUE(filter.IsEmpty());
    }
    Bytes badKind = bytes;
    badKind[badKind.size() - 8 + 3] = 0x09;  // the operator token's kind
    CEventFilter filter;
    EXPECT_EQ(QOR_E_INVALID_DATA, filter.FromBytes(badKind.data(), badKind.size()));
    Bytes noNul = bytes;
    noNul[8 + 4 + 4 + 4] = 'X';  // the entry name's terminating zero
    EXPECT_EQ(QOR_E_INVALID_DATA, filter.FromBytes(noNul.data(), noNul.size()));
    Bytes hugeCount = bytes;
    hugeCount[5] = 0x7F;
    EXPECT_NE(QOR_S_OK, filter.FromBytes(hugeCount.data(), hugeCount.size()));
}

TEST(CEfExpression, CombiningKindsThatDifferMakesItInvalid) {
    CEfExpression numbers = CEfExpression::MakeComparison(EF_OP_EQUAL, CEfExpData::Number(1));
    numbers.Combine(EF_OP_OR, CEfExpression::MakeComparison(EF_OP_EQUAL, CEfExpData::Number(2)));
    bool result = false;
    ASSERT_EQ(QOR_S_OK, numbers.Evaluate(CEfExpData::Number(2), result));
    EXPECT_TRUE(result);
    numbers.Combine(EF_OP_OR, CEfExpression::MakeComparison(EF_OP_EQUAL, CEfExpData::Date(2)));
    EXPECT_EQ(0, numbers.m_bValid);
}

TEST(CEfExpression, TokensThatLeaveNoSingleBooleanAreNotValid) {
    CEfExpression expression;
    expression.m_bValid = 1;
    expression.m_Tokens = {CEfExpData::Operator(EF_OP_AND)};
    bool result;
    EXPECT_EQ(EVL_FILTER_NOT_VALID, expression.Evaluate(CEfExpData::Number(1), result));
    expression.m_Tokens = {CEfExpData::Field(), CEfExpData::Number(1)};
    EXPECT_EQ(EVL_FILTER_NOT_VALID, expression.Evaluate(CEfExpData::Number(1), result));
    expression.m_Tokens = {CEfExpData::Field(), CEfExpData::Operator(EF_OP_NOT)};
    EXPECT_EQ(EVL_FILTER_TYPE_MISMATCH, expression.Evaluate(CEfExpData::Number(1), result));
}

TEST(CEfExpression, DateExpressionsReadBackAsRanges) {
    CEfDateTimeExpression range;
    range.Combine(EF_OP_AND, CEfExpression::MakeComparison(EF_OP_GREATER_EQUAL, CEfExpData::Date(100)));
    CEfExpression::DateBound bounds[2];
    uint32_t count = 0;
    range.Combine(EF_OP_AND, CEfExpression::MakeComparison(EF_OP_LESS, CEfExpData::Date(200)));
    ASSERT_EQ(QOR_S_OK, range.GetDateRange(bounds, count));
    ASSERT_EQ(2u, count);
    EXPECT_EQ(200u, bounds[1].m_uDate);
    EXPECT_EQ(uint32_t{EF_OP_LESS}, bounds[1].m_uOperator);
    range.Negate();
    EXPECT_EQ(EVL_FILTER_BAD_DATE_RANGE, range.GetDateRange(bounds, count));

    CEfExpression text = CEfExpression::MakeComparison(EF_OP_EQUAL, CEfExpData::Text("t"));
    EXPECT_EQ(EVL_FILTER_TYPE_MISMATCH, text.GetDateRange(bounds, count));
    EXPECT_EQ(0, text.m_bValid);
}
