// Settings files that are not files: read as absent without blocking,
// reported once, never rewritten (POSIX file kinds: FIFO, a link to a
// device).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "core/settings.h"
#include "platform/profile.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

std::vector<std::string> g_refusals;
void RecordRefusal(const std::string&, const std::string& why) { g_refusals.push_back(why); }

// A FIFO (whose open would wait for a writer), a link to /dev/zero (endless)
// and a file over 1 MiB read as absent at once, are reported once each and
// are never rewritten.
TEST(Settings, FilesThatAreNotFilesReadAsEmptyWithoutBlocking) {
    test::ModuleFolder dir;
    InitSettings();
    pf::SetProfileNotice(&RecordRefusal);
    const std::string ini = dir.File("eklv.ini");
    auto value = [] {
        int v = -1;
        GetIniIntDefault("Configuration", "X", 9, &v);
        return v;
    };
    std::remove(ini.c_str());
    ASSERT_EQ(mkfifo(ini.c_str(), 0600), 0);
    EXPECT_EQ(value(), 9);
    EXPECT_EQ(value(), 9);
    EXPECT_EQ(g_refusals, std::vector<std::string>{"not a regular file"}) << "once until the file changes";
    EXPECT_EQ(WriteIniString("CORE_LOGGING", "Level", "7"), kIniWriteFailed);
    struct stat st;
    ASSERT_EQ(lstat(ini.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "left as it was";

    std::remove(ini.c_str());
    ASSERT_EQ(symlink("/dev/zero", ini.c_str()), 0);
    EXPECT_EQ(value(), 9);
    std::remove(ini.c_str());
    std::ofstream(ini) << "[Configuration]\nX=5\n;" << std::string(1 << 20, 'x') << "\n";
    EXPECT_EQ(value(), 9);
    EXPECT_EQ(g_refusals.size(), 3u);
    EXPECT_EQ(g_refusals.back(), "larger than 1048576 bytes");
    std::ofstream(ini) << "[Configuration]\nX=5\n";
    EXPECT_EQ(value(), 5);
    EXPECT_EQ(g_refusals.size(), 3u);
    InitSettings();  // the library's own notice again
}

}  // namespace
}  // namespace eklv
