#include "qorCSFLib/CSFSvcRequest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FakeHost.h"
#include "platform/DebugOutput.h"
#include "qorCSFLib/CSFLog.h"

namespace {

void LogFromHere(int n) {
    CSF_LOG(kCSFLogInfo, "line %d", n);
}

void LogFromThere(int n) {
    CSF_LOG(kCSFLogError, "other %d", n);
}

}  // namespace

TEST(CSFSvcRequest, LogsAreSilentUntilTheHostHandsOverItsServicesAndEachCallSiteHasItsTag) {
    RecordingServices services;
    CSFSvcRequest* pRequest = new CSFSvcRequest;
    LogFromHere(1);
    EXPECT_EQ(0u, CSFNotice("nobody listens"));
    ASSERT_TRUE(pRequest->SetServices(&services));
    LogFromHere(2);
    LogFromHere(3);
    LogFromThere(4);
    EXPECT_EQ(7u, CSFNotice("someone listens"));
    pRequest->Release();

    std::vector<LoggedLine> lines = services.Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("line 2", lines[0].text);
    EXPECT_EQ(kCSFLogCategory, lines[0].dwCategory);
    EXPECT_EQ(kCSFLogInfo, lines[0].dwLevel);
    EXPECT_NE(std::string::npos, lines[0].file.find("CSFSvcRequestTest.cpp"));
    EXPECT_GT(lines[0].nLine, 0);
    EXPECT_EQ(lines[0].pTag, lines[1].pTag);
    EXPECT_NE(lines[0].pTag, lines[2].pTag);
    EXPECT_EQ(std::vector<std::string>{"1:someone listens"}, services.Notices());
}

// A released request must not stay reachable process-wide: the next log
// call would otherwise read a freed object.
TEST(CSFSvcRequest, ReleasedRequestIsWithdrawnWithWhatItPublished) {
    RecordingServices services;
    CSFSvcRequest* pFirst = new CSFSvcRequest;
    pFirst->SetServices(&services);
    EXPECT_EQ(pFirst, CSFSvcRequest::Current());
    EXPECT_EQ(&services, CSFSvcRequest::CurrentServices());
    pFirst->Release();
    EXPECT_EQ(nullptr, CSFSvcRequest::Current());
    EXPECT_EQ(nullptr, CSFSvcRequest::CurrentServices());
    LogFromHere(1);
    EXPECT_TRUE(services.Lines().empty());

    // An older request released after a newer one leaves the newer in place.
    CSFSvcRequest* pOlder = new CSFSvcRequest;
    CSFSvcRequest* pNewer = new CSFSvcRequest;
    pOlder->Release();
    EXPECT_EQ(pNewer, CSFSvcRequest::Current());
    pNewer->Release();
}

class DebugTraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_previous = plat::SetDebugOutputSink(
            [this](std::string_view text) { m_written.emplace_back(text); });
    }
    void TearDown() override {
        SetDebugLoggingEnabled(false);
        plat::SetDebugOutputSink(std::move(m_previous));
    }
    std::vector<std::string> m_written;
    plat::DebugOutputSink m_previous;
};

TEST_F(DebugTraceTest, WritesOnlyWhileDebugLoggingIsOnAndNeverToTheHostLogger) {
    RecordingServices services;
    CSFSvcRequest* pRequest = new CSFSvcRequest;
    pRequest->SetServices(&services);
    CSF_TRACE(kCSFLogTrace, "hidden %d", 1);
    SetDebugLoggingEnabled(true);
    CSF_TRACE(kCSFLogInfo, "shown %d", 2);
    SetDebugLoggingEnabled(false);
    CSF_TRACE(kCSFLogTrace, "hidden %d", 3);
    pRequest->Release();
    EXPECT_EQ(std::vector<std::string>{"shown 2\n"}, m_written);
    EXPECT_TRUE(services.Lines().empty());
}

// Every message is one line: one that lacks its line end gets it, one that
// has it keeps it alone, and a cut one ends in "..." and the line end.
TEST_F(DebugTraceTest, EveryMessageIsOneLineAndLongTextIsCutToItsHeadAndAnEllipsis) {
    SetDebugLoggingEnabled(true);
    std::string fits(1024, 'a');
    std::string tooLong = std::string(1020, 'b') + "cdefg";
    std::string muchLonger(5000, 'z');
    CSF_TRACE(kCSFLogTrace, "%s", fits.c_str());
    CSF_TRACE(kCSFLogTrace, "%s", tooLong.c_str());
    CSF_TRACE(kCSFLogTrace, "%s", muchLonger.c_str());
    CSF_TRACE(kCSFLogTrace, "ends its line\n");
    CSF_TRACE(kCSFLogTrace, "%s", "");
    EXPECT_EQ((std::vector<std::string>{fits + "\n", std::string(1020, 'b') + "...\n",
                                        std::string(1020, 'z') + "...\n", "ends its line\n", "\n"}),
              m_written);
}
