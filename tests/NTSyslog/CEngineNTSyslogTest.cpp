#include "NTSyslog/CEngineNTSyslog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "Common/AgentEventInfo.h"
#include "Common/CatchUps.h"
#include "Common/EngineBase.h"
#include "Common/InputBounds.h"
#include "TextLogs/LogLineTemplates.h"
#include "TextLogs/LogRuleFixture.h"
#include "platform/Sockets.h"
#include "qorCSFLib/CSFLog.h"
#include "qorCSFLib/CSFSensor.h"
#include "support/EngineEnd.h"
#include "support/TestUtil.h"

namespace {

uint32_t Address(const char* pszDotted) {
    uint32_t dwAddress = 0;
    plat::ParseIpv4Address(pszDotted, dwAddress);
    return dwAddress;
}

std::string Pair(const AgentEventInfo& record, const char* pszName) {
    std::string strValue = "<absent>";
    record.GetInfoPairValue(pszName, strValue);
    return strValue;
}

class SyslogEngineTest : public ::testing::Test, public LogRuleFixture {
protected:
    SyslogEngineTest() { m_FrameworkSensor.SetSensorAddress("192.0.2.7"); }
    ~SyslogEngineTest() override {
        hwtest::EndEngine(m_pEngine);
        m_Sensor.DeleteRules();
    }

    // An enabled syslog rule matching `pszPattern` (null: every text).
    std::string AddSyslogRule(const char* pszName, const char* pszPattern,
                              const std::vector<std::pair<const char*, const char*>>& pairs = {}) {
        std::string strPath = AddRule(pszName, nullptr, nullptr);
        if (pszPattern != nullptr) {
            Set(strPath, "Regular Expression", pszPattern);
        }
        for (const auto& pair : pairs) {
            Set(strPath + "\\Info", pair.first, pair.second);
        }
        return strPath;
    }
    void Start() {
        m_pEngine = std::make_unique<CEngineNTSyslog>();
        m_pEngine->SetListenPort(hwtest::FreeLoopbackPort(true));
        m_Sensor.m_pPolicy = m_pPolicy;
        ASSERT_EQ(m_pEngine->Oninit(0), 0);
    }
    std::vector<std::unique_ptr<AgentEventInfo>> Parse(const std::string& strText,
                                                       const char* pszSender = "198.51.100.9") {
        m_pEngine->ParseEntry(Address(pszSender), strText);
        return m_Sensor.TakeReported();
    }

    CSFSensor m_FrameworkSensor;
    std::unique_ptr<CEngineNTSyslog> m_pEngine;
};

}  // namespace

TEST_F(SyslogEngineTest, InfoTemplatesResolveAgainstTheWholeText) {
    std::string strLong(1500, 'x');
    strLong += " TAILMARK";
    strLong.resize(2000, 'y');
    const std::string strLogin = "login failed for user alice from 10.1.2.3 port 22";
    // Whoever writes the message chooses its length: what a rule names lies
    // wherever the writer put it.
    const std::string strPadded = std::string(1200, '.') + " " + strLogin;
    const struct {
        const char* pszName;
        const char* pszTemplate;
        std::string strText;
        std::string strValue;
    } kCases[] = {
        // A field template without a number, or with a letter or a negative
        // one, means field 0.
        {"Bare", "@Field", "a b", "a"},
        {"Negative", "@Field-3", "a b", "a"},
        {"File", "@File", "a b", "Syslog Port"},
        {"Group", "@Group", "a b", "_QorDefaultLogGroupName"},
        {"User", "user {!} from", strLogin, "alice"},
        {"AttackOrigin", "from {!} port", strLogin, "10.1.2.3"},
        // A template that finds nothing gives an empty pair, but no attack
        // origin at all.
        {"Who", "by {!};", "a b", ""},
        {"AttackOrigin", "from {!} port", "a b", "<absent>"},
        {"First", "@Field0", strLong, std::string(1500, 'x')},
        {"Second", "@Field1", strLong, "TAILMARK" + std::string(2000 - 1509, 'y')},
        {"User", "user {!} from", strPadded, "alice"},
        {"AttackOrigin", "from {!} port", strPadded, "10.1.2.3"},
        {"Tenth", "@Field9", strPadded, "22"},
        // A suffix that does not follow leaves the rest of the text.
        {"Rest", "port {!} ssh", strPadded, "22"},
    };
    std::vector<std::pair<const char*, const char*>> pairs;
    for (const auto& c : kCases) {
        pairs.emplace_back(c.pszName, c.pszTemplate);
    }
    AddSyslogRule("Templates", nullptr, pairs);
    AddSyslogRule("Tail", "TAILMARK");
    Start();
    for (const auto& c : kCases) {
        SCOPED_TRACE(std::string(c.pszTemplate) + " on " + c.strText.substr(0, 20));
        auto records = Parse(c.strText);
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(Pair(*records[0], c.pszName), c.strValue);
    }
    // The long text is matched whole: every matching rule reports, in order.
    auto records = Parse(strLong);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1]->GetRuleName(), "Tail");
    // The sensor is the source; the sender is the destination.
    EXPECT_TRUE(records[0]->m_bSourceAddressSet && records[0]->m_bDestinationAddressSet);
    EXPECT_EQ(records[0]->m_dwSourceAddress, Address("192.0.2.7"));
    EXPECT_EQ(records[0]->m_dwDestinationAddress, Address("198.51.100.9"));
}

// What the load says of an "@" name is what the engine does with it: a
// name it says is no marker of a syslog rule is given as it stands, and
// every other one gives something else.
TEST_F(SyslogEngineTest, NameTheLoadSaysIsNoMarkerIsTakenAsItStands) {
    const char* kNames[] = {"@Field2", "@File", "@Group", "@Host", "@Remote",
                            "@HostIP", "@String0", "@Access1", "@Sid", "@Fild4"};
    std::vector<std::string> names;
    for (size_t i = 0; i < std::size(kNames); ++i) {
        names.push_back("Pair " + std::to_string(i));
    }
    std::vector<std::pair<const char*, const char*>> pairs;
    for (size_t i = 0; i < names.size(); ++i) {
        pairs.emplace_back(names[i].c_str(), kNames[i]);
    }
    AddSyslogRule("Names", nullptr, pairs);
    Start();
    auto records = Parse("alpha beta gamma");
    ASSERT_EQ(records.size(), 1u);
    size_t nSaid = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(kNames[i]);
        const std::string strSaid = "information pair \"" + names[i] + "\": the template \"" + kNames[i] +
                                    "\" is no marker of a syslog rule";
        bool bSaid = false;
        for (const std::string& strFinding : TemplateFindings()) {
            bSaid = bSaid || strFinding.find(strSaid) != std::string::npos;
        }
        EXPECT_EQ(bSaid, Pair(*records[0], names[i].c_str()) == kNames[i]);
        nSaid += bSaid ? 1 : 0;
    }
    EXPECT_EQ(nSaid, 5u);
}

// Of 1,000 rules only those the scanner names are visited; with debug
// logging on every rule is, so the trace can say what each made of the
// message.  Either way each matching rule reports once, in rule order.
TEST_F(SyslogEngineTest, OnlyMatchingRulesReportInOrderWithDebugLoggingOnOrOff) {
    constexpr int kRules = 1000;
    for (int n = 0; n < kRules; ++n) {
        const std::string strName = "R" + std::to_string(n);
        AddSyslogRule(strName.c_str(), (" " + strName + " failed").c_str(), {{"Who", "@Field2"}});
    }
    Start();
    const std::string strText = "x R7 failed R999 failed R0 failed R70 passed";
    for (const bool bDebug : {false, true}) {
        SetDebugLoggingEnabled(bDebug);
        auto records = Parse(strText);
        SetDebugLoggingEnabled(false);
        ASSERT_EQ(records.size(), 3u) << (bDebug ? "debug" : "no debug");
        EXPECT_EQ(records[0]->GetRuleName(), "R0");
        EXPECT_EQ(records[1]->GetRuleName(), "R7");
        EXPECT_EQ(records[2]->GetRuleName(), "R999");
        EXPECT_EQ(Pair(*records[2], "Who"), "failed");
    }
    EXPECT_TRUE(Parse("R5 passed").empty());
}

// Whoever sends a datagram chooses every byte of it: a signature placed
// anywhere, after any bytes (NUL and other control bytes, bytes that are no
// UTF-8) in a datagram of any length up to the largest one taken, is
// matched exactly once, and its value read whole.
TEST_F(SyslogEngineTest, ASignatureAfterAnyBytesIsMatchedOnceWithItsValue) {
    AddSyslogRule("Password", "Failed password for [a-z]+ from",
                  {{"User", "password for {!} from"}, {"Seventh", "@Field6"}});
    Start();
    const std::string strMarker = "Failed password for mallory from 203.0.113.5";
    std::mt19937 random(20241107);
    const auto Filler = [&](size_t nLength) {
        std::string strBytes;
        for (size_t n = 0; n < nLength; ++n) {
            switch (random() % 4) {
                case 0:
                    strBytes += '\0';
                    break;
                case 1:
                    strBytes += static_cast<char>(1 + random() % 31);
                    break;
                case 2:
                    strBytes += static_cast<char>(0x80 + random() % 128);
                    break;
                default:
                    strBytes += static_cast<char>(' ' + random() % 95);
                    break;
            }
        }
        return strBytes;
    };
    constexpr size_t kLargest = 65505;
    for (int nRound = 0; nRound < 120; ++nRound) {
        // Mostly short datagrams, a third of any length, and the largest.
        const size_t nSpread = nRound % 3 == 0 ? kLargest - strMarker.size() + 1 : 300;
        const size_t nLength = nRound == 0 ? kLargest : strMarker.size() + random() % nSpread;
        const size_t nAt = random() % (nLength - strMarker.size() + 1);
        const std::string strText =
            Filler(nAt) + strMarker + Filler(nLength - nAt - strMarker.size());
        SCOPED_TRACE("round " + std::to_string(nRound) + ": " + std::to_string(nLength) +
                     " bytes, the signature at " + std::to_string(nAt));
        ASSERT_EQ(strText.size(), nLength);
        auto records = Parse(strText);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(Pair(*records[0], "User"), "mallory");
    }
    // A NUL inside the signature is no blank: it breaks the signature, and a
    // field goes on past it.
    using namespace std::string_literals;
    EXPECT_TRUE(Parse("Failed password\0for mallory from"s).empty());
    auto records = Parse("x\0y Failed password for mallory from a\0b c"s);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(Pair(*records[0], "Seventh"), "a\0b"s);
}

// The demo's rules, as scripts/run uses them, against what su, sshd and
// login send through logger.
TEST_F(SyslogEngineTest, DemoRulesNameTheUserOfFailedSuAndLogIns) {
    const std::string strDemo = std::string(HW_SOURCE_DIR) + "/examples/demo/Default.policy";
    ASSERT_EQ(m_pPolicy->LoadFile(strDemo.c_str(), "", "", false), 0);
    Start();
    const struct {
        const char* pszText;
        const char* pszRule;
        const char* pszUser;
    } kCases[] = {
        {"<13>Dec  6 18:17:00 vm su: FAILED SU (to root) alice on pts/0", "Failed su", "alice"},
        {"<85>Dec  6 18:17:00 vm su[77]: pam_unix(su:auth): authentication failure; logname=bob "
         "uid=1000 euid=0 tty=pts/1 ruser=bob rhost=  user=root",
         "Failed su", "bob"},
        {"<38>Dec  6 18:17:00 vm sshd[42]: Failed password for invalid user mallory from "
         "203.0.113.5 port 52144 ssh2",
         "Failed log-in", "mallory"},
        {"<38>Dec  6 18:17:00 vm sshd[42]: Failed password for root from 203.0.113.5 port 2 ssh2",
         "Failed log-in", "root"},
        {"<13>Dec  6 18:17:00 vm login[9]: FAILED LOGIN (1) on '/dev/tty1' FOR 'carol', "
         "Authentication failure",
         "Failed log-in", "carol"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.pszText);
        auto records = Parse(c.pszText);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0]->GetRuleName(), c.pszRule);
        EXPECT_EQ(Pair(*records[0], "User"), c.pszUser);
    }
    EXPECT_TRUE(Parse("<13>Dec  6 18:17:00 vm su: (to root) alice on pts/0").empty());
}

// A reload's pause ends the matching, not the listening: the queue takes
// what arrives while the rules are read, up to its 64 MiB, and what it
// cannot keep then is said at the resume on a line of its own, apart from
// what was dropped before the reload, and counted with the queue's bound,
// so that the reload's own report has both.  The rest is matched after it.
TEST_F(SyslogEngineTest, WhatAReloadDroppedWhileTheRulesWereReadIsSaidAtItsResume) {
    AddSyslogRule("Any", nullptr);
    Start();
    ASSERT_EQ(m_pEngine->OnStart(0), 0);
    ASSERT_EQ(m_pEngine->OnPauseInit(CEngineBase::kReloadArgument), 0);
    ASSERT_EQ(m_pEngine->OnPause(CEngineBase::kReloadArgument), 0);
    // Datagrams of 64,000 bytes, of which the queue keeps 1,024: 16 to
    // each of its 64 blocks of 1 MiB.  They go a few at a time, so the
    // socket takes them all, but for what a busy machine's system drops
    // when the listener is kept from its socket: counted apart.  At least
    // 1,200 go, and more until the queue has left one out, however many
    // the system dropped.
    const plat::SocketHandle sender = plat::OpenUdpSocket();
    ASSERT_NE(sender, plat::kInvalidSocket);
    plat::Ipv4Endpoint target;
    plat::ParseIpv4Address("127.0.0.1", target.m_dwAddress);
    target.m_wPort = plat::PortField(m_pEngine->GetListenPort());
    const std::string strText(64000, 'd');
    constexpr size_t kAtLeast = 1200;
    constexpr size_t kAtMost = 50000;
    size_t nSent = 0;
    while (nSent < kAtMost && (nSent < kAtLeast || m_pEngine->GetDroppedCount() == 0)) {
        ASSERT_EQ(plat::SendDatagram(sender, strText.data(), strText.size(), target),
                  static_cast<long>(strText.size()));
        if (++nSent % 8 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    plat::CloseSocket(sender);
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return m_pEngine->GetDroppedCount() + m_pEngine->GetSystemDroppedCount() >= nSent - 1024;
    })) << m_pEngine->GetDroppedCount() << " with the queue full, " << m_pEngine->GetSystemDroppedCount()
        << " by the system, of " << nSent;
    const uint64_t qwSystem = m_pEngine->GetSystemDroppedCount();
    ASSERT_GT(m_pEngine->GetDroppedCount(), 0u) << "the queue never filled: " << qwSystem << " dropped by the system, of "
                                                << nSent;
    for (const std::string& strLine : m_HostLog.m_Services.Texts()) {
        EXPECT_EQ(strLine.find("NTSyslog dropped"), std::string::npos) << strLine;
    }
    EXPECT_TRUE(m_Sensor.TakeReported().empty());
    ASSERT_EQ(m_pEngine->OnReloadPolicy(CEngineBase::kReloadArgument), 0);
    ASSERT_EQ(m_pEngine->OnResume(CEngineBase::kReloadArgument), 0);
    const std::string strDropped = std::to_string(m_pEngine->GetDroppedCount());
    EXPECT_EQ(nSent - 1024, m_pEngine->GetDroppedCount() + qwSystem);
    EXPECT_TRUE(m_HostLog.Contains("NTSyslog dropped " + std::to_string(nSent - 1024) +
                                   " datagrams while a reload kept the rules from them: " + strDropped +
                                   " with the queue full, 0 too large, 0 unparsed at a stop, 0 left in the "
                                   "socket at a stop, " + std::to_string(qwSystem) +
                                   " by the system with the socket's buffer full"));
    bool bCounted = false;
    for (const std::string& strBound : InputBounds::Instance().Describe()) {
        bCounted = bCounted || strBound.find("at most 64 MiB of datagrams waiting to be parsed; " + strDropped +
                                             " datagrams left out") != std::string::npos;
    }
    EXPECT_TRUE(bCounted);
    // The reload waits for the queue's backlog to be parsed, which it is,
    // with nothing more arriving.
    EXPECT_TRUE(CatchUps::Instance().WaitForAll(std::chrono::minutes(2)).empty());
    size_t nParsed = 0;
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        nParsed += m_Sensor.TakeReported().size();
        return nParsed == 1024;
    })) << nParsed;
    m_pEngine->OnStopInit(0);
    m_pEngine->OnStop(0);
}

// The templates the syslog and text-log engines share read a whole line of
// 3,000 bytes before what they name: a field's number counts on past any
// length, and a template finds its value wherever it stands.
TEST(LineTemplates, FieldsAndTemplatesReadAWholeLongLine) {
    const std::string strLine = std::string(3000, '-') +
                                " authentication failed for user bob from 198.51.100.7 via web";
    std::string strValue = "stale";
    EXPECT_TRUE(ResolveLineTemplate("@Field5", strLine, strValue));
    EXPECT_EQ(strValue, "bob");
    EXPECT_TRUE(ResolveLineTemplate("@Field 7", strLine, strValue));
    EXPECT_EQ(strValue, "198.51.100.7");
    EXPECT_TRUE(ResolveLineTemplate("@Field12", strLine, strValue));
    EXPECT_EQ(strValue, "");
    EXPECT_TRUE(ResolveLineTemplate("from {!} via", strLine, strValue));
    EXPECT_EQ(strValue, "198.51.100.7");
    EXPECT_TRUE(ResolveLineTemplate("user {!} over|via {!}", strLine, strValue));
    EXPECT_EQ(strValue, "bob from 198.51.100.7 via web");
    EXPECT_FALSE(ResolveLineTemplate("port {!} ", strLine, strValue));
    EXPECT_EQ(strValue, "");
}

// Nothing parses the queue after a stop: the stop parses what a reload's
// pause left queued, for its share of the
// stop's time, and what that time leaves is said, as a warning the host
// keeps, and told to the host for the stop's tally.
TEST_F(SyslogEngineTest, TheStopParsesWhatIsQueuedWithinItsTimeAndCountsWhatItLeft) {
    AddSyslogRule("Any", "queued");
    constexpr size_t kSent = 40;
    const auto SendQueued = [&] {
        const plat::SocketHandle sender = plat::OpenUdpSocket();
        ASSERT_NE(sender, plat::kInvalidSocket);
        plat::Ipv4Endpoint target;
        plat::ParseIpv4Address("127.0.0.1", target.m_dwAddress);
        target.m_wPort = plat::PortField(m_pEngine->GetListenPort());
        for (size_t n = 0; n < kSent; ++n) {
            const std::string strText = "queued " + std::to_string(n);
            ASSERT_EQ(plat::SendDatagram(sender, strText.data(), strText.size(), target),
                      static_cast<long>(strText.size()));
        }
        plat::CloseSocket(sender);
    };
    const auto LostNotices = [&] {
        std::vector<std::string> found;
        for (const std::string& strNotice : m_HostLog.m_Services.Notices()) {
            if (strNotice.find("Lost at the stop: ") != std::string::npos) {
                found.push_back(strNotice);
            }
        }
        return found;
    };
    for (const bool bTime : {true, false}) {
        SCOPED_TRACE(bTime ? "a second to parse" : "no time to parse");
        Start();
        if (!bTime) {
            m_pEngine->SetStopParsing(std::chrono::milliseconds(0));
        }
        ASSERT_EQ(m_pEngine->OnStart(0), 0);
        // Paused for a reload: the listener goes on queueing, nothing parses.
        ASSERT_EQ(m_pEngine->OnPauseInit(CEngineBase::kReloadArgument), 0);
        ASSERT_EQ(m_pEngine->OnPause(CEngineBase::kReloadArgument), 0);
        SendQueued();
        ASSERT_TRUE(hwtest::WaitUntil([&] { return m_pEngine->QueuedCount() == kSent; }));
        ASSERT_EQ(m_pEngine->OnStopInit(0), 0);
        ASSERT_EQ(m_pEngine->OnStop(0), 0);
        const size_t nParsed = m_Sensor.TakeReported().size();
        const std::vector<std::string> notices = LostNotices();
        if (bTime) {
            EXPECT_EQ(kSent, nParsed) << "every datagram queued is an alert";
            EXPECT_TRUE(notices.empty()) << notices.front();
        } else {
            EXPECT_EQ(0u, nParsed);
            EXPECT_TRUE(m_HostLog.Contains("NTSyslog dropped 40 datagrams: 0 with the queue full, 0 too large, 40 "
                                           "unparsed at a stop, 0 left in the socket at a stop, 0 by the system "
                                           "with the socket's buffer full"));
            bool bWarned = false;
            for (const LoggedLine& line : m_HostLog.m_Services.Lines()) {
                bWarned = bWarned || (line.text.find("40 unparsed at a stop") != std::string::npos &&
                                      line.dwLevel == static_cast<uint32_t>(kCSFLogWarning | kCSFLogConsoleFlag));
            }
            EXPECT_TRUE(bWarned) << "the host keeps it among its findings and says it on the console";
            ASSERT_EQ(1u, notices.size());
            EXPECT_NE(std::string::npos,
                      notices[0].find("Lost at the stop: 40 syslog datagrams left unparsed in the queue"))
                << notices[0];
        }
        m_pEngine.reset();
    }
}

// A stop whose engine thread is still matching past its bound (a slow
// hand-over of the alerts, a starved machine) leaves the queue and the
// listener's counts to that thread, which still takes from the one and
// reads the other: the engine is said to be left running, and nothing it
// uses is let go under it.
TEST_F(SyslogEngineTest, StopThatLeavesTheThreadRunningLeavesItsQueueToIt) {
    AddSyslogRule("Any", "slow");
    Start();
    m_pEngine->SetStopBound(100);
    m_Sensor.m_nDeliveryMicros = 500000;
    ASSERT_EQ(m_pEngine->OnStart(0), 0);
    const plat::SocketHandle sender = plat::OpenUdpSocket();
    ASSERT_NE(sender, plat::kInvalidSocket);
    plat::Ipv4Endpoint target;
    plat::ParseIpv4Address("127.0.0.1", target.m_dwAddress);
    target.m_wPort = plat::PortField(m_pEngine->GetListenPort());
    constexpr size_t kSent = 4;
    for (size_t n = 0; n < kSent; ++n) {
        const std::string strText = "slow " + std::to_string(n);
        ASSERT_EQ(plat::SendDatagram(sender, strText.data(), strText.size(), target),
                  static_cast<long>(strText.size()));
    }
    plat::CloseSocket(sender);
    // The first alert handed over: the thread hands the others over for
    // a second and a half more.
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_Sensor.ReportedCount() >= 1; }));
    ASSERT_EQ(m_pEngine->OnStopInit(0), 0);
    EXPECT_NE(m_pEngine->OnStop(0), 0);
    EXPECT_TRUE(m_Console.Contains("did not end within 100 ms of its stop"));
    ASSERT_TRUE(hwtest::AwaitEngineEnd(*m_pEngine));
    EXPECT_GE(m_Sensor.ReportedCount(), 1u);
}
