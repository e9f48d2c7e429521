#include "qorToolsLib/DynamicLibrary.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/LastError.h"
#include "support/TestUtil.h"

namespace {

using AnswerFunction = int (*)();

// Built with the tests and placed beside the test program, where the
// Windows-style name of the library maps to.
const char kWindowsName[] = "HWDYNTEST.DLL";

}  // namespace

TEST(DynamicLibrary, WindowsStyleNameLoadsTheLibraryBesideTheModule) {
    EXPECT_EQ(plat::ThisModuleDirectory() + "/libhwdyntest.so", plat::MapLibraryName(kWindowsName));
    EXPECT_EQ(plat::ThisModuleDirectory() + "/libtarn.so", plat::MapLibraryName("tarn.dll"));
    EXPECT_EQ(plat::ThisModuleDirectory() + "/libduskdll.so",
              plat::MapLibraryName("C:\\Program Files\\DUSKDLL.DLL"));
    EXPECT_EQ("libm.so.6", plat::MapLibraryName("libm.so.6"));
    EXPECT_EQ("/opt/x/libm.so.6", plat::MapLibraryName("/opt/x/libm.so.6"));
    // A folder without the library: the one beside the module.
    EXPECT_EQ(plat::ThisModuleDirectory() + "/libqor-zam1.so",
              plat::MapLibraryName("/nonexistent/Duskwall/qor-zam1.dll"));

    DynamicLibrary library;
    ASSERT_EQ(QOR_S_OK, library.Load(kWindowsName)) << plat::LastLoaderMessage();
    EXPECT_TRUE(library.IsLoaded());
    EXPECT_EQ(kWindowsName, library.Name());
    auto answer = GetProcAs<AnswerFunction>(library, "hw_dynamic_test_answer");
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ(42, answer());
    EXPECT_EQ(0u, library.TakeLastError());
}

TEST(DynamicLibrary, WindowsStyleNameWithAFolderPrefersTheLibraryInThatFolder) {
    hwtest::ScratchDirectory folder;
    std::filesystem::copy_file(plat::ThisModuleDirectory() + "/libhwdyntest.so",
                               folder.File("libhwdyntest.so"));
    const std::string name = folder.Path() + "/HWDYNTEST.DLL";
    EXPECT_EQ(folder.File("libhwdyntest.so"), plat::MapLibraryName(name.c_str()));
    DynamicLibrary library;
    ASSERT_EQ(QOR_S_OK, library.Load(name.c_str())) << plat::LastLoaderMessage();
    EXPECT_NE(nullptr, library.GetProc("hw_dynamic_test_answer"));
}

TEST(DynamicLibrary, MissingLibraryGivesPathNotFoundAndKeepsTheError) {
    DynamicLibrary library;
    EXPECT_EQ(QOR_E_PATH_NOT_FOUND, library.Load("NOSUCHLIBRARY.DLL"));
    EXPECT_FALSE(library.IsLoaded());
    EXPECT_NE(std::string::npos, std::string(library.ErrorText()).find("[ID=126]"));
    EXPECT_EQ(plat::kErrModNotFound, library.TakeLastError());
    EXPECT_EQ(0u, library.TakeLastError());
    EXPECT_EQ(QOR_E_PATH_NOT_FOUND, library.Load(""));
}

TEST(DynamicLibrary, MissingEntryPointOrLibraryStateIsReported) {
    DynamicLibrary library;
    EXPECT_EQ(QOR_E_LIBRARY_STATE, library.Free());
    EXPECT_EQ(nullptr, library.GetProc("hw_dynamic_test_answer"));
    ASSERT_EQ(QOR_S_OK, library.Load(kWindowsName));
    EXPECT_EQ(nullptr, library.GetProc("no_such_entry_point"));
    EXPECT_EQ(plat::kErrProcNotFound, library.TakeLastError());
    EXPECT_EQ(nullptr, library.GetProc(nullptr));
    EXPECT_EQ(QOR_S_OK, library.Free());
    EXPECT_EQ(QOR_E_LIBRARY_STATE, library.Free());
}

TEST(DynamicLibrary, CopiesShareTheLibraryUntilTheLastOneGoes) {
    AnswerFunction answer = nullptr;
    DynamicLibrary survivor;
    {
        DynamicLibrary first;
        ASSERT_EQ(QOR_S_OK, first.Load(kWindowsName));
        DynamicLibrary second(first);
        survivor = second;
        answer = GetProcAs<AnswerFunction>(first, "hw_dynamic_test_answer");
    }
    ASSERT_TRUE(survivor.IsLoaded());
    ASSERT_NE(nullptr, answer);
    EXPECT_EQ(42, answer());
    // Reloading through one handle is seen by every copy of it.
    DynamicLibrary copy(survivor);
    EXPECT_EQ(QOR_S_OK, copy.Free());
    EXPECT_FALSE(survivor.IsLoaded());
}
