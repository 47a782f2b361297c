// Profile files with the Windows rules, on real files.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "platform/linux/profile_override.h"
#include "platform/profile.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

std::string Get(const std::string& file, const char* section, const char* key, const char* def = "") {
    char buffer[256];
    pf::GetPrivateProfileStringA(section, key, def, buffer, sizeof buffer, file);
    return buffer;
}

TEST(ProfileFile, ReadsByTheWindowsRules) {
    test::TempFolder dir;
    std::string file = dir.File("a.ini");
    EXPECT_EQ(Get(file, "S", "k", "dflt"), "dflt") << "missing file reads as empty";
    dir.Write("a.ini", "");
    EXPECT_EQ(Get(file, "S", "k", "dflt"), "dflt");

    dir.Write("a.ini",
              "\xEF\xBB\xBF[Main]\r\n"
              "Key = first value \r\n"
              "key=second\r\n"
              "no equals sign here\r\n"
              "Quoted=\"  spaced  \"\r\n"
              "[main]\r\n"
              "Other=from duplicate section\r\n"
              "[Next]\r\n"
              "Key=next\r\n");
    EXPECT_EQ(Get(file, "MAIN", "KEY"), "first value") << "names ignore case, first key wins, value trimmed";
    EXPECT_EQ(Get(file, "Main", "Quoted"), "  spaced  ");
    EXPECT_EQ(Get(file, "Main", "Other"), "") << "the first section of a name is the one read";
    EXPECT_EQ(Get(file, "Next", "Key"), "next");
    EXPECT_EQ(Get(file, "Main", "no equals sign here"), "");

    std::string long_value(400, 'x');
    dir.Write("a.ini", "[S]\nlong=" + long_value + "\n");
    EXPECT_EQ(Get(file, "S", "long").size(), 255u);
}

TEST(ProfileFile, WriteUpdatesTheWholeFileAndKeepsTheRest) {
    test::TempFolder dir;
    std::string file = dir.File("w.ini");
    ASSERT_TRUE(pf::WritePrivateProfileStringA("CORE_LOGGING", "Level", "0x00000007", file));
    dir.Write("w.ini", "; comment\r\n[CORE_LOGGING]\r\nlevel=1\r\n\r\n[Other]\r\nx=1\r\n");
    ASSERT_TRUE(pf::WritePrivateProfileStringA("core_logging", "Level", "0x00000002", file));
    ASSERT_TRUE(pf::WritePrivateProfileStringA("CORE_LOGGING", "Flush", "0", file));
    ASSERT_TRUE(pf::WritePrivateProfileStringA("New", "k", "v", file));
    EXPECT_EQ(dir.Read("w.ini"),
              "; comment\r\n[CORE_LOGGING]\r\nlevel=0x00000002\r\nFlush=0\r\n\r\n[Other]\r\nx=1\r\n[New]\r\nk=v\r\n");
    EXPECT_FALSE(pf::WritePrivateProfileStringA("S", "k", "v", dir.File("no/such/folder/x.ini")));
}

TEST(ProfileFile, ListsSectionsAndSectionLinesCutToTheBuffer) {
    test::TempFolder dir;
    dir.Write("l.ini", "[HISTORY]\nwhen=today\n[ROOT_TID]\npci\\1=5\n[Ports]\n0.3=7,x\njunk line\n0.4 = 9\n");
    char buffer[64];
    std::uint32_t n = pf::GetPrivateProfileSectionNamesA(buffer, sizeof buffer, dir.File("l.ini"));
    EXPECT_EQ(std::string(buffer, n), std::string("HISTORY\0ROOT_TID\0Ports\0", 23));
    n = pf::GetPrivateProfileSectionA("ports", buffer, sizeof buffer, dir.File("l.ini"));
    EXPECT_EQ(std::string(buffer, n), std::string("0.3=7,x\0junk line\0" "0.4=9\0", 24));
    char tiny[8];
    n = pf::GetPrivateProfileSectionA("Ports", tiny, sizeof tiny, dir.File("l.ini"));
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(tiny[6], '\0');
    EXPECT_EQ(tiny[7], '\0');
}

// Reads reuse a file's parse while its stat is unchanged; every kind of
// rewrite between two reads must still be seen.
TEST(ProfileFile, RewritesBetweenReadsAreSeen) {
    test::TempFolder dir;
    std::string file = dir.File("r.ini");
    dir.Write("r.ini", "[S]\nk=1\n");
    EXPECT_EQ(Get(file, "S", "k"), "1");
    dir.Write("r.ini", "[S]\nk=2\n");  // in place, same size, likely within one timestamp tick
    EXPECT_EQ(Get(file, "S", "k"), "2") << "a just-changed file is read again";

    pf::lx::OverrideProfileSettleTime(0);  // reuse at once, as for a file that has settled
    EXPECT_EQ(Get(file, "S", "k"), "2");
    EXPECT_EQ(Get(file, "S", "k"), "2");
    dir.Write("r.ini", "[S]\nk=33\n");
    EXPECT_EQ(Get(file, "S", "k"), "33") << "size changed";
    dir.Write("r.ini", "[S]\nk=44\n");
    timespec times[2] = {{0, UTIME_OMIT}, {1000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    EXPECT_EQ(Get(file, "S", "k"), "44") << "same size, times changed";
    dir.Write("n.ini", "[S]\nk=55\n");
    ASSERT_EQ(std::rename(dir.File("n.ini").c_str(), file.c_str()), 0);
    EXPECT_EQ(Get(file, "S", "k"), "55") << "replaced by another file";
    ASSERT_TRUE(pf::WritePrivateProfileStringA("S", "k", "66", file));
    EXPECT_EQ(Get(file, "S", "k"), "66") << "our own write";
    {
        // One handling's reads: the file is looked at once; its own writes
        // still show, a rewrite from outside shows after the scope.
        pf::ProfileReadScope scope;
        EXPECT_EQ(Get(file, "S", "k"), "66");
        dir.Write("r.ini", "[S]\nk=777\n");
        EXPECT_EQ(Get(file, "S", "k"), "66");
        ASSERT_TRUE(pf::WritePrivateProfileStringA("S", "k", "88", file));
        EXPECT_EQ(Get(file, "S", "k"), "88");
        dir.Write("r.ini", "[S]\nk=999\n");
    }
    EXPECT_EQ(Get(file, "S", "k"), "999");
    ASSERT_EQ(std::remove(file.c_str()), 0);
    EXPECT_EQ(Get(file, "S", "k", "gone"), "gone");
    pf::lx::OverrideProfileSettleTime(-1);
}

}  // namespace
}  // namespace eklv
