#include "qorToolsLib/QorSeException.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "FaultingCode.h"
#include "qorToolsLib/QORError.h"

namespace {

std::string g_sinkText;

void CollectingSink(const char* format, ...) {
    va_list args;
    va_start(args, format);
    char text[4096];
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_sinkText += text;
}

// The exception of a null read on the calling thread.
QorSeException CatchNullRead() {
    try {
        RunTranslated([] { hwtest::ReadAddressZero(); });
    } catch (const QorSeException& fault) {
        return fault;
    }
    ADD_FAILURE() << "the fault was not translated";
    return QorSeException(0, nullptr);
}

std::string FullReport(const QorSeException& fault) {
    char report[8192];
    fault.FormatException(report, sizeof report);
    return report;
}

size_t CountOf(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

}  // namespace

TEST(QorSeException, NullReadBecomesAnAccessViolationWithItsContext) {
    QorSeException fault = CatchNullRead();
    ASSERT_NE(nullptr, fault.ExceptionPointers());
    EXPECT_EQ(plat::kFaultAccessViolation, fault.Code());
    EXPECT_EQ(0u, fault.ExceptionPointers()->dataAddress);
    EXPECT_NE(0u, fault.ExceptionAddress());
    EXPECT_GT(fault.ExceptionPointers()->frameCount, 1u);
    std::string report = FullReport(fault);
    char firstLine[128];
    std::snprintf(firstLine, sizeof firstLine,
                  "Exception code = 0xc0000005, Address = %#lx, Thread ID = ",
                  static_cast<unsigned long>(fault.ExceptionAddress()));
    EXPECT_EQ(0u, report.rfind(firstLine, 0)) << report;
    EXPECT_NE(std::string::npos, report.find("\nRegister Contents:\n\n")) << report;
    EXPECT_NE(std::string::npos, report.find("\nAddress    Frame     Return    Arg 1")) << report;
}

TEST(QorSeException, ShortOrMissingBuffersAndSinksGetOnlyWhatFits) {
    QorSeException fault = CatchNullRead();
    char buffer[10];
    std::memset(buffer, 'x', sizeof buffer);
    fault.FormatException(buffer, sizeof buffer);
    EXPECT_STREQ("Exception", buffer);
    char untouched = 'x';
    fault.FormatException(&untouched, 0);
    fault.FormatException(nullptr, 10);
    EXPECT_EQ('x', untouched);
    fault.ReportException(nullptr);
    fault.ReportExceptionBrief(nullptr, "title");
    StackTrace(fault.ExceptionPointers(), nullptr);
    g_sinkText.clear();
    fault.ReportExceptionBrief(CollectingSink, nullptr);
    EXPECT_EQ(0u, g_sinkText.rfind("Program Exception: Exception code = 0xc0000005", 0))
        << g_sinkText;
}

TEST(QorSeException, SinkReportHasTheHeaderAndOneLinePerFrame) {
    QorSeException fault = CatchNullRead();
    g_sinkText.clear();
    fault.ReportException(CollectingSink);
    const std::string& text = g_sinkText;
    EXPECT_EQ(0u, text.rfind("Exception code = 0xc0000005", 0));
    size_t header = text.find(
        "\nStack Traceback:\n"
        "Address    Frame     Return    Arg 1     Arg 2     Arg 3     Arg 4     Module\n"
        "--------  --------  --------  --------  --------  --------  --------  --------\n\n");
    ASSERT_NE(std::string::npos, header) << text;
    std::string frames = text.substr(header);
    EXPECT_EQ(fault.ExceptionPointers()->frameCount + 5, CountOf(frames, "\n")) << frames;
}

TEST(QorSeException, RegisterDumpTranslatorThrowsTheDumpAsText) {
    SeTranslatorScope scope(RegisterDumpTranslator);
    try {
        RunTranslated([] { hwtest::ReadAddressZero(); });
        FAIL() << "the fault was not translated";
    } catch (const jsThreadException& dump) {
        std::string text = dump.what();
        EXPECT_EQ(0u, text.rfind("Exception = C0000005, Address = ", 0)) << text;
        EXPECT_NE(std::string::npos, text.find("RAX = ")) << text;
        EXPECT_NE(std::string::npos, text.find("\r\n\nAddress    Frame")) << text;
    }
}

TEST(QorSeException, InnerTrapTakesTheFaultAndOuterCodeGoesOn) {
    int reached = 0;
    RunTranslated([&] {
        try {
            RunTranslated([] { hwtest::DivideByZero(); });
        } catch (const QorSeException&) {
            ++reached;
        }
        ++reached;
    });
    EXPECT_EQ(2, reached);
}

TEST(QorSeExceptionDeathTest, FaultOutsideAnyTrapStillEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            RunTranslated([] {});  // the handler is in place from here on
            hwtest::ReadAddressZero();
        },
        "");
}

TEST(FindModuleSection, CodeIsFoundInItsProgramAndOtherAddressesInNone) {
    char name[260];
    uint32_t section = 99;
    uintptr_t offset = 0;
    EXPECT_FALSE(FindModuleSection(0x10, name, sizeof name, section, offset));
    EXPECT_EQ(0u, section);
    EXPECT_EQ(0x10u, offset);
    auto address = reinterpret_cast<uintptr_t>(&CatchNullRead);
    ASSERT_TRUE(FindModuleSection(address, name, sizeof name, section, offset));
    EXPECT_GE(section, 1u);
    EXPECT_LT(offset, address);
    EXPECT_NE(nullptr, std::strstr(name, "qorToolsLib_tests")) << name;
    char shortName[4];
    ASSERT_TRUE(FindModuleSection(address, shortName, sizeof shortName, section, offset));
    EXPECT_EQ(3u, std::strlen(shortName));
}
