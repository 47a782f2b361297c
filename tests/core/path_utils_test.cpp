// Long-path rules. (The log file's open and append are checked through the
// logger, in the log and folder tests.)
#include "core/path_utils.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(GetFullPath("/a/./b/../c"), "/a/c");
}

}  // namespace
}  // namespace eklv
