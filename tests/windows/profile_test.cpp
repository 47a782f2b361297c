// Profile files through the platform interface on Windows: the rules of
// Windows' own profile functions (Wine's here) that the settings and the
// device-id manager rely on, and the interface's own refusal of files that
// are not ordinary files or are larger than 1 MiB.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/handle.h"
#include "platform/profile.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

std::string Get(const std::string& file, const char* section, const char* key) {
    char value[64];
    pf::GetPrivateProfileStringA(section, key, "d", value, sizeof value, file);
    return value;
}

std::vector<std::string> SectionNames(const std::string& file) {
    char buffer[256];
    std::uint32_t length = pf::GetPrivateProfileSectionNamesA(buffer, sizeof buffer, file);
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < length;) {
        std::string name(buffer + i);
        i += static_cast<std::uint32_t>(name.size()) + 1;
        if (!name.empty()) names.push_back(name);
    }
    return names;
}

TEST(Profile, ReadAndWriteRules) {
    test::TempFolder dir;
    dir.Write("a.ini", "[Configuration]\r\nLevel = 0x7 ; all\r\nlevel=9\r\n");
    // Names match in any case, the first key wins, spaces around '=' go,
    // inline ';' text stays (the settings code cuts it itself).
    EXPECT_EQ(Get(dir.File("a.ini"), "CONFIGURATION", "LEVEL"), "0x7 ; all");

    const std::string ids = dir.File("USBConnectivityConfig.ini");
    ASSERT_TRUE(pf::WritePrivateProfileStringA("ROOT_TID", "pci\\x", "1", ids));
    ASSERT_TRUE(pf::WritePrivateProfileStringA("root_tid", "PCI\\X", "2", ids));
    ASSERT_TRUE(pf::WritePrivateProfileStringA("HISTORY", "k", "v", ids));
    EXPECT_EQ(Get(ids, "ROOT_TID", "pci\\x"), "2") << "a write replaces the key of any case";
    ASSERT_TRUE(pf::WritePrivateProfileStringA("ROOT_TID", "pci\\x", nullptr, ids));
    EXPECT_EQ(Get(ids, "ROOT_TID", "pci\\x"), "d");
    ASSERT_TRUE(pf::WritePrivateProfileStringA("HISTORY", nullptr, nullptr, ids));
    EXPECT_EQ(SectionNames(ids), (std::vector<std::string>{"ROOT_TID"}));
}

std::vector<std::string> g_told;

TEST(Profile, FilesThatAreNotOrdinaryFilesReadAsAbsentAndAreNotWritten) {
    test::TempFolder dir;
    ASSERT_TRUE(::CreateDirectoryA(dir.File("folder.ini").c_str(), nullptr));
    const std::string big = "[S]\r\nk=v\r\n" + std::string(1 << 20, ';');
    dir.Write("big.ini", big);
    pf::SetProfileNotice([](const std::string&, const std::string& why) { g_told.push_back(why); });
    for (int round = 0; round < 2; ++round) {
        for (const char* name : {"folder.ini", "big.ini"}) {
            SCOPED_TRACE(name);
            EXPECT_EQ(Get(dir.File(name), "S", "k"), "d");
            EXPECT_TRUE(SectionNames(dir.File(name)).empty());
            EXPECT_FALSE(pf::WritePrivateProfileStringA("S", "k", "w", dir.File(name)));
            EXPECT_EQ(pf::GetLastError(), pf::kErrorAccessDenied);
        }
    }
    pf::SetProfileNotice(nullptr);
    EXPECT_EQ(g_told, (std::vector<std::string>{"not a regular file", "larger than 1048576 bytes"})) << "once each";
    EXPECT_EQ(dir.Read("big.ini"), big);
}

}  // namespace
}  // namespace eklv
