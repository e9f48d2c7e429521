#include "AlertPipeline.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Common/AgentEventInfoDefault.h"
#include "Common/CPolicyEvent.h"
#include "Common/TestEngine.h"
#include "qorCSFLib/ADFGenericEvent.h"
#include "qorCSFLib/CSFAlertMessage.h"
#include "qorCSFLib/CSFPolicyEvent.h"
#include "qorCSFLib/CSFSensor.h"
#include "qorEventLib/CQorEvent.h"
#include "qorToolsLib/ReportLimiter.h"
#include "support/AlertOutputs.h"
#include "support/ConsoleCapture.h"
#include "support/ManualReportTime.h"
#include "support/NamespacedHost.h"
#include "support/TestUtil.h"

namespace {

// A file size limit plays the full disk: writes past it fail as they
// would with no space left (the first of them taking what still fits).
class FullDisk {
public:
    explicit FullDisk(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        m_bSet = ::getrlimit(RLIMIT_FSIZE, &m_previous) == 0;
        rlimit full = m_previous;
        full.rlim_cur = bytes;
        m_bSet = m_bSet && ::setrlimit(RLIMIT_FSIZE, &full) == 0;
    }
    ~FullDisk() { Lift(); }
    FullDisk(const FullDisk&) = delete;
    FullDisk& operator=(const FullDisk&) = delete;
    bool IsSet() const { return m_bSet; }
    void Lift() {
        if (m_bSet) {
            ::setrlimit(RLIMIT_FSIZE, &m_previous);
            m_bSet = false;
        }
    }

private:
    rlimit m_previous{};
    bool m_bSet = false;
};

// The documents of an alert file and the messages of a message file,
// failing the test when one is torn.
size_t WholeDocuments(const std::string& xml) {
    std::string problem;
    const size_t count = hwtest::CountWholeDocuments(xml, problem);
    EXPECT_EQ("", problem);
    return count;
}
size_t WholeMessages(const std::string& bytes) {
    std::string problem;
    const size_t count = hwtest::CountWholeMessages(bytes, problem);
    EXPECT_EQ("", problem);
    return count;
}

// The count of the not-written report for `whats`, 0 without one.
uint64_t NotWrittenIn(const std::vector<std::string>& reports, const std::string& whats) {
    std::string text;
    for (const std::string& report : reports) {
        text += report + "\n";
    }
    return hwtest::NotWrittenCount(text, whats);
}

// Makes an alert event named after the record's rule; the event takes the
// record, as the sensor's policy event does.
class NamingPolicyEvent : public CSFPolicyEvent {
public:
    explicit NamingPolicyEvent(ICSFSensor* pSensor) : m_pSensor(pSensor) {}
    IPolicyEventInterface* CreatePolicyEvent() override { return new NamingPolicyEvent(m_pSensor); }
    ICSFAlertEvent* CreateAlertEvent(const CSFAlertParameter* pParameters, AgentEventInfo* pRecord,
                                     uint32_t dwLevel) override {
        std::string name = pRecord->GetRuleName();
        delete pRecord;
        return new ADFGenericEvent(name.c_str(), 5, 1, this, m_pSensor, dwLevel, pParameters);
    }

private:
    ICSFSensor* m_pSensor;
};

// A policy event whose conversion is overtaken by a reload: the sink is
// handed a fresh event for the same name before the conversion ends.
class ReloadedMidwayPolicyEvent : public CSFPolicyEvent {
public:
    ReloadedMidwayPolicyEvent(HostEventHandler& handler, ICSFSensor* pSensor)
        : m_handler(handler), m_pSensor(pSensor) {
        SetName("Failed su");
    }
    IPolicyEventInterface* CreatePolicyEvent() override { return nullptr; }
    ICSFAlertEvent* CreateAlertEvent(const CSFAlertParameter* pParameters, AgentEventInfo* pRecord,
                                     uint32_t dwLevel) override {
        delete pRecord;
        m_handler.RegisterPolicyEvent("Failed su", new NamingPolicyEvent(m_pSensor));
        // Still this event's own name and priority, read after the reload.
        return new ADFGenericEvent(GetName(), 5, 1, this, m_pSensor, dwLevel, pParameters);
    }

private:
    HostEventHandler& m_handler;
    ICSFSensor* m_pSensor;
};

// A writer that cannot go on: each alert event, when the pipeline's thread
// serialises it, waits until the gate opens.
class WriterGate {
public:
    void Open() {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_bOpen = true;
        }
        m_opened.notify_all();
    }
    void Pass() {
        std::unique_lock<std::mutex> guard(m_lock);
        ++m_nHeld;
        m_opened.wait(guard, [this] { return m_bOpen; });
        --m_nHeld;
    }
    int Held() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_nHeld;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_opened;
    bool m_bOpen = false;
    int m_nHeld = 0;
};

class GatedPolicyEvent : public CSFPolicyEvent {
public:
    GatedPolicyEvent(ICSFSensor* pSensor, WriterGate& gate) : m_pSensor(pSensor), m_gate(gate) {}
    IPolicyEventInterface* CreatePolicyEvent() override { return nullptr; }
    ICSFAlertEvent* CreateAlertEvent(const CSFAlertParameter* pParameters, AgentEventInfo* pRecord,
                                     uint32_t dwLevel) override {
        std::string name = pRecord->GetRuleName();
        delete pRecord;
        return new GatedEvent(name.c_str(), this, m_pSensor, dwLevel, pParameters, m_gate);
    }

private:
    class GatedEvent : public ADFGenericEvent {
    public:
        GatedEvent(const char* pszName, IPolicyEventInterface* pPolicyEvent, ICSFSensor* pSensor,
                   uint32_t dwLevel, const CSFAlertParameter* pParameters, WriterGate& gate)
            : ADFGenericEvent(pszName, 5, 1, pPolicyEvent, pSensor, dwLevel, pParameters),
              m_gate(gate) {}
        uint32_t WriteMessage(CSFAlertMessage* pMessage) override {
            m_gate.Pass();
            return ADFGenericEvent::WriteMessage(pMessage);
        }

    private:
        WriterGate& m_gate;
    };

    ICSFSensor* m_pSensor;
    WriterGate& m_gate;
};

// A pipeline of a test's own, for outputs other than the fixture's files,
// with the policy event and the rule its alerts are handed under.
struct OwnPipeline {
    OwnPipeline() {
        m_handler.RegisterPolicyEvent("Failed su", new NamingPolicyEvent(&m_sensor));
        m_rule.SetName("Failed su");
    }
    void Hand(int count) {
        for (int i = 0; i < count; ++i) {
            CSFEventInfo info{7, "Failed su", "Failed su"};
            ASSERT_EQ(1, m_handler.HandleAlert(new TestRecord(&m_rule, 0), &info, 0, 15));
        }
    }

    CSFSensor m_sensor;
    HostServices m_services;
    AlertPipeline m_pipeline{m_services};
    HostEventHandler m_handler{m_pipeline};
    TestRule m_rule;
};

class AlertPipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_rule.SetName("Failed su");
        std::string error;
        ASSERT_TRUE(m_pipeline.Open(m_dir.File("alerts.xml"), m_dir.File("messages.bin"), error))
            << error;
    }

    void Hand(const char* pszName, Rule* pRule) {
        CSFEventInfo info{7, pszName, pszName};
        ASSERT_EQ(1, m_handler.HandleAlert(new TestRecord(pRule, 0), &info, 0, 15));
    }
    void Hand(const char* pszName) { Hand(pszName, &m_rule); }

    std::string Alerts() const { return hwtest::ReadWholeFile(m_dir.File("alerts.xml")); }

    // With the pipeline running and the gate shut: the writer is stuck on
    // a first alert, and an engine hands `alerts` in all; answers once
    // they are handed, with the gate open.  A fault that holds the engine
    // fails the test.
    void FloodPastAStuckWriter(WriterGate& gate, int alerts) {
        Hand("Failed su");
        ASSERT_TRUE(hwtest::WaitUntil([&] { return gate.Held() == 1 && m_pipeline.Queued() == 0; }));
        std::atomic<bool> bFlooded{false};
        std::thread engine([&] {
            for (int i = 1; i < alerts; ++i) {
                Hand("Failed su");
            }
            bFlooded = true;
        });
        const bool bNeverHeld = hwtest::WaitUntil([&] { return bFlooded.load(); });
        const size_t queued = m_pipeline.Queued();
        // The writer lets a held engine go.
        gate.Open();
        engine.join();
        ASSERT_TRUE(bNeverHeld) << queued << " queued";
        EXPECT_EQ(0u, m_pipeline.Waits());
    }

    hwtest::ScratchDirectory m_dir;
    CSFSensor m_sensor;
    TestRule m_rule;
    HostServices m_services;
    AlertPipeline m_pipeline{m_services};
    HostEventHandler m_handler{m_pipeline};
};

}  // namespace

// A name without a policy event, and an event of the form hwhost does not
// write: both are dropped, counted and freed.
TEST_F(AlertPipelineTest, AlertThatCannotBeWrittenIsDroppedAndFreed) {
    Hand("Unregistered");
    m_sensor.SetUsesQgEvents(1);
    m_handler.RegisterPolicyEvent("Failed su", new CPolicyEvent);
    Hand("Failed su");

    EXPECT_EQ(0u, m_pipeline.Drain());
    EXPECT_EQ(2u, m_pipeline.RecordsDropped());
    EXPECT_EQ("", Alerts());
    // Each was said when it came (on the console, so among the findings of
    // the policy in force) and is counted for the stop.
    EXPECT_EQ((std::vector<std::string>{
                  "the alert \"Unregistered\" is dropped: no policy event is registered under its name (1 time)",
                  "the alert \"Failed su\" came as a message of type 250; hwhost writes only type 600 and drops "
                  "it (1 time)"}),
              m_pipeline.Problems().Summary());
}

// While the disk is full, the files end with their last whole document
// and message: the piece of the next one a write left is cut off again.
TEST_F(AlertPipelineTest, AlertsAFullDiskHeldBackAreWrittenWholeAndInOrderOnceThereIsRoom) {
    hwtest::ManualReportTime time;
    m_handler.RegisterPolicyEvent("Failed su", new NamingPolicyEvent(&m_sensor));
    FullDisk full(1000);
    ASSERT_TRUE(full.IsSet());
    std::vector<std::unique_ptr<TestRule>> rules;
    for (int i = 0; i < 20; ++i) {
        rules.push_back(std::make_unique<TestRule>());
        rules.back()->SetName("Failed su");
        rules.back()->SetPriority(i % 3);
        Hand("Failed su", rules.back().get());
    }
    EXPECT_EQ(20u, m_pipeline.Drain());
    const std::string whileFull = Alerts();
    const std::string messagesWhileFull = hwtest::ReadWholeFile(m_dir.File("messages.bin"));
    full.Lift();
    EXPECT_LE(whileFull.size(), 1000u);
    EXPECT_GE(WholeDocuments(whileFull), 1u);
    EXPECT_GE(WholeMessages(messagesWhileFull), 1u);

    // No new alert is needed for what was kept to go out, and no try is
    // made before a second has passed.
    EXPECT_EQ(0u, m_pipeline.Drain());
    EXPECT_EQ(whileFull, Alerts());
    time.Advance(1);
    EXPECT_EQ(0u, m_pipeline.Drain());
    const std::string xml = Alerts();
    EXPECT_EQ(0u, m_pipeline.RecordsDropped());
    EXPECT_EQ(20u, WholeDocuments(xml));
    EXPECT_EQ(20u, hwtest::CountOf(xml, "</event>"));
    EXPECT_EQ(20u, WholeMessages(hwtest::ReadWholeFile(m_dir.File("messages.bin"))));
}

// The alert and message files are renamed away while the disk is full, as
// a rotation does, and the host stops while the new ones are full: every
// file holds whole documents and messages only, and each alert is in one
// of them or counted as not written.
TEST_F(AlertPipelineTest, FilesRenamedAwayWhileFullEndWholeAndTheirSuccessorsBeginWhole) {
    m_handler.RegisterPolicyEvent("Failed su", new NamingPolicyEvent(&m_sensor));
    constexpr int kAlerts = 20;
    FullDisk full(2000);
    ASSERT_TRUE(full.IsSet());
    for (int i = 0; i < kAlerts; ++i) {
        Hand("Failed su");
    }
    EXPECT_EQ(static_cast<uint32_t>(kAlerts), m_pipeline.Drain());
    for (const char* name : {"alerts.xml", "messages.bin"}) {
        ASSERT_EQ(
            0, std::rename(m_dir.File(name).c_str(), m_dir.File(std::string(name) + ".1").c_str()));
    }
    // The pipeline sees the files gone within a second, and opens new ones
    // (as full as the old) for what was kept.
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        m_pipeline.Drain();
        return !hwtest::ReadWholeFile(m_dir.File("alerts.xml")).empty() &&
               !hwtest::ReadWholeFile(m_dir.File("messages.bin")).empty();
    }));
    m_pipeline.Stop();
    full.Lift();

    size_t documents = 0;
    size_t messages = 0;
    for (const char* suffix : {".1", ""}) {
        const std::string xml =
            hwtest::ReadWholeFile(m_dir.File(std::string("alerts.xml") + suffix));
        const std::string bytes =
            hwtest::ReadWholeFile(m_dir.File(std::string("messages.bin") + suffix));
        SCOPED_TRACE(std::string("files ending in \"") + suffix + "\"");
        const size_t inFile = WholeDocuments(xml);
        EXPECT_GE(inFile, 1u);
        documents += inFile;
        messages += WholeMessages(bytes);
    }
    EXPECT_LT(documents, static_cast<size_t>(kAlerts));
    EXPECT_EQ(documents, m_pipeline.AlertsWritten());
    EXPECT_EQ(documents + m_pipeline.AlertsNotWritten(), static_cast<uint64_t>(kAlerts));
    EXPECT_EQ(m_pipeline.AlertsNotWritten(),
              NotWrittenIn(m_pipeline.NotWrittenReports(), "alerts"));
    EXPECT_EQ(messages + NotWrittenIn(m_pipeline.NotWrittenReports(), "host messages"),
              static_cast<uint64_t>(kAlerts));
}

// hwhost.status asks for the outputs' bounds from the control thread while
// the pipeline's thread reaches them: asking is safe at any moment, and
// once the bound left alerts out its line is there.
TEST_F(AlertPipelineTest, BoundsReachedMayBeAskedFromAnotherThreadWhileTheBoundIsReached) {
    m_handler.RegisterPolicyEvent("Failed su", new NamingPolicyEvent(&m_sensor));
    m_pipeline.SetKeptLimit(2000);
    ASSERT_TRUE(std::filesystem::remove(m_dir.File("alerts.xml")));
    ASSERT_TRUE(std::filesystem::create_directory(m_dir.File("alerts.xml")));
    hwtest::ConsoleCapture console;
    m_pipeline.Start();
    std::atomic<bool> bDone{false};
    std::vector<std::string> seen;
    std::thread asker([&] {
        while (!bDone.load() && seen.empty()) {
            seen = m_pipeline.BoundsReached();
        }
    });
    EXPECT_TRUE(hwtest::WaitUntil([&] {
        Hand("Failed su");
        return m_pipeline.RecordsDropped() != 0 && !m_pipeline.BoundsReached().empty();
    }));
    bDone.store(true);
    asker.join();
    const std::vector<std::string> bounds = m_pipeline.BoundsReached();
    ASSERT_EQ(1u, bounds.size());
    EXPECT_EQ(0u, bounds[0].find("Bound reached: alert file " + m_dir.File("alerts.xml") +
                                 ": at most 2000 bytes kept while it cannot be written; "))
        << bounds[0];
    m_pipeline.Stop();
}

// An alert file that cannot be opened keeps what waits for it up to the
// limit; the alerts after are dropped and counted.  The refusal and the
// first drop are said at once on the console and in the log, a flood of
// drops then once a minute with its count, and the stop lists the bound.
// Once the file can be opened again, the alerts kept go out whole.
TEST_F(AlertPipelineTest, AlertsDroppedForAFileThatTakesNothingAreSaidAtOnceThenOnceAMinute) {
    static std::atomic<int64_t> s_minutes{0};
    const auto previous = ReportLimiter::SetTimeSource(
        [] { return ReportLimiter::Clock::time_point(std::chrono::minutes(s_minutes.load())); });
    m_handler.RegisterPolicyEvent("Failed su", new NamingPolicyEvent(&m_sensor));
    const std::string log = m_dir.File("hwhost.log");
    ASSERT_TRUE(m_services.Open(log));
    m_pipeline.SetKeptLimit(4000);
    ASSERT_TRUE(std::filesystem::remove(m_dir.File("alerts.xml")));
    ASSERT_TRUE(std::filesystem::create_directory(m_dir.File("alerts.xml")));
    hwtest::ConsoleCapture console;
    constexpr int kAlerts = 200;
    for (int i = 0; i < kAlerts; ++i) {
        Hand("Failed su");
    }
    m_pipeline.Drain();
    const uint64_t dropped = m_pipeline.RecordsDropped();
    EXPECT_GT(dropped, 150u);
    const std::string bound = "Bound reached: alert file " + m_dir.File("alerts.xml") +
                              ": at most 4000 bytes kept while it cannot be written; ";
    for (const std::string& text : {hwtest::ReadWholeFile(log), console.Text()}) {
        EXPECT_NE(std::string::npos, text.find("hwhost: cannot open the alert file: " + m_dir.File("alerts.xml")))
            << text;
        EXPECT_EQ(1u, hwtest::CountOf(text, bound)) << text;
        EXPECT_EQ(1u, hwtest::CountOf(text, bound + "1 alert left out (said again at most once a minute "
                                                    "while it lasts)"))
            << text;
    }
    // A minute on, the next drop says how many there were in all.
    s_minutes += 1;
    Hand("Failed su");
    m_pipeline.Drain();
    EXPECT_TRUE(console.Contains(bound + std::to_string(dropped + 1) + " alerts left out in all, " +
                                 std::to_string(dropped) + " since it was last said"))
        << console.Text();
    EXPECT_EQ((std::vector<std::string>{bound + std::to_string(dropped + 1) + " alerts left out"}),
              m_pipeline.BoundsReached());
    // The file is tried again at that Drain, and what waits is counted on
    // the console as a notice, not kept among the findings.
    EXPECT_TRUE(console.Contains("NOTICE: hwhost: the alert file " + m_dir.File("alerts.xml") +
                                 " is still not written (it cannot be opened: " + m_dir.File("alerts.xml")))
        << console.Text();
    EXPECT_TRUE(console.Contains(": " + std::to_string(kAlerts - dropped) + " alerts kept (")) << console.Text();

    // Made a file again, the alert file takes what was kept at the next
    // try, without a signal.
    ASSERT_TRUE(std::filesystem::remove(m_dir.File("alerts.xml")));
    s_minutes += 1;
    m_pipeline.Drain();
    ReportLimiter::SetTimeSource(previous);
    EXPECT_EQ(kAlerts - dropped, WholeDocuments(Alerts()));
    EXPECT_TRUE(console.Contains("NOTICE: hwhost: the alert file " + m_dir.File("alerts.xml") +
                                 " is written again after 120 s: the " + std::to_string(kAlerts - dropped) +
                                 " alerts kept meanwhile are written\n"))
        << console.Text();
}

// The alert and message files' folder is moved away and a file put at its
// name while alerts come: each file is said once not to open, with the
// path and the system's reason, and once the folder is made again the
// pipeline's thread writes what it kept there, whole and in order, without
// a signal or another alert.  (The time the outputs go by moves by hand.)
TEST(AlertPipelineOutputTest, FilesWhoseFolderIsReplacedByAFileComeBackByThemselvesWithEveryAlert) {
    hwtest::ManualReportTime time;
    hwtest::ScratchDirectory dir;
    const std::string folder = dir.File("out");
    OwnPipeline own;
    AlertPipeline& pipeline = own.m_pipeline;
    const auto Hand = [&](int count) { own.Hand(count); };
    std::string error;
    ASSERT_TRUE(pipeline.Open(folder + "/alerts.xml", folder + "/messages.bin", error)) << error;
    hwtest::ConsoleCapture console;
    pipeline.Start();
    Hand(1);
    ASSERT_TRUE(hwtest::WaitUntil([&] { return WholeDocuments(hwtest::ReadWholeFile(folder + "/alerts.xml")) == 1; }));

    // Seen at the first alert once the path is looked at again.
    std::filesystem::rename(folder, folder + ".1");
    hwtest::WriteWholeFile(folder, "in the way\n");
    time.Advance(1);
    Hand(3);
    for (const char* what : {"alert", "message"}) {
        const std::string failure = std::string("ERROR: hwhost: cannot open the ") + what + " file: " + folder +
                                    ": Not a directory; what is not written yet is kept and written when it "
                                    "can be opened\n";
        ASSERT_TRUE(console.WaitFor(failure)) << console.Text();
    }
    EXPECT_TRUE(hwtest::WaitUntil([&] { return own.m_services.LateFindings().size() == 2; }))
        << ::testing::PrintToString(own.m_services.LateFindings());
    Hand(2);
    std::filesystem::remove(folder);
    std::filesystem::create_directory(folder);
    time.Advance(1);
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return WholeDocuments(hwtest::ReadWholeFile(folder + "/alerts.xml")) == 5 &&
               WholeMessages(hwtest::ReadWholeFile(folder + "/messages.bin")) == 5;
    })) << console.Text();
    EXPECT_TRUE(console.WaitFor("NOTICE: hwhost: the message file " + folder + "/messages.bin is written again after "))
        << console.Text();
    const std::string said = console.Text();
    EXPECT_EQ(1u, hwtest::CountOf(said, "hwhost: cannot open the alert file")) << said;
    EXPECT_EQ(1u, hwtest::CountOf(said, "NOTICE: hwhost: the alert file " + folder + "/alerts.xml is written again after "))
        << said;
    EXPECT_EQ(1u, hwtest::CountOf(said, "the 5 alerts kept meanwhile are written\n")) << said;
    // Both failures ended, and with them their findings.
    EXPECT_TRUE(hwtest::WaitUntil([&] { return own.m_services.LateFindings().empty(); }))
        << ::testing::PrintToString(own.m_services.LateFindings());
    pipeline.Stop();
    EXPECT_EQ(0u, pipeline.AlertsNotWritten());
    EXPECT_EQ(6u, pipeline.AlertsWritten());
    EXPECT_EQ(1u, WholeDocuments(hwtest::ReadWholeFile(folder + ".1/alerts.xml")));
}

// After a rotation, another account makes a FIFO at the alert file's name
// in a folder all may write (sticky, as /tmp is): the pipeline takes the
// name back at the reopen, says so, and writes a new file of its own, so no
// alert waits on that account.
TEST_F(AlertPipelineTest, FifoAnotherAccountMadeAtARotatedAlertFileIsTakenBackAndTheFileMadeAnew) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a FIFO to another account";
    }
    m_handler.RegisterPolicyEvent("Failed su", new NamingPolicyEvent(&m_sensor));
    const std::string shared = m_dir.File("shared");
    ASSERT_EQ(0, ::mkdir(shared.c_str(), 0777));
    ASSERT_EQ(0, ::chmod(shared.c_str(), 01777));
    const std::string path = shared + "/alerts.xml";
    AlertPipeline pipeline{m_services};
    HostEventHandler handler{pipeline};
    handler.RegisterPolicyEvent("Failed su", new NamingPolicyEvent(&m_sensor));
    std::string error;
    ASSERT_TRUE(pipeline.Open(path, "", error)) << error;
    const auto hand = [&] {
        CSFEventInfo info{7, "Failed su", "Failed su"};
        ASSERT_EQ(1, handler.HandleAlert(new TestRecord(&m_rule, 0), &info, 0, 15));
    };
    hand();
    EXPECT_EQ(1u, pipeline.Drain());
    ASSERT_EQ(0, std::rename(path.c_str(), (path + ".1").c_str()));
    ASSERT_EQ(0, ::mkfifo(path.c_str(), 0666));
    ASSERT_EQ(0, ::lchown(path.c_str(), 65534, 65534));
    hwtest::ConsoleCapture console;
    pipeline.Reopen();
    for (int i = 0; i < 3; ++i) {
        hand();
    }
    EXPECT_EQ(3u, pipeline.Drain());
    EXPECT_TRUE(console.Contains("WARNING: " + path +
                                 " is a FIFO another account owns (nobody, uid 65534); it is taken back and "
                                 "the file made anew\n"))
        << console.Text();
    struct stat info {};
    ASSERT_EQ(0, ::lstat(path.c_str(), &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(3u, WholeDocuments(hwtest::ReadWholeFile(path)));
    EXPECT_EQ(1u, WholeDocuments(hwtest::ReadWholeFile(path + ".1")));
    pipeline.Stop();
    EXPECT_EQ(0u, pipeline.AlertsNotWritten());
    EXPECT_EQ(0u, pipeline.RecordsDropped());
}

// Standard output sent to a file by the shell that started hwhost is cut
// back the same way; its descriptor writes at its own offset, which goes
// back with the cut instead of leaving a hole of zeros.
TEST(AlertPipelineOutputTest, StandardOutputSentToAFileIsCutBackToItsLastWholeDocument) {
    hwtest::ScratchDirectory dir;
    const std::string path = dir.File("stdout.xml");
    CSFSensor sensor;
    HostServices services;
    AlertPipeline pipeline{services};
    HostEventHandler handler{pipeline};
    handler.RegisterPolicyEvent("Failed su", new NamingPolicyEvent(&sensor));
    TestRule rule;
    rule.SetName("Failed su");
    constexpr int kAlerts = 10;
    // Nothing the test says may go to the file meanwhile: what is looked
    // at is kept, and checked once standard output is back.
    bool bOpened = false;
    int handed = 0;
    uint32_t drained = 0;
    std::string whileFull;
    {
        std::fflush(stdout);
        const int saved = ::dup(STDOUT_FILENO);
        ASSERT_GE(saved, 0);
        const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(file, 0);
        ASSERT_EQ(STDOUT_FILENO, ::dup2(file, STDOUT_FILENO));
        ::close(file);
        std::string error;
        bOpened = pipeline.Open("", "", error);
        hwtest::ManualReportTime time;
        {
            FullDisk full(1000);
            for (int i = 0; bOpened && full.IsSet() && i < kAlerts; ++i) {
                CSFEventInfo info{7, "Failed su", "Failed su"};
                handed += handler.HandleAlert(new TestRecord(&rule, 0), &info, 0, 15);
            }
            drained = pipeline.Drain();
            whileFull = hwtest::ReadWholeFile(path);
        }
        time.Advance(1);
        pipeline.Drain();
        pipeline.Stop();
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
    }
    ASSERT_TRUE(bOpened);
    ASSERT_EQ(kAlerts, handed);
    EXPECT_EQ(static_cast<uint32_t>(kAlerts), drained);
    EXPECT_GE(WholeDocuments(whileFull), 1u);
    EXPECT_LT(WholeDocuments(whileFull), static_cast<size_t>(kAlerts));
    const std::string xml = hwtest::ReadWholeFile(path);
    EXPECT_EQ(std::string::npos, xml.find('\0')) << "a hole where the piece was cut off";
    EXPECT_EQ(static_cast<size_t>(kAlerts), WholeDocuments(xml));
    EXPECT_EQ(static_cast<uint64_t>(kAlerts), pipeline.AlertsWritten());
}

TEST_F(AlertPipelineTest, RuleDeletedRightAfterTheHandOverIsNeverReadAgain) {
    // The sensor's own policy event reads the rule's name and origin.
    m_handler.RegisterPolicyEvent("Short-lived", new CPolicyEvent);
    auto pRule = std::make_unique<TestRule>();
    pRule->SetName("Short-lived");
    Hand("Short-lived", pRule.get());
    // A reload or stop deletes the rules once the engines are paused.
    pRule.reset();

    EXPECT_EQ(1u, m_pipeline.Drain());
    EXPECT_NE(std::string::npos, Alerts().find("Short-lived"));
}

TEST_F(AlertPipelineTest, PolicyEventReplacedByAReloadMidConversionLivesUntilItEnds) {
    m_handler.RegisterPolicyEvent("Failed su", new ReloadedMidwayPolicyEvent(m_handler, &m_sensor));
    Hand("Failed su");
    // The next record goes to the event the reload registered.
    Hand("Failed su");

    EXPECT_EQ(2u, m_pipeline.Drain());
    EXPECT_EQ(0u, m_pipeline.RecordsDropped());
}

// Each alert is one host message and one XML document; the documents are,
// byte for byte, what reading each message back and rendering it gives:
// values of every kind, text that XML must escape or cannot carry, user
// tags that replace header values, a long value, and batches of alerts.
TEST_F(AlertPipelineTest, DocumentsAreTheXmlOfTheMessagesAsAHostReadsThemBack) {
    m_handler.RegisterPolicyEvent("Failed su", new CPolicyEvent);
    m_rule.SetPriority(2);
    const std::vector<std::vector<std::pair<std::string, std::string>>> pairs = {
        {{"User", "mallory"}, {"Sender", "192.0.2.9"}},
        {{"Markup", "<a href=\"x\">&amp;'</a>"}, {"Blanks", "tab\there\r\nnext line"}},
        {{"Control", std::string("bell\x07 nul-free\x1b[31m", 20)}, {"Broken", "\xff\xfe half \xc3"}},
        {{"Unicode", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"}, {"Empty", ""}},
        {{"Long", std::string(3000, 'x') + "end"}},
        {{"USER_AlertName", "Renamed"}, {"USER_ReplaceAlertName", "1"}, {"USER_AlertPriority", "1"},
         {"USER_SourcePort", "2222"}, {"USER_AttackSuccessful", "1"}},
    };
    for (int round = 0; round < 2; ++round) {
        for (const auto& list : pairs) {
            auto* pRecord = new TestRecord(&m_rule, 1700000000 + round);
            for (const auto& [name, value] : list) {
                pRecord->AddInfoPair(name, value);
            }
            pRecord->m_nSourcePort = 40000 + round;
            pRecord->m_nDestinationPort = 22;
            pRecord->m_dwIANAProtocolId = 6;
            pRecord->m_bIANAProtocolIdSet = true;
            pRecord->SetUserNameText("root");
            pRecord->SetSourceEthernetText("00:11:22:33:44:55");
            pRecord->SetApplicationText("sshd");
            CSFEventInfo info{7, "Failed su", "Failed su"};
            ASSERT_EQ(1, m_handler.HandleAlert(pRecord, &info, 0, 15));
        }
        EXPECT_EQ(pairs.size(), m_pipeline.Drain());
    }

    std::string expected;
    const std::string messages = hwtest::ReadWholeFile(m_dir.File("messages.bin"));
    for (size_t at = 0; at + CSFAlertMessage::kHeaderSize <= messages.size();) {
        const auto* p = reinterpret_cast<const uint8_t*>(messages.data()) + at;
        EXPECT_EQ(std::string("\x00\x00\x02\x58\x00\x00\x00\x05", 8), messages.substr(at, 8))
            << "type 600, version 5";
        const uint32_t length = (uint32_t{p[8]} << 24) | (uint32_t{p[9]} << 16) | (uint32_t{p[10]} << 8) | p[11];
        qorStreamBufferOwner stream;
        ASSERT_EQ(0u, stream.CreateReadBuffer(p + CSFAlertMessage::kHeaderSize, length));
        CQorEvent event;
        std::string xml;
        ASSERT_EQ(0u, event.Load(stream));
        ASSERT_EQ(0u, event.ToXml(xml));
        expected += xml + (xml.back() == '\n' ? "\n" : "\n\n");
        at += CSFAlertMessage::kHeaderSize + length;
    }
    EXPECT_EQ(2 * pairs.size(), hwtest::CountOf(expected, "</event>"));
    EXPECT_EQ(expected, Alerts());
}

// The documents of a fixed set of alerts, held byte for byte against the
// committed ones: the sensor parameters of each alert form, information
// pairs, text that needs escaping, user tags and script variables.
TEST_F(AlertPipelineTest, DocumentsOfAFixedSetOfAlertsAreTheCommittedBytes) {
    m_handler.RegisterPolicyEvent("Failed su", new CPolicyEvent);
    m_rule.SetPriority(3);
    AgentEventInfo::SetDefaultSourceAddress("198.51.100.7");
    struct Alert {
        int32_t m_nType;
        std::vector<std::pair<std::string, std::string>> m_pairs;
    };
    const std::vector<Alert> alerts = {
        {101, {{"User", "mallory"}, {"algorithm-id", "7"}, {"VulnStatus", "2"}}},
        {103, {{"Markup", "<a href=\"x\">&amp;'</a>"}, {"Blanks", "tab\there\r\nnext"}}},
        {202, {{"Control", std::string("bell\x07 esc\x1b[31m", 14)}, {"Broken", "\xff\xfe half \xc3"}}},
        {203, {{"User's Domain", "CORP"}, {"Unicode", "caf\xc3\xa9 \xe2\x82\xac"}, {"Empty", ""}}},
        {208, {{"INTERNAL_Resource_Identifier", "12"}, {"INTERNAL_Resource_Sub_Identifier", "disk0"}}},
        {211, {{"USER_AlertName", "Renamed"}, {"USER_ReplaceAlertName", "1"}, {"USER_AlertPriority", "1"},
               {"USER_SourcePort", "2222"}, {"USER_AttackSuccessful", "1"}, {"USER_UserName", "eve"}}},
        {102, {{"Long", std::string(600, 'x') + "end"}}},
    };
    for (size_t i = 0; i < alerts.size(); ++i) {
        auto* pRecord = new AgentEventInfoDefault(&m_rule, 1700000000 + static_cast<int64_t>(i) * 3601);
        pRecord->SetAlertType(alerts[i].m_nType);
        for (const auto& [name, value] : alerts[i].m_pairs) {
            pRecord->AddInfoPair(name, value);
        }
        pRecord->AddScriptVariable("HW_LINE", "line <" + std::to_string(i) + ">");
        pRecord->m_dwEventId = 100 + static_cast<uint32_t>(i);
        pRecord->m_nSourcePort = 40001;
        pRecord->m_nDestinationPort = 40002;
        pRecord->m_dwIANAProtocolId = 6;
        pRecord->m_bIANAProtocolIdSet = true;
        pRecord->SetUserNameText("root");
        pRecord->SetApplicationText("sshd");
        pRecord->SetResourceSubIDText("disk1");
        // The others take the default source address.
        if (i % 2 == 0) {
            pRecord->m_dwSourceAddress = htonl(0xC0000209);
            pRecord->m_bSourceAddressSet = true;
            pRecord->m_dwDestinationAddress = htonl(0xCB007101);
            pRecord->m_bDestinationAddressSet = true;
            pRecord->SetSourceEthernetText("00:11:22:33:44:55");
            pRecord->SetDestinationEthernetText("66:77:88:99:aa:bb");
            pRecord->SetAttackOriginText("outside");
        }
        CSFEventInfo info{7, "Failed su", "Failed su"};
        ASSERT_EQ(1, m_handler.HandleAlert(pRecord, &info, 0, 15));
    }
    EXPECT_EQ(alerts.size(), m_pipeline.Drain());
    AgentEventInfo::SetDefaultSourceAddress("");

    // What the clock and the machine put in: the alert's time, its number
    // in that second, the digest over both, the time zone and the host name.
    std::string written = Alerts();
    for (const std::string name : {"alert-date-time", "local-timezone-offset", "alert-time-precision",
                                   "alert-time-sequence-id", "alert-id"}) {
        const std::string opening = " " + name + "='";
        for (size_t at = 0; (at = written.find(opening, at)) != std::string::npos;) {
            at += opening.size();
            written.replace(at, written.find('\'', at) - at, "-");
        }
    }
    const std::string agent = "name='SystemAgent' type='string' value='";
    for (size_t at = 0; (at = written.find(agent, at)) != std::string::npos; at += agent.size()) {
        written.replace(at + agent.size(), AgentEventInfo::GetHostNameText().size(), "HOSTNAME");
    }
    const std::string committed = std::string(HW_SOURCE_DIR) + "/tests/host/data/alert_documents.xml";
    if (std::getenv("HW_WRITE_EXPECTED") != nullptr) {
        hwtest::WriteWholeFile(committed, written);
    }
    EXPECT_EQ(hwtest::ReadWholeFile(committed), written);
}

// With the writer stuck, an engine that hands alerts is held once the
// queue is full: the alerts in memory stay within the queue and the batch
// being written, and none is lost once the writer goes on.
TEST_F(AlertPipelineTest, FullQueueHoldsTheHandingEngineUntilTheWriterTakesAlertsAndLosesNone) {
    constexpr size_t kLimit = 4;
    constexpr int kAlerts = 40;
    WriterGate gate;
    m_handler.RegisterPolicyEvent("Failed su", new GatedPolicyEvent(&m_sensor, gate));
    m_pipeline.SetQueueLimit(kLimit);
    m_pipeline.Start();
    std::atomic<int> handed{0};
    std::thread engine([&] {
        for (int i = 0; i < kAlerts; ++i) {
            Hand("Failed su");
            ++handed;
        }
    });
    // The writer holds one batch (at most the queue's worth), the queue the
    // rest; the engine waits with one more in hand.  (An engine still
    // counted as waiting may be about to go on into a queue the writer
    // has just emptied: only a full queue behind a held writer stays so.)
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        return gate.Held() == 1 && m_pipeline.Queued() == kLimit && m_pipeline.Waiting() == 1;
    }));
    EXPECT_LE(handed.load(), static_cast<int>(2 * kLimit));
    EXPECT_EQ(m_pipeline.Queued(), kLimit);
    EXPECT_EQ(m_pipeline.MostQueued(), kLimit);

    gate.Open();
    engine.join();
    m_pipeline.Stop();
    EXPECT_EQ(m_pipeline.AlertsWritten(), static_cast<uint64_t>(kAlerts));
    EXPECT_EQ(m_pipeline.RecordsDropped(), 0u);
    EXPECT_GT(m_pipeline.Waits(), 0u);
    EXPECT_EQ(hwtest::CountOf(Alerts(), "</event>"), static_cast<size_t>(kAlerts));
}

// A stop or a pause has to reach an engine held by a full queue: while a
// command runs nobody is held, those waiting go on, and the stop writes
// everything that was taken.
TEST_F(AlertPipelineTest, CommandLetsHeldEnginesGoOnAndTheStopWritesEverythingTaken) {
    WriterGate gate;
    m_handler.RegisterPolicyEvent("Failed su", new GatedPolicyEvent(&m_sensor, gate));
    m_pipeline.SetQueueLimit(2);
    m_pipeline.Start();
    std::atomic<bool> bStopSeen{false};
    std::atomic<int> handed{0};
    std::thread engine([&] {
        // An engine hands alerts until it sees its stop.
        while (!bStopSeen) {
            Hand("Failed su");
            ++handed;
        }
    });
    // Held by a full queue behind a held writer (see above).
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return gate.Held() == 1 && m_pipeline.Queued() == 2 && m_pipeline.Waiting() == 1; }));
    m_pipeline.BeginCommand();
    bStopSeen = true;
    engine.join();
    EXPECT_EQ(m_pipeline.Waiting(), 0u);
    // Outside a command the queue holds the engines again.
    m_pipeline.EndCommand();
    std::thread late([&] {
        Hand("Failed su");
        ++handed;
    });
    ASSERT_TRUE(hwtest::WaitUntil([&] { return m_pipeline.Waiting() == 1; }));

    gate.Open();
    late.join();
    m_pipeline.Stop();
    EXPECT_EQ(m_pipeline.AlertsWritten(), static_cast<uint64_t>(handed.load()));
    EXPECT_EQ(m_pipeline.RecordsDropped(), 0u);
}

// While a command runs nobody is held, so the queue keeps to its bound of
// that time instead: with the writer stuck, a flood past it is dropped at
// once and counted, never waited for, and the bound is said at once on the
// console and in the log, then no more within the minute.  The queue never
// holds more than the bound, and every alert handed in is written or
// counted as dropped.
TEST_F(AlertPipelineTest, FloodWhileACommandRunsIsDroppedPastTheCommandBoundAndCounted) {
    constexpr size_t kCommandLimit = 32;
    constexpr int kAlerts = 500;
    hwtest::ManualReportTime time;
    WriterGate gate;
    m_handler.RegisterPolicyEvent("Failed su", new GatedPolicyEvent(&m_sensor, gate));
    const std::string log = m_dir.File("hwhost.log");
    ASSERT_TRUE(m_services.Open(log));
    m_pipeline.SetQueueLimit(4);
    m_pipeline.SetCommandQueueLimit(kCommandLimit);
    hwtest::ConsoleCapture console;
    m_pipeline.Start();
    m_pipeline.BeginCommand();
    ASSERT_NO_FATAL_FAILURE(FloodPastAStuckWriter(gate, kAlerts));
    const uint64_t dropped = kAlerts - 1 - kCommandLimit;
    EXPECT_EQ(dropped, m_pipeline.RecordsDropped());
    EXPECT_EQ(kCommandLimit, m_pipeline.MostQueuedInCommands());
    EXPECT_EQ(0u, m_pipeline.MostQueued());
    const std::string bound = "Bound reached: hwhost's alert queue: at most 32 alerts or 64 MiB queued while a "
                              "command or the stop runs, when no engine waits for room; ";
    EXPECT_EQ((std::vector<std::string>{bound + std::to_string(dropped) + " alerts left out"}),
              m_pipeline.BoundsReached());

    m_pipeline.EndCommand();
    m_pipeline.Stop();
    EXPECT_EQ(kCommandLimit + 1, m_pipeline.AlertsWritten());
    EXPECT_EQ(kCommandLimit + 1, WholeDocuments(Alerts()));
    EXPECT_EQ(static_cast<uint64_t>(kAlerts), m_pipeline.AlertsWritten() + m_pipeline.RecordsDropped());
    const std::string logText = hwtest::ReadWholeFile(log);
    for (const std::string& text : {logText, console.Text()}) {
        EXPECT_EQ(1u, hwtest::CountOf(text, bound)) << text;
        EXPECT_EQ(1u, hwtest::CountOf(text, bound + "1 alert left out (said again at most once a minute "
                                                    "while it lasts)"))
            << text;
    }
    EXPECT_EQ(1u, hwtest::CountOf(logText, "hwhost: the alert queue held at most 0 alerts while it held the "
                                           "engines (bound 4), at most 32 while a command or the stop ran "
                                           "(bound 32)"))
        << logText;
}

// Alerts with long values fill the queue's bytes before its count: a held
// engine waits for room then, and while a command runs the alerts past
// the bytes are dropped and counted.
TEST_F(AlertPipelineTest, LongAlertsAreBoundByTheQueuesBytesAsByItsCount) {
    TestRecord sample(&m_rule, 0);
    sample.AddInfoPair("Message", std::string(AgentEventInfo::kMaxInfoValueBytes, 'm'));
    const size_t alertBytes = AlertPipeline::QueuedBytes(sample);
    EXPECT_EQ(4096u + 2 * (7 + AgentEventInfo::kMaxInfoValueBytes), alertBytes);
    WriterGate gate;
    m_handler.RegisterPolicyEvent("Failed su", new GatedPolicyEvent(&m_sensor, gate));
    m_pipeline.SetQueueLimit(100);
    m_pipeline.SetQueueBytes(5 * alertBytes);
    m_pipeline.Start();
    const auto HandLong = [&] {
        CSFEventInfo info{7, "Failed su", "Failed su"};
        auto* pRecord = new TestRecord(&m_rule, 0);
        pRecord->AddInfoPair("Message", std::string(AgentEventInfo::kMaxInfoValueBytes, 'm'));
        ASSERT_EQ(1, m_handler.HandleAlert(pRecord, &info, 0, 15));
    };
    std::atomic<int> handed{0};
    std::thread engine([&] {
        for (int i = 0; i < 40; ++i) {
            HandLong();
            ++handed;
        }
    });
    // Held with five queued behind the stuck writer, far below the count.
    ASSERT_TRUE(hwtest::WaitUntil(
        [&] { return gate.Held() == 1 && m_pipeline.Queued() == 5 && m_pipeline.Waiting() == 1; }));
    m_pipeline.BeginCommand();
    ASSERT_TRUE(hwtest::WaitUntil([&] { return handed.load() == 40; }));
    engine.join();
    // The writer holds a batch of at most five; the rest came past the
    // bytes and went.
    EXPECT_EQ(5u, m_pipeline.Queued());
    EXPECT_EQ(5u, m_pipeline.MostQueued());
    const uint64_t dropped = m_pipeline.RecordsDropped();
    EXPECT_GE(dropped, 40u - 5 - 5);
    m_pipeline.EndCommand();
    gate.Open();
    m_pipeline.Stop();
    EXPECT_EQ(40u, m_pipeline.AlertsWritten() + dropped);
    ASSERT_EQ(1u, m_pipeline.BoundsReached().size());
    EXPECT_NE(std::string::npos, m_pipeline.BoundsReached()[0].find(
                                     "; " + std::to_string(dropped) + " alerts left out"));
}

// An engine the sensor's stop could not end may still hand alerts in once
// the pipeline's thread has written its last: each is dropped and counted
// at once, never left in memory that nothing writes.
TEST_F(AlertPipelineTest, AlertHandedInAfterTheLastDrainIsDroppedAndCounted) {
    m_handler.RegisterPolicyEvent("Failed su", new NamingPolicyEvent(&m_sensor));
    m_pipeline.Start();
    Hand("Failed su");
    m_pipeline.Stop();
    hwtest::ConsoleCapture console;
    Hand("Failed su");
    EXPECT_EQ(0u, m_pipeline.Queued());
    EXPECT_EQ(1u, m_pipeline.AlertsWritten());
    EXPECT_EQ(1u, m_pipeline.RecordsDropped());
    EXPECT_EQ((std::vector<std::string>{"the alert \"Failed su\" is dropped: it came after the stop had written "
                                        "the last alerts (1 time)"}),
              m_pipeline.Problems().Summary());
    EXPECT_TRUE(console.Contains("hwhost: the alert \"Failed su\" is dropped: it came after the stop")) << console.Text();
}

// The alert file is a terminal whose other side reads now and then: while
// the sensor runs, the writer waits for it and loses nothing; once a stop
// began, a terminal that takes nothing for the stop wait is given up, and
// every alert is either read whole or counted as not written.
TEST(AlertPipelineOutputTest, TerminalThatTakesNothingIsWaitedForWhileRunningAndGivenUpAtAStop) {
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(0, ::grantpt(terminal));
    ASSERT_EQ(0, ::unlockpt(terminal));
    // Raw, so the documents come out as they were written.
    termios raw{};
    ASSERT_EQ(0, ::tcgetattr(terminal, &raw));
    ::cfmakeraw(&raw);
    ASSERT_EQ(0, ::tcsetattr(terminal, TCSANOW, &raw));
    std::string read;
    const auto ReadAvailable = [&] {
        char buffer[8192];
        for (ssize_t got; (got = ::read(terminal, buffer, sizeof buffer)) > 0;) {
            read.append(buffer, static_cast<size_t>(got));
        }
        return hwtest::CountOf(read, "</event>\n\n");
    };

    OwnPipeline own;
    AlertPipeline& pipeline = own.m_pipeline;
    std::string error;
    ASSERT_TRUE(pipeline.Open(::ptsname(terminal), "", error)) << error;
    pipeline.SetStopWait(std::chrono::milliseconds(300));
    const auto Hand = [&](int count) { own.Hand(count); };
    // Far more than the terminal holds.
    constexpr int kAlerts = 1000;
    pipeline.Start();
    Hand(kAlerts);
    // The writer waits for the terminal, longer than any stop wait, without
    // giving up what it has not taken: the terminal is looked at without
    // reading (which would let the writer go on) until it holds the first
    // documents, and left unread for longer than the stop wait.  A terminal
    // holds a few dozen kilobytes, far less than the alerts (each over 100
    // bytes), so the writer is still on them.
    ASSERT_TRUE(hwtest::WaitUntil([&] {
        int held = 0;
        return ::ioctl(terminal, FIONREAD, &held) == 0 && held > 0;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_LT(pipeline.AlertsWritten(), static_cast<uint64_t>(kAlerts));
    ASSERT_TRUE(hwtest::WaitUntil([&] { return ReadAvailable() == static_cast<size_t>(kAlerts); }))
        << hwtest::CountOf(read, "</event>\n\n") << " documents read";

    Hand(kAlerts);
    const auto stopped = std::chrono::steady_clock::now();
    pipeline.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(5));
    const uint64_t notWritten = pipeline.AlertsNotWritten();
    EXPECT_GT(notWritten, 0u);
    EXPECT_EQ(pipeline.AlertsWritten() + notWritten, 2u * kAlerts);
    ASSERT_EQ(1u, pipeline.NotWrittenReports().size());
    EXPECT_EQ("hwhost: " + std::to_string(notWritten) +
                  " alerts not written: the alert output took nothing for 0.3 s",
              pipeline.NotWrittenReports()[0]);
    EXPECT_EQ(ReadAvailable() + notWritten, 2u * kAlerts);
    ::close(terminal);
}
