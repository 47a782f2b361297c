// Long-path rules and the stream modes of the open flags.
#include "core/path_utils.h"

#include <gtest/gtest.h>

#include "core/stdio_file.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

// Resolves like the Windows full-path call: relative paths against C:\cur,
// "." and ".." folded.
std::string FakeFullPath(const std::string& path) {
    std::string absolute = (path.size() > 1 && path[1] == ':') ? path : "C:\\cur\\" + path;
    std::string out;
    std::size_t pos = 0;
    while (pos <= absolute.size()) {
        std::size_t next = absolute.find('\\', pos);
        if (next == std::string::npos) next = absolute.size();
        std::string part = absolute.substr(pos, next - pos);
        if (part == "..")
            out.erase(out.rfind('\\'));
        else if (part != "." && !part.empty())
            out += (out.empty() ? "" : "\\") + part;
        pos = next + 1;
    }
    return out;
}

TEST(PathUtils, LongPathForms) {
    EXPECT_EQ(MakeLongPathForm("C:\\a\\..\\b\\log.txt", FakeFullPath), "\\\\?\\C:\\b\\log.txt");
    EXPECT_EQ(MakeLongPathForm("\\\\srv\\share\\x.log", FakeFullPath), "\\\\?\\UNC\\srv\\share\\x.log");
    EXPECT_EQ(MakeLongPathForm("\\\\?\\C:\\x", FakeFullPath), "\\\\?\\C:\\x");
    EXPECT_EQ(MakeLongPathForm("\\\\?\\UNC\\s\\x", FakeFullPath), "\\\\?\\UNC\\s\\x");
    EXPECT_EQ(MakeLongPathForm("", FakeFullPath), "");
    EXPECT_EQ(MakeLongPathForm("rel\\f.txt", FakeFullPath), "\\\\?\\C:\\cur\\rel\\f.txt");
    EXPECT_EQ(MakeLongPathForm("x", [](const std::string&) { return std::string(); }), "");
    // Here paths have no prefix convention and stay as they are.
    EXPECT_EQ(MakeLongPath("/tmp/x/../y.log"), "/tmp/x/../y.log");
}

TEST(PathUtils, ModuleFolderAndFullPath) {
    test::ModuleFolder dir;
    EXPECT_EQ(GetModuleFolder(), dir.path() + "/");
    EXPECT_EQ(GetFullPath("/a/./b/../c"), "/a/c");
    EXPECT_EQ(GetFullPath(""), "");
    EXPECT_TRUE(IsXPOrLater());
    EXPECT_TRUE(IsVistaOrLater());
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
