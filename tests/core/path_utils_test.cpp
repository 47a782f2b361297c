// Long-path rules and the stream modes of the open flags.
#include "core/path_utils.h"

#include <gtest/gtest.h>

#include "core/stdio_file.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

TEST(PathUtils, LongPathForms) {
    // A resolver that marks what it resolved.
    auto full = [](const std::string& path) { return "C:\\full\\" + path; };
    EXPECT_EQ(MakeLongPathForm("rel\\f.txt", full), "\\\\?\\C:\\full\\rel\\f.txt");
    EXPECT_EQ(MakeLongPathForm("\\\\srv\\share\\x.log", full), "\\\\?\\UNC\\srv\\share\\x.log");
    EXPECT_EQ(MakeLongPathForm("\\\\?\\C:\\x", full), "\\\\?\\C:\\x");
    EXPECT_EQ(MakeLongPathForm("\\\\?\\UNC\\s\\x", full), "\\\\?\\UNC\\s\\x");
    EXPECT_EQ(MakeLongPathForm("", full), "");
    EXPECT_EQ(MakeLongPathForm("x", [](const std::string&) { return std::string(); }), "");
    // Here paths have no prefix convention and stay as they are.
    EXPECT_EQ(MakeLongPath("/tmp/x/../y.log"), "/tmp/x/../y.log");
    test::ModuleFolder dir;
    EXPECT_EQ(GetModuleFolder(), dir.path() + "/");
    EXPECT_EQ(GetFullPath("/a/./b/../c"), "/a/c");
}

TEST(StdioFile, StreamModesAndAppend) {
    // The logger's mode: appends, creating the file.
    EXPECT_EQ(StreamModeForFlags(kFileModeCreate | kFileModeNoTruncate | kFileShareDenyNone | kFileModeReadWrite),
              "a+t");

    test::TempFolder dir;
    dir.Write("f.log", "kept\n");
    CKLVStdioFile file;
    FileError error;
    ASSERT_TRUE(file.Open(dir.File("f.log"), kFileModeCreate | kFileModeNoTruncate | kFileModeReadWrite, &error));
    EXPECT_TRUE(file.WriteString("added\n"));
    file.Close();
    EXPECT_EQ(dir.Read("f.log"), "kept\nadded\n");
    EXPECT_FALSE(file.Open(dir.File("none/f.log"), kFileModeCreate | kFileModeReadWrite, &error));
    EXPECT_EQ(error.file_name, dir.File("none/f.log"));
    EXPECT_NE(error.os_error, 0u);
}

}  // namespace
}  // namespace eklv
