#include "ResponseRunner.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "HostServices.h"
#include "Responses/FormatEmailResponse.h"
#include "Responses/HostWardenResponseSNMP.h"
#include "hostwarden/ICSFClassFactory.h"
#include "hostwarden/IPolicyContainer.h"
#include "qorCSFLib/ADFGenericEvent.h"
#include "qorCSFLib/CSFCommonResponseUserSpecified.h"
#include "qorCSFLib/CSFPolicyEvent.h"
#include "support/ConsoleCapture.h"
#include "support/NamespacedHost.h"
#include "support/TestUtil.h"
#include "support/TrapManager.h"

namespace {

// The formatters as the plug-in's factory hands them out.
class FormatterFactory : public ICSFClassFactory {
public:
    CSFResult CreateInstance(const CSFIdentifier& iid, void** ppObject) override {
        if (iid == CLSID_ResponseMail) {
            *ppObject = static_cast<ICSFCommonResponseMail*>(new CFormatEmailResponse());
        } else if (iid == CLSID_ResponseSNMP) {
            *ppObject = static_cast<ICSFCommonResponseSNMP*>(new CHostWardenResponseSNMP());
        } else if (iid == CLSID_ResponseUserSpecified) {
            *ppObject = static_cast<ICSFCommonResponseUserSpecified*>(
                new CCSFCommonResponseUserSpecified());
        } else {
            return CSF_E_NO_INTERFACE;
        }
        return CSF_S_OK;
    }
    uint32_t Release() override { return 0; }
};

class ChosenResponses : public CSFPolicyEvent {
public:
    explicit ChosenResponses(const char* pszResponses) { SetResponses(pszResponses); }
    IPolicyEventInterface* CreatePolicyEvent() override { return nullptr; }
    ICSFAlertEvent* CreateAlertEvent(const CSFAlertParameter*, AgentEventInfo*, uint32_t) override {
        return nullptr;
    }
};

// The texts of the findings of one level.
std::vector<std::string> TextsOf(const std::vector<DefinitionFinding>& findings, uint32_t dwLevel) {
    std::vector<std::string> texts;
    for (const DefinitionFinding& finding : findings) {
        if (finding.m_dwLevel == dwLevel) {
            texts.push_back(finding.m_strText);
        }
    }
    return texts;
}

struct ContainerReleaser {
    void operator()(IPolicyContainer* pContainer) const { pContainer->Release(); }
};

class ResponseRunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_pPolicy.reset(CreatePluginPolicyContainer());
        ASSERT_NE(nullptr, m_pPolicy);
        m_runner.SetClassFactory(&m_factory);
        m_event.SetHeaderValue(kAlertName, AlertValue::String("SSH_Fail"));
        m_event.SetHeaderValue(kAlertPriority, AlertValue::Uint32(2));
        m_event.SetHeaderValue(kAlertType, AlertValue::Uint32(203));
    }

    void Define(const char* pszKey, const char* pszName, const char* pszValue) {
        ASSERT_EQ(1, m_pPolicy->SetText(pszKey, pszName, pszValue));
    }

    std::vector<std::string> Outbox() const { return hwtest::MailFiles(m_root.File("outbox")); }

    hwtest::ScratchDirectory m_root;
    HostServices m_services;
    FormatterFactory m_factory;
    std::unique_ptr<IPolicyContainer, ContainerReleaser> m_pPolicy;
    ADFGenericEvent m_event;
    ResponseRunner m_runner{m_services, m_root.Path(), ""};
};

}  // namespace

TEST_F(ResponseRunnerTest, MailGoesToTheOutboxWithoutInjectedHeaders) {
    Define("\\Response\\EMAIL\\Admins", "To", "root@localhost");
    Define("\\Response\\EMAIL\\Admins", "Subject", "<AlertName> on <SensorName>");
    m_runner.LoadDefinitions(*m_pPolicy);
    m_event.SetHeaderValue(kAlertName, AlertValue::String("evil\nBcc: all@example.org"));
    ChosenResponses responses("EMAIL:Admins,DISPLAY:Default");
    EXPECT_EQ(1u, m_runner.Run(responses, m_event));
    auto files = Outbox();
    ASSERT_EQ(1u, files.size());
    const std::string mail = hwtest::ReadWholeFile(files[0]);
    // Nor does the line break start a line of the body.
    EXPECT_EQ(0u, mail.find("To: root@localhost\nSubject: evil Bcc: all@example.org on N/A\n\n"
                            "'evil Bcc: all@example.org' event"))
        << mail;
    EXPECT_NE(std::string::npos, mail.find("\tPriority: medium\n")) << mail;
}

// A choice the common policy does not define is carried out by no kind:
// no mail without recipients, no trap to a guessed manager, no program.
// Each is counted apart from the failures; new definitions that lack the
// choice still do not make it one.
TEST_F(ResponseRunnerTest, ChoiceWithoutDefinitionIsCountedNotCarriedOut) {
    ResponseRunner runner{m_services, m_root.Path(), "127.0.0.1:9"};
    runner.SetClassFactory(&m_factory);
    Define("\\Response\\EMAIL\\Admins", "To", "root@localhost");
    EXPECT_TRUE(runner.LoadDefinitions(*m_pPolicy));
    EXPECT_FALSE(runner.LoadDefinitions(*m_pPolicy));
    ChosenResponses responses("EMAIL:Undefined,USER SPECIFIED:Missing,SNMP:Managers");
    EXPECT_EQ(0u, runner.Run(responses, m_event));
    EXPECT_EQ(3u, runner.Undefined());
    EXPECT_EQ(0u, runner.Failures());
    EXPECT_EQ(0u, runner.ProgramsStarted());
    EXPECT_EQ(0u, runner.TrapsSent());
    EXPECT_TRUE(Outbox().empty());
}

// A definition that lacks what its kind needs is named once, at the load,
// with what it lacks; a choice of it makes nothing and is counted apart
// from the failures.  A trap without an "Address" is unusable only where
// hwhost has no manager of its own.
TEST_F(ResponseRunnerTest, UnusableDefinitionsAreNamedAtLoadAndCountedNotCarriedOut) {
    Define("\\Response\\EMAIL\\Admins", "To", "root@localhost");
    Define("\\Response\\EMAIL\\Unaddressed", "Subject", "<AlertName>");
    Define("\\Response\\EMAIL\\Blank", "To", " \t");
    Define("\\Response\\SNMP\\Managers", "Community", "ops");
    Define("\\Response\\SNMP\\Mistyped", "Address", "127.0.0.1");
    Define("\\Response\\USER SPECIFIED\\Idle", "Parameters", "<event>");
    Define("\\Response\\USER SPECIFIED\\Blank", "Program", "  ");
    std::vector<DefinitionFinding> findings;
    EXPECT_TRUE(m_runner.LoadDefinitions(*m_pPolicy, &findings));
    EXPECT_EQ(findings.size(), TextsOf(findings, kCSFLogError).size());
    EXPECT_EQ((std::vector<std::string>{
                  "EMAIL \\ Blank has no \"To\", so no mail is made for it",
                  "EMAIL \\ Unaddressed has no \"To\", so no mail is made for it",
                  "SNMP \\ Managers has no \"Address\" and hwhost was given no --snmp-manager, so "
                  "no trap is sent for it",
                  "SNMP \\ Mistyped has the \"Address\" \"127.0.0.1\", which is not HOST:PORT, so "
                  "no trap is sent for it",
                  "USER SPECIFIED \\ Blank has no \"Program\", so no program is started for it",
                  "USER SPECIFIED \\ Idle has no \"Program\", so no program is started for it",
              }),
              TextsOf(findings, kCSFLogError));

    ChosenResponses responses(
        "EMAIL:Unaddressed,EMAIL:Blank,SNMP:Managers,SNMP:Mistyped,USER SPECIFIED:Idle,"
        "USER SPECIFIED:Blank,EMAIL:Admins");
    EXPECT_EQ(1u, m_runner.Run(responses, m_event));
    EXPECT_EQ(6u, m_runner.Unusable());
    EXPECT_EQ(0u, m_runner.Undefined());
    EXPECT_EQ(0u, m_runner.Failures());
    EXPECT_EQ(0u, m_runner.TrapsSent());
    EXPECT_EQ(0u, m_runner.ProgramsStarted());
    const auto files = Outbox();
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(0u, hwtest::ReadWholeFile(files[0]).find("To: root@localhost\n"));

    ResponseRunner managed{m_services, m_root.Path(), "127.0.0.1:9"};
    findings.clear();
    managed.LoadDefinitions(*m_pPolicy, &findings);
    EXPECT_EQ(5u, findings.size());
    for (const std::string& text : TextsOf(findings, kCSFLogError)) {
        EXPECT_NE(0u, text.find("SNMP \\ Managers")) << text;
    }
}

// A program that cannot be run is an error of the load with the reason
// (none of that name, none along PATH, a folder, not executable), and each
// alert that chooses it says again why it could not be started.  A manager
// whose host name does not resolve is a warning: it may resolve later.
TEST_F(ResponseRunnerTest, ProgramsThatCannotRunAndManagersThatDoNotResolveAreNamedAtLoad) {
    const std::string script = m_root.File("notify.sh");
    hwtest::WriteWholeFile(script, "#!/bin/sh\nexit 0\n");
    ASSERT_EQ(0, ::chmod(script.c_str(), 0644));
    Define("\\Response\\USER SPECIFIED\\Gone", "Program", "/nonexistent/notify --now");
    Define("\\Response\\USER SPECIFIED\\Unlisted", "Program", "hw-no-such-program");
    Define("\\Response\\USER SPECIFIED\\Folder", "Program", m_root.Path().c_str());
    Define("\\Response\\USER SPECIFIED\\Plain", "Program", script.c_str());
    Define("\\Response\\USER SPECIFIED\\Fine", "Program", "true");
    // A name that fails without asking the machine's resolver, which in a
    // network of its own answers "try again" for any name.
    const std::string far = hwtest::UnresolvableHost();
    Define("\\Response\\SNMP\\Far", "Address", (far + ":162").c_str());
    Define("\\Response\\SNMP\\Near", "Address", "127.0.0.1:162");
    std::vector<DefinitionFinding> findings;
    m_runner.LoadDefinitions(*m_pPolicy, &findings);
    const std::string tail = "; each alert that chooses it fails to start it";
    EXPECT_EQ((std::vector<std::string>{
                  "USER SPECIFIED \\ Folder has the \"Program\" \"" + m_root.Path() +
                      "\", which cannot be run: it is a folder" + tail,
                  "USER SPECIFIED \\ Gone has the \"Program\" \"/nonexistent/notify\", which cannot be "
                  "run: No such file or directory" + tail,
                  "USER SPECIFIED \\ Plain has the \"Program\" \"" + script +
                      "\", which cannot be run: hwhost's account (uid " + std::to_string(::geteuid()) +
                      ") may not run it (Permission denied)" + tail,
                  "USER SPECIFIED \\ Unlisted has the \"Program\" \"hw-no-such-program\", which cannot "
                  "be run: no folder of PATH holds a file of that name" + tail}),
              TextsOf(findings, kCSFLogError));
    EXPECT_EQ((std::vector<std::string>{"SNMP \\ Far sends its traps to " + far +
                                        ", but its host name does not resolve (host not found); its traps "
                                        "fail until the name resolves"}),
              TextsOf(findings, kCSFLogWarning));

    ChosenResponses responses("USER SPECIFIED:Gone");
    EXPECT_EQ(0u, m_runner.Run(responses, m_event));
    EXPECT_EQ((std::vector<std::string>{"the USER SPECIFIED response \"Gone\" is not carried out: the program "
                                        "\"/nonexistent/notify\" could not be started (1 time)"}),
              m_runner.Problems().Summary());
}

// A flood of alerts starts no more programs than may run at once; the
// rest are counted, and the bound is said on the console and listed for
// the stop.  The programs run until the test lets them end, however slowly
// the machine starts them.
TEST_F(ResponseRunnerTest, ProgramsBeyondTheRunningLimitAreCountedNotStarted) {
    const std::string release = m_root.File("release");
    Define("\\Response\\USER SPECIFIED\\Slow", "Program",
           ("/bin/sh -c \"while [ ! -e " + release + " ]; do sleep 0.05; done\" sh").c_str());
    m_runner.LoadDefinitions(*m_pPolicy);
    ChosenResponses responses("USER SPECIFIED:Slow");
    hwtest::ConsoleCapture console;
    const size_t attempts = ResponseRunner::kMaxRunningPrograms + 5;
    for (size_t i = 0; i < attempts; ++i) {
        m_runner.Run(responses, m_event);
    }
    EXPECT_EQ(ResponseRunner::kMaxRunningPrograms, m_runner.ProgramsStarted());
    EXPECT_EQ(5u, m_runner.ProgramsNotStarted());
    EXPECT_TRUE(console.Contains("WARNING: Bound reached: user programs of responses: at most 32 running at "
                                 "once; 1 program left out (said again at most once a minute while it lasts)\n"))
        << console.Text();
    EXPECT_EQ((std::vector<std::string>{
                  "Bound reached: user programs of responses: at most 32 running at once; 5 programs left out"}),
              m_runner.BoundsReached());
    hwtest::WriteWholeFile(release, "");
    EXPECT_EQ(0u, m_runner.WaitForPrograms(60000));
}

// Whoever writes what an alert's values are read from chooses their
// length, which keeps no response from being carried out: a trap whose
// values pass what one datagram carries reaches a real manager, whole and
// decodable, with its longest value cut; a program whose parameter line
// passes what the system starts a program with is started, its longest
// arguments cut.  Each cut is said and counted as a bound of its response.
TEST_F(ResponseRunnerTest, TrapAndProgramOfAnAlertWithLongValuesAreCarriedOutWithTheirLongestValuesCut) {
    if (!hwtest::TrapManager::Available()) {
        GTEST_SKIP() << "snmptrapd is not installed (scripts/install-deps)";
    }
    hwtest::TrapManager manager;
    ASSERT_TRUE(manager.Start()) << manager.Log();
    const std::string lengths = m_root.File("lengths");
    Define("\\Response\\SNMP\\Ops", "Address", ("127.0.0.1:" + std::to_string(manager.Port())).c_str());
    Define("\\Response\\SNMP\\Ops", "Community", "hwtest");
    Define("\\Response\\USER SPECIFIED\\Echo", "Program",
           ("/bin/sh -c \"for a; do echo ${#a}; done >" + lengths + "\" sh").c_str());
    std::string parameters;
    for (int i = 0; i < 20; ++i) {
        parameters += "<OtherParameters> ";
    }
    Define("\\Response\\USER SPECIFIED\\Echo", "Parameters", parameters.c_str());
    m_runner.LoadDefinitions(*m_pPolicy);
    m_event.AppendAttribute(EventField::kAlertSection, "UserName", AlertValue::String(std::string(4095, 'u')));
    m_event.AppendAttribute(EventField::kAlertSection, "AttackOrigin", AlertValue::String(std::string(4095, 'o')));
    // 40 values of the longest length make a parameter line of 164,080
    // bytes, past what one argument may hold, and 20 of them past what all
    // together may.
    for (int i = 10; i < 50; ++i) {
        m_event.AppendAttribute(EventField::kParameterSection, "P" + std::to_string(i), AlertValue::String(std::string(4095, 'p')));
    }
    const size_t parameterLine = 40 * (1 + 3 + 2 + 4095 + 1);
    hwtest::ConsoleCapture console;
    ChosenResponses responses("SNMP:Ops,USER SPECIFIED:Echo");
    EXPECT_EQ(2u, m_runner.Run(responses, m_event));
    EXPECT_EQ(0u, m_runner.Failures());
    EXPECT_EQ(0u, m_runner.WaitForPrograms(20000));

    // Value 11 carries every further value: the one cut.
    const std::string valueEleven = ".1.3.6.1.4.1.32473.1.1.2.1.1.1.1.11.0 = STRING: \"";
    ASSERT_TRUE(manager.WaitFor(valueEleven, 30)) << manager.Log();
    const std::string traps = manager.Log();
    EXPECT_NE(std::string::npos, traps.find("TRAP, SNMP v1, community hwtest")) << traps;
    EXPECT_NE(std::string::npos, traps.find(".1.3.6.1.4.1.32473.1.1.2.1.1.1.1.1.0 = STRING: \"SSH_Fail\"")) << traps;
    const size_t start = traps.find(valueEleven) + valueEleven.size();
    const std::string kept = traps.substr(start, traps.find('"', start) - start);
    ASSERT_GT(kept.size(), 1000u) << traps;
    EXPECT_EQ(" UserName:" + std::string(kept.size() - 10, 'u'), kept);
    const size_t whole = (1 + 9 + 4095 + 2) + (1 + 13 + 4095 + 2) + 40 * (1 + 4 + 4095 + 2);
    const std::string trapBound = "Bound reached: the SNMP response \"Ops\": at most 1500 bytes a trap, its longest "
                                  "values cut; " + std::to_string(whole - kept.size()) + " bytes left out";

    const ResponseRunner::ArgumentRoom room = ResponseRunner::ProgramArgumentRoom("/bin/sh");
    std::vector<size_t> sizes;
    std::istringstream written(hwtest::ReadWholeFile(lengths));
    for (std::string line; std::getline(written, line);) {
        sizes.push_back(std::stoul(line));
    }
    ASSERT_EQ(20u, sizes.size());
    size_t all = 0;
    for (size_t size : sizes) {
        EXPECT_EQ(sizes[0], size);
        EXPECT_LE(size, room.m_nEach);
        all += size + 1 + sizeof(char*);
    }
    EXPECT_LE(all, room.m_nAll);
    EXPECT_LT(sizes[0], parameterLine);
    const std::string programBound = "Bound reached: the USER SPECIFIED response \"Echo\": at most " +
                                     std::to_string(room.m_nEach) + " bytes an argument and " +
                                     std::to_string(room.m_nAll) + " bytes of arguments in all, the longest cut; " +
                                     std::to_string(20 * (parameterLine - sizes[0])) + " bytes left out";
    EXPECT_EQ((std::vector<std::string>{trapBound, programBound}), m_runner.BoundsReached());
    EXPECT_TRUE(console.Contains("WARNING: " + trapBound + " (said again at most once a minute while it lasts)\n"))
        << console.Text();
}

// A manager whose address does not resolve fails its traps at once until
// it is tried again a minute later: each trap meanwhile is counted as
// failed with the reason met, which is said once.
TEST_F(ResponseRunnerTest, ManagerThatCannotBeReachedIsTriedAgainOnlyAfterAWhile) {
    const std::string far = hwtest::UnresolvableHost();
    Define("\\Response\\SNMP\\Far", "Address", (far + ":162").c_str());
    m_runner.LoadDefinitions(*m_pPolicy);
    ChosenResponses responses("SNMP:Far");
    hwtest::ConsoleCapture console;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(0u, m_runner.Run(responses, m_event));
    }
    EXPECT_EQ(5u, m_runner.Failures());
    EXPECT_EQ((std::vector<std::string>{"the SNMP response \"Far\" is not carried out: no socket for the SNMP "
                                        "manager " + far + ":162 (5 times)"}),
              m_runner.Problems().Summary());
    EXPECT_EQ(1u, hwtest::CountOf(console.Text(), "(tried again in 60 s)")) << console.Text();
}

TEST_F(ResponseRunnerTest, BlockDefinitionsBecomeTheSensorsBlockResponses) {
    Define("\\Response\\BLOCK\\Default", "Addresses", "10.1.2.3/24,192.0.2.7");
    const bool bAllow = true;
    m_pPolicy->SetBool("\\Response\\BLOCK\\Default", "Allow", &bAllow);
    const int32_t nAllow = 1;
    m_pPolicy->SetInt("\\Response\\BLOCK\\Counted", "Allow", &nAllow);
    Define("\\Response\\BLOCK\\Plain", "Addresses", "");
    Define("\\Response\\EMAIL\\Admins", "To", "root@localhost");
    const BlockResponseMap blocks = ResponseDefinitions::LoadBlockResponses(*m_pPolicy);
    EXPECT_EQ((BlockResponseMap{{"Counted", {"", 1}},
                                {"Default", {"10.1.2.3/24,192.0.2.7", 1}},
                                {"Plain", {"", 0}}}),
              blocks);
}

// The block definitions are read as the network engine reads them: a
// broadcast address written out and blank pieces are no mistake, a list
// past 15 addresses loses the rest, and only a definition left without an
// address is an error (with "Allow" off) or blocks everyone (with it on).
TEST(ResponseRunnerBlocks, BlockDefinitionsAreCheckedAsTheNetworkEngineReadsThem) {
    std::string sixteen;
    for (int n = 1; n <= 16; ++n) {
        sixteen += "192.0.2." + std::to_string(n) + ",";
    }
    const BlockResponseMap blocks = {
        {"Broadcast", {" 255.255.255.255 , ,10.0.0.0/8", 0}},
        {"Crowded", {sixteen, 1}},
        {"Blank", {" , ", 0}},
        {"Cut", {"10.1.2.3/", 1}},
    };
    std::vector<DefinitionFinding> findings;
    ResponseDefinitions::CheckBlockResponses(blocks, findings);
    std::vector<std::pair<uint32_t, std::string>> said;
    for (const DefinitionFinding& finding : findings) {
        said.emplace_back(finding.m_dwLevel, finding.m_strText);
    }
    EXPECT_EQ((std::vector<std::pair<uint32_t, std::string>>{
                  {kCSFLogError, "BLOCK \\ Blank has no \"Addresses\", so it blocks no intruder"},
                  {kCSFLogWarning,
                   "BLOCK \\ Crowded: \"Addresses\" lists more than 15 addresses; \"192.0.2.16\" are ignored"},
                  {kCSFLogWarning,
                   "BLOCK \\ Cut has no address in \"Addresses\" and \"Allow\" on, so it lets no intruder "
                   "through: the rules that choose it block every intruder"},
                  {kCSFLogWarning,
                   "BLOCK \\ Cut: \"Addresses\" holds \"10.1.2.3/\", not an address (a.b.c.d or a.b.c.d/n): "
                   "it matches no intruder"},
              }),
              said);
}

TEST(ResponseRunnerManager, ManagerMustBeHostAndPort) {
    std::string host;
    uint16_t port = 0;
    EXPECT_TRUE(ResponseRunner::SplitManager("127.0.0.1:16200", host, port));
    EXPECT_EQ("127.0.0.1:16200", host + ":" + std::to_string(port));
    for (const char* pszBad : {"127.0.0.1", ":162", "h:", "h:0", "h:70000", "h:16x", "h:+162",
                               "h: 162", "h:-1", "h:0x10", "h:0000162"}) {
        EXPECT_FALSE(ResponseRunner::SplitManager(pszBad, host, port)) << pszBad;
    }
}
