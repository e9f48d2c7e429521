#include "TclHandler/tclScriptReport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "qorCSFLib/FakeHost.h"

namespace {

class ScriptReportTest : public ::testing::Test {
protected:
    // The errors said, with their console copy.
    size_t Said(const std::string& strText) {
        size_t nSaid = 0;
        for (const LoggedLine& line : m_Log.m_Services.Lines()) {
            nSaid += line.text == strText &&
                             line.dwLevel == static_cast<uint32_t>(kCSFLogError | kCSFLogConsoleFlag)
                         ? 1
                         : 0;
        }
        return nSaid;
    }

    ScopedHostLog m_Log;
    tclScriptReport m_Report;
};

}  // namespace

// The summary of the load that sent the scripts waits for the process's
// answers and says each refusal itself, once, on its own thread.
TEST_F(ScriptReportTest, SummaryWaitsForTheAnswersAndSaysEachRefusalOnce) {
    m_Report.BeginLoad(true);
    std::thread handler([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_Report.NoteRefused("rule A (Validation)", "Rule \"A\": its Validation script ...");
        m_Report.Publish();
    });
    const std::string strNote = m_Report.Describe(std::chrono::seconds(30));
    handler.join();
    EXPECT_EQ("1 script refused by the script process: rule A (Validation)", strNote);
    EXPECT_EQ(1u, Said("Rule \"A\": its Validation script ..."));
    // A later summary still names it, and says it no more.
    EXPECT_EQ(strNote, m_Report.Describe(std::chrono::seconds(0)));
    EXPECT_EQ(1u, Said("Rule \"A\": its Validation script ..."));
}

// Nothing the process says is lost when no summary takes it: without one,
// or after the summary's wait ran out, it is said as soon as it is known.
TEST_F(ScriptReportTest, RefusalsNoSummaryTookAreSaidWhenKnown) {
    m_Report.BeginLoad(false);
    m_Report.NoteRefused("rule A (Procedure)", "first");
    EXPECT_EQ(0u, Said("first")) << "said before every answer was in";
    m_Report.Publish();
    EXPECT_EQ(1u, Said("first"));

    m_Report.BeginLoad(true);
    EXPECT_EQ("the scripts are still being sent to the script process; what it says of them is "
              "said when it comes",
              m_Report.Describe(std::chrono::milliseconds(10)));
    m_Report.NoteRefused("rule B (Validation)", "second");
    m_Report.Publish();
    EXPECT_EQ(1u, Said("second"));

    // A run that fails while alerts flow is said at once.
    m_Report.NoteRefused("rule B (Validation, when run)", "third");
    EXPECT_EQ(1u, Said("third"));
    EXPECT_EQ(2u, m_Report.RefusedCount());
}
