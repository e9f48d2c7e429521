#include "TclHandler/qorTclCommand.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include <string>

#include "Common/LineSocket.h"
#include "platform/LastError.h"
#include "support/TestUtil.h"

namespace {

// Two ends of one loopback connection: the test writes raw lines on one and
// reads commands on the other.
class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        const uint16_t wPort = hwtest::FreeLoopbackPort(false);
        ASSERT_EQ(1, m_Listener.Listen(wPort, "127.0.0.1"));
        ASSERT_EQ(1, m_Writer.Connect(wPort, "127.0.0.1"));
        ASSERT_EQ(1, m_Listener.Accept());
        m_Listener.SetReadTimeout(100);
    }

    // Receives until a result other than "nothing yet" comes.
    int ReceiveAfter(const std::string& strLines, qorTclCommand& command, uint32_t& dwError) {
        if (!strLines.empty()) {
            EXPECT_GT(m_Writer.Send(strLines.data(), static_cast<long>(strLines.size())), 0);
        }
        int nResult = 0;
        hwtest::WaitUntil([&] { return (nResult = command.Receive(m_Listener, dwError)) != 0; }, 10);
        return nResult;
    }

    LineSocket m_Listener;
    LineSocket m_Writer;
};

}  // namespace

TEST_F(CommandLineTest, OneLineScriptKeepsTheBlankAfterBosAndDropsTheOneBeforeEos) {
    qorTclCommand command;
    uint32_t dwError = 1;
    ASSERT_EQ(1, ReceiveAfter("Script 3 Procedure <BOS> puts a <EOS>\n", command, dwError));
    EXPECT_EQ(0u, dwError);
    EXPECT_EQ(qorTclCommand::kScript, command.m_nCommandType);
    EXPECT_EQ(3, command.m_nRuleId);
    EXPECT_EQ(qorTclCommand::kProcedure, command.m_nScriptType);
    EXPECT_EQ(" puts a", command.m_strText);
}

TEST_F(CommandLineTest, TextOverSeveralLinesEndsAtEosAndANewCommandBeforeItIsRefused) {
    qorTclCommand command;
    uint32_t dwError = 0;
    ASSERT_EQ(1, ReceiveAfter("Script 4 Validation <BOS> set a 1\nset b 2\nreturn $a <EOS>  \n",
                              command, dwError));
    EXPECT_EQ(" set a 1\nset b 2\nreturn $a ", command.m_strText);
    EXPECT_EQ(0, command.m_nIncomplete);

    ASSERT_EQ(-1, ReceiveAfter("Script 5 Initial <BOS> first\nRun 5 Initial 7\n", command, dwError));
    EXPECT_EQ(0u, dwError);
    EXPECT_EQ(0u, command.m_strText.find(
                      "Received new command when previous command is incomplete: Previous command <"))
        << command.m_strText;
    EXPECT_NE(std::string::npos, command.m_strText.find(">, new command <Run 5 Initial 7>"));
    EXPECT_EQ(0, command.m_nIncomplete);
}

TEST_F(CommandLineTest, MalformedLinesAreRejectedWithTheirReason) {
    const struct {
        const char* pszLine;
        const char* pszText;
    } cases[] = {
        {"Run 3 Validation x1\n", "The Transaction Id part must be a number: Run 3 Validation x1"},
        {"Run 3 Validation 12 Maybe\n", "The return type is wrong: Run 3 Validation 12 Maybe"},
        {"Script x Procedure\n", "The Rule Id part must be a number: Script x Procedure"},
        {"Script 3 Proc\n", "The ScriptType part is not valid type: Script 3 Proc"},
        {"Script 3\n", "Incomplete command: Script 3"},
        {"Run 3 Validation\n", "Incomplete command: Run 3 Validation"},
        {"Hello\n", "Unknown command: Hello"},
    };
    for (const auto& c : cases) {
        qorTclCommand command;
        uint32_t dwError = 1;
        EXPECT_EQ(-1, ReceiveAfter(c.pszLine, command, dwError)) << c.pszLine;
        EXPECT_EQ(0u, dwError) << c.pszLine;
        EXPECT_EQ(c.pszText, command.m_strText);
    }
    qorTclCommand unknown;
    uint32_t dwError = 0;
    ReceiveAfter("Hello\n", unknown, dwError);
    EXPECT_EQ(qorTclCommand::kError, unknown.m_nReturnType);
}

TEST_F(CommandLineTest, RepliesCarryTheirIdsReturnTypeAndTrimmedText) {
    qorTclCommand command;
    uint32_t dwError = 0;
    ASSERT_EQ(1, ReceiveAfter("Run 3 Validation -5 True\n", command, dwError));
    EXPECT_EQ(-5, command.m_nTransactionId);
    EXPECT_EQ(qorTclCommand::kTrue, command.m_nReturnType);
    EXPECT_EQ("", command.m_strText);

    ASSERT_EQ(1, ReceiveAfter("Run 3 Validation 12 Error  can't read \"x\"  \n", command, dwError));
    EXPECT_EQ(12, command.m_nTransactionId);
    EXPECT_EQ(qorTclCommand::kError, command.m_nReturnType);
    EXPECT_EQ("can't read \"x\"", command.m_strText);

    ASSERT_EQ(1, ReceiveAfter("Script 2 Response False no\n", command, dwError));
    EXPECT_EQ(qorTclCommand::kResponse, command.m_nScriptType);
    EXPECT_EQ(qorTclCommand::kFalse, command.m_nReturnType);
    EXPECT_EQ("no", command.m_strText);
}

TEST_F(CommandLineTest, SentCommandsReadBackAsTheSameCommand) {
    qorTclCommand script;
    script.m_nCommandType = qorTclCommand::kScript;
    script.m_nRuleId = 7;
    script.m_nScriptType = qorTclCommand::kValidation;
    script.m_strText = "if {$x} {\n  return 1\n}";
    uint32_t dwError = 0;
    ASSERT_GT(script.Send(m_Writer, dwError), 0);

    qorTclCommand run = script;
    run.m_nCommandType = qorTclCommand::kRun;
    run.m_nTransactionId = 12;
    ASSERT_GT(run.Send(m_Writer, dwError), 0);

    qorTclCommand received;
    ASSERT_EQ(1, ReceiveAfter("", received, dwError));
    EXPECT_EQ(7, received.m_nRuleId);
    EXPECT_EQ(" if {$x} {\n  return 1\n} ", received.m_strText);
    ASSERT_EQ(1, ReceiveAfter("", received, dwError));
    EXPECT_EQ(qorTclCommand::kRun, received.m_nCommandType);
    EXPECT_EQ(12, received.m_nTransactionId);
    EXPECT_EQ(qorTclCommand::kEmpty, received.m_nReturnType);

    char szText[64];
    EXPECT_STREQ("Run 7 Validation 12", run.Format(szText, sizeof szText));
    run.m_nReturnType = qorTclCommand::kTrue;
    run.m_strText = "1";
    EXPECT_STREQ("Run 7 Validation 12, Result True <1>", run.Format(szText, sizeof szText));
}

// A reply the process is still writing when the reader gets to it is read
// whole, not taken for a line of its own.
TEST_F(CommandLineTest, LineThatArrivesInTwoPartsIsOneCommand) {
    qorTclCommand received;
    uint32_t dwError = 0;
    const std::string strHead = "Run 3 Validation 12 Tr";
    ASSERT_GT(m_Writer.Send(strHead.data(), static_cast<long>(strHead.size())), 0);
    EXPECT_EQ(0, received.Receive(m_Listener, dwError));
    ASSERT_EQ(1, ReceiveAfter("ue 1\n", received, dwError)) << received.m_strText;
    EXPECT_EQ(qorTclCommand::kTrue, received.m_nReturnType);
    EXPECT_EQ(12, received.m_nTransactionId);
    EXPECT_EQ("1", received.m_strText);
}

TEST_F(CommandLineTest, ClosedConnectionIsReportedWithItsErrorCode) {
    m_Writer.Close();
    qorTclCommand command;
    uint32_t dwError = 0;
    int nResult = 0;
    ASSERT_TRUE(hwtest::WaitUntil([&] { return (nResult = command.Receive(m_Listener, dwError)) < 0; }, 10));
    EXPECT_NE(0u, dwError);
    // The line keeps its words and number, and says the reason in the
    // system's words after them.
    EXPECT_EQ("Error when reading command from socket, errno = " + std::to_string(dwError) + " (" +
                  SocketErrorWords(dwError) + ")",
              command.m_strText);
    EXPECT_FALSE(SocketErrorWords(dwError).empty());
}

// Every number the layer makes of a socket error reads back as the
// system's words for it; a closed connection as no connection.
TEST(SocketErrorWords, NumbersReadAsTheSystemsWords) {
    // No failure of this thread's stands for the numbers below.
    plat::SetLastErrorFromErrno(0);
    EXPECT_EQ(std::strerror(ECONNRESET), SocketErrorWords(10054));
    EXPECT_EQ(std::strerror(EMFILE), SocketErrorWords(10024));
    EXPECT_EQ("no connection to the script process is open", SocketErrorWords(10093));
    EXPECT_EQ("", SocketErrorWords(0));
    EXPECT_EQ("", SocketErrorWords(12345));
}
