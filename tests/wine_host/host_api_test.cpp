// eklv.dll as a Windows host sees it: a copy loaded with LoadLibraryA from
// a fresh folder with its own eklv.ini, its exported functions called, its
// log file read back. Wine has no USB hubs, so a start fails at the
// device-id manager, as on any machine without hubs.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "support/api_scenarios.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

using test::LoadedLibrary;

// Each scenario in a library of its own: the opcode entry logs nothing.
TEST(WineHostApi, EntryPointsAndOpcodeEntryBeforeInitialisation) {
    LoadedLibrary calls(test::VerboseLogIni());
    ASSERT_TRUE(calls.ok());
    test::ExpectDeviceCallsAnswer14BeforeInitialisation(calls);
    EXPECT_EQ(calls.Uninitialize(), 13u);
    LoadedLibrary opcodes(test::VerboseLogIni());
    ASSERT_TRUE(opcodes.ok());
    test::ExpectOpcodeEntryCodesBeforeInitialisation(opcodes);
}

// The failed start, then the log file as Windows tools read it: named for
// the minute it was opened, beside the DLL, CRLF line ends, each line
// "HH:MM:SS.mmm  [TID nnnn] [------] text".
TEST(WineHostApi, StartWithoutHubsAndItsLogFile) {
    LoadedLibrary lib(test::VerboseLogIni());
    ASSERT_TRUE(lib.ok());
    test::ExpectStartWithoutHubsFails(lib);

    std::vector<std::string> files = lib.LogFiles();
    ASSERT_EQ(files.size(), 1u);
    const std::string& name = files[0];
    EXPECT_EQ(name.size(), 25u) << name;  // MM_DD_HH_MM_EKLV_Core.log
    EXPECT_EQ(name.substr(12), "EKLV_Core.log");

    std::string log = lib.Read(name);
    ASSERT_FALSE(log.empty());
    std::size_t lines = 0;
    for (std::size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos; start = end + 1, ++lines) {
        std::string line = log.substr(start, end - start);
        ASSERT_GE(line.size(), 27u) << line;
        EXPECT_EQ(line.back(), '\r') << "text mode: CRLF on disk";
        EXPECT_EQ(line.substr(12, 7), "  [TID ") << line;
        EXPECT_EQ(line.find("] [", 19), 23u) << "four-digit thread id: " << line;
    }
    EXPECT_GE(lines, 7u);
    EXPECT_EQ(log.back(), '\n');
    // The build label of the DLL's version resource, as the log prints it.
    EXPECT_NE(log.find("[------] Label - " EKLV_BUILD_LABEL "\r\n"), std::string::npos) << log;
}

// The version resource as installers and Explorer read it.
TEST(WineHostApi, VersionResource) {
    LoadedLibrary lib;
    ASSERT_TRUE(lib.ok());
    const std::string file = lib.File(test::TempFolder::kLibraryName);
    DWORD ignored = 0;
    std::vector<char> data(GetFileVersionInfoSizeA(file.c_str(), &ignored));
    ASSERT_FALSE(data.empty());
    ASSERT_TRUE(GetFileVersionInfoA(file.c_str(), 0, static_cast<DWORD>(data.size()), data.data()));
    auto value = [&](const char* name) {
        char* text = nullptr;
        UINT length = 0;
        std::string query = std::string("\\StringFileInfo\\040904B0\\") + name;
        return VerQueryValueA(data.data(), query.c_str(), reinterpret_cast<void**>(&text), &length) && text
                   ? std::string(text)
                   : std::string("(none)");
    };
    EXPECT_EQ(value("FileVersion"), EKLV_VERSION);
    EXPECT_EQ(value("ProductName"), "eklv");
    EXPECT_EQ(value("OriginalFilename"), "eklv.dll");
    EXPECT_EQ(value("Comments"), EKLV_BUILD_LABEL);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
    EXPECT_EQ(fixed->dwFileVersionMS, (static_cast<DWORD>(EKLV_VERSION_MAJOR) << 16) | EKLV_VERSION_MINOR);
}

}  // namespace
}  // namespace eklv
