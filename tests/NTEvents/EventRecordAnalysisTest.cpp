#include "NTEvents/EventRecordAnalysis.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Common/InfoTemplateCheck.h"
#include "NTEvents/CNTEventRule.h"
#include "NTEvents/EventLogInfo.h"
#include "NTEvents/InitializeNTEventRules.h"
#include "platform/EventLog.h"
#include "qorCSFLib/FakeHost.h"

namespace {

using Texts = std::vector<std::string>;

std::vector<uint8_t> MakeRecord(uint32_t dwEventId, uint16_t wType, Texts strings,
                                const std::string& strSource = "Security",
                                std::vector<uint8_t> sid = {}, std::vector<uint8_t> data = {}) {
    plat::EventRecordFields fields;
    fields.m_uRecordNumber = 7;
    fields.m_uTimeGenerated = 1000;
    fields.m_uTimeWritten = 1001;
    fields.m_uEventId = dwEventId;
    fields.m_uEventType = wType;
    fields.m_sSourceName = strSource;
    fields.m_sComputerName = "HOST";
    fields.m_sid = std::move(sid);
    fields.m_strings = std::move(strings);
    fields.m_data = std::move(data);
    std::vector<uint8_t> record;
    EXPECT_EQ(0u, plat::BuildEventRecord(fields, record));
    return record;
}

class RecordAnalysisTest : public ::testing::Test {
protected:
    RecordAnalysisTest() {
        m_Rule.Enable();
        m_Rule.SetName("Rule");
        m_Rule.m_strLogName = "Security";
        m_Rule.m_nEventId = 529;
    }
    bool Matches(const std::vector<uint8_t>& bytes, uint32_t dwId = 529,
                 const std::string& strLog = "Security") {
        EXPECT_TRUE(m_View.Parse(bytes.data(), static_cast<uint32_t>(bytes.size())));
        return RuleMatchesRecord(m_Rule, m_View, strLog, dwId);
    }
    // The alert's value of a pair or script variable.
    std::unique_ptr<EventLogInfo> Alert(const std::vector<uint8_t>& bytes) {
        EXPECT_TRUE(m_View.Parse(bytes.data(), static_cast<uint32_t>(bytes.size())));
        return std::unique_ptr<EventLogInfo>(MakeEventLogAlert(&m_Rule, m_View, 529));
    }
    static std::string Pair(EventLogInfo& alert, const char* pszName) {
        std::string strValue = "<absent>";
        alert.GetInfoPairValue(pszName, strValue);
        return strValue;
    }
    static std::string Variable(EventLogInfo& alert, const std::string& strName) {
        std::string strValue = "<absent>";
        alert.GetScriptVariableValue(strName.c_str(), strValue);
        return strValue;
    }

    ScopedHostLog m_HostLog;
    CNTEventRule m_Rule;
    EventRecordView m_View;
};

}  // namespace

TEST_F(RecordAnalysisTest, TypeIsComparedWholeAndSourceAsACaseSensitivePrefix) {
    m_Rule.m_wEventType = 8;
    EXPECT_FALSE(Matches(MakeRecord(529, 16, {})));
    EXPECT_TRUE(Matches(MakeRecord(529, 8, {})));
    EXPECT_FALSE(Matches(MakeRecord(529, 8, {}), 530));
    EXPECT_FALSE(Matches(MakeRecord(529, 8, {}), 529, "security"));
    m_Rule.m_wEventType = 0;
    m_Rule.m_strSourceName = "Security";
    EXPECT_TRUE(Matches(MakeRecord(529, 16, {}, "SecurityCenter")));
    EXPECT_FALSE(Matches(MakeRecord(529, 16, {}, "security")));
}

TEST_F(RecordAnalysisTest, PlaceholdersPickSplitAndTranslateInsertionStrings) {
    const std::pair<const char*, const char*> kPairs[] = {
        {"@String1", "beta 1537 gamma"}, {"@Access1", "beta,DELETE,gamma"},
        {"@String5", ""},                {"@String-1", ""},
        {"@Sid", ""},                    {"@Sid2", "NT AUTHORITY\\SYSTEM"},
        {"@Sid0", "unknown user"},       {"@Sidney", "@Sidney"},
        {"user={!};", "bob"},            {"literal", "literal"}};
    for (const auto& [pszName, pszValue] : kPairs) {
        SetRuleInfoPair(&m_Rule, pszName, pszName);
    }
    std::unique_ptr<EventLogInfo> pAlert =
        Alert(MakeRecord(529, 16, {"alpha", "beta%%1537\tgamma", "S-1-5-18", "user=bob;"}, "Sec",
                         {}, {0x0a, 0xff, 0x00}));
    ASSERT_TRUE(pAlert);
    for (const auto& [pszName, pszValue] : kPairs) {
        EXPECT_EQ(pszValue, Pair(*pAlert, pszName)) << pszName;
    }
    EXPECT_EQ("Local", pAlert->GetAttackOrigin().value_or(""));
    EXPECT_EQ("Sec", pAlert->GetSourceName());
    EXPECT_EQ(EventLogInfo::kRecordKind, pAlert->GetRecordKind());
    EXPECT_EQ("0aff00", Variable(*pAlert, "__qor_eventlog_Data"));
    EXPECT_EQ("0x10", Variable(*pAlert, "__qor_eventlog_EventType"));
    EXPECT_EQ("HOST", Variable(*pAlert, "__qor_eventlog_ComputerName"));
    EXPECT_EQ("user=bob;", Variable(*pAlert, "__qor_eventlog_String3"));
    EXPECT_EQ("", Variable(*pAlert, "__qor_eventlog_UserSid"));
}

// What the load says of a template is what a record's alert gets from it:
// a name it says is no marker is given as it stands, and a string it says
// lies past those a rule reads is empty, on a record of 40 strings too.
TEST_F(RecordAnalysisTest, TemplateGivesWhatTheLoadSaysOfIt) {
    const InfoTemplateMarkers& markers = *CInitializeNTEventRules().GetTemplateMarkers();
    const char* kTemplates[] = {"@String31", "@String32", "@Access31", "@Access32", "@Sid31",
                                "@Sid32",    "@Sidney",   "@Field3",   "@Remote"};
    for (const char* pszTemplate : kTemplates) {
        SetRuleInfoPair(&m_Rule, pszTemplate, pszTemplate);
    }
    std::unique_ptr<EventLogInfo> pAlert = Alert(MakeRecord(529, 16, Texts(40, "S-1-5-18")));
    ASSERT_TRUE(pAlert);
    for (const char* pszTemplate : kTemplates) {
        SCOPED_TRACE(pszTemplate);
        const std::vector<std::string> findings = CheckInfoTemplate(markers, pszTemplate);
        const std::string strSaid = findings.empty() ? "" : findings[0];
        const std::string strValue = Pair(*pAlert, pszTemplate);
        EXPECT_EQ(strSaid.rfind("is no marker", 0) == 0, strValue == pszTemplate) << strSaid;
        EXPECT_EQ(strSaid.find("the value is always empty") != std::string::npos, strValue.empty()) << strSaid;
    }
}

// Whoever causes a record chooses its strings' length: a user name or an
// access list past the first 200 bytes still reaches the alert whole.
TEST_F(RecordAnalysisTest, PlaceholdersReadTheWholeInsertionString) {
    SetRuleInfoPair(&m_Rule, "User", "@String0");
    SetRuleInfoPair(&m_Rule, "Access", "@Access1");
    const std::string strPadding(300, 'p');
    std::string strCodes;
    for (int i = 0; i < 60; ++i) {
        strCodes += "%%1537 ";
    }
    std::unique_ptr<EventLogInfo> pAlert =
        Alert(MakeRecord(529, 16, {strPadding + "\tmallory", strCodes + "%%1538"}));
    ASSERT_TRUE(pAlert);
    EXPECT_EQ(strPadding + " mallory", Pair(*pAlert, "User"));
    std::string strNames;
    for (int i = 0; i < 60; ++i) {
        strNames += "DELETE,";
    }
    EXPECT_EQ(strNames + "READ_CONTROL", Pair(*pAlert, "Access"));
}

TEST_F(RecordAnalysisTest, RecordUserSidIsLookedUpForTheSidPlaceholder) {
    SetRuleInfoPair(&m_Rule, "Who", "@Sid");
    const std::vector<uint8_t> kSystem = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
    std::unique_ptr<EventLogInfo> pAlert = Alert(MakeRecord(529, 16, {}, "S", kSystem));
    ASSERT_TRUE(pAlert);
    EXPECT_EQ("NT AUTHORITY\\SYSTEM", Pair(*pAlert, "Who"));
    EXPECT_EQ("NT AUTHORITY\\SYSTEM", Variable(*pAlert, "__qor_eventlog_UserSid"));
    char szShort[6];
    EXPECT_EQ(1, LookupSidAccountName(kSystem.data(), kSystem.size(), szShort, sizeof szShort));
    EXPECT_STREQ("", szShort);
}

TEST_F(RecordAnalysisTest, ObjectAccessMatchesAuditedKeysAndFilesOnly) {
    m_Rule.m_nEventId = 560;
    const auto open = [](const char* pszObject) {
        return MakeRecord(560, 8, {"Security", "Key", pszObject});
    };
    EXPECT_FALSE(Matches(open("C:\\WINNT\\system32\\drivers\\etc\\hosts"), 560));
    m_Rule.KeyAuditValues() = {"HKEY_LOCAL_MACHINE\\Software\\Run", "HKEY_USERS\\S-1-5-18\\Env"};
    m_Rule.AuditedFiles() = {"C:\\WINNT\\system32\\...", "/etc/..."};
    EXPECT_TRUE(Matches(open("\\REGISTRY\\MACHINE\\SOFTWARE\\Run"), 560));
    EXPECT_TRUE(Matches(open("\\REGISTRY\\USER\\S-1-5-18\\Env"), 560));
    EXPECT_FALSE(Matches(open("\\REGISTRY\\MACHINE\\SOFTWARE\\Other"), 560));
    EXPECT_TRUE(Matches(open("C:\\WINNT\\system32\\drivers\\etc\\hosts"), 560));
    EXPECT_TRUE(Matches(open("/etc/shadow"), 560));
    EXPECT_FALSE(Matches(open("/etcetera"), 560));
    m_Rule.AuditedFiles() = {"c:\\winnt\\system32\\drivers\\etc\\HOSTS"};
    EXPECT_TRUE(Matches(open("C:\\WINNT\\system32\\drivers\\etc\\hosts"), 560));
    EXPECT_FALSE(Matches(MakeRecord(560, 8, {"only", "two"}), 560));
}

TEST_F(RecordAnalysisTest, FortyStringsAreAllVariablesButOnlyThirtyTwoAreMatched) {
    Texts strings;
    for (int i = 0; i < 40; ++i) {
        strings.push_back("s" + std::to_string(i));
    }
    m_Rule.m_pRegExpList = std::make_unique<NewRegularExpressionList>();
    m_Rule.m_pRegExpList->push_back(std::make_shared<NewRegularExpression>("^s14$", false, false, 14));
    const std::vector<uint8_t> bytes = MakeRecord(529, 16, strings);
    EXPECT_TRUE(Matches(bytes));
    EXPECT_TRUE(m_HostLog.Contains("pEntry->NumStrings (40) is too big"));
    std::unique_ptr<EventLogInfo> pAlert = Alert(bytes);
    EXPECT_EQ("s39", Variable(*pAlert, "__qor_eventlog_String39"));
    m_Rule.m_pRegExpList->front() = std::make_shared<NewRegularExpression>("x", false, false, 0);
    EXPECT_FALSE(Matches(bytes));
}

TEST_F(RecordAnalysisTest, OffsetsPointingOutsideTheRecordAreNeverFollowed) {
    SetRuleInfoPair(&m_Rule, "Who", "@Sid");
    SetRuleInfoPair(&m_Rule, "First", "@String0");
    std::vector<uint8_t> bytes = MakeRecord(529, 16, {"a", "b"}, "S", {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0},
                                            {1, 2, 3});
    const auto put = [&](uint32_t offset, uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            bytes[offset + static_cast<uint32_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
        }
    };
    using L = plat::EventLogLayout;
    put(L::kUserSidOffset, 0xFFFFFFF0u);
    put(L::kDataLength, 0x7FFFFFFFu);
    put(L::kStringOffset, static_cast<uint32_t>(bytes.size()));
    bytes[L::kNumStrings] = 200;
    std::unique_ptr<EventLogInfo> pAlert = Alert(bytes);
    ASSERT_TRUE(pAlert);
    EXPECT_EQ("", Pair(*pAlert, "Who"));
    EXPECT_EQ("", Pair(*pAlert, "First"));
    EXPECT_EQ("", Variable(*pAlert, "__qor_eventlog_Data"));
    EXPECT_EQ("<absent>", Variable(*pAlert, "__qor_eventlog_String0"));
    EXPECT_FALSE(m_View.Parse(bytes.data(), static_cast<uint32_t>(bytes.size()) - 4));
}
