// The profile rules the settings and the device-id manager rely on, through
// the platform interface over Windows' own profile functions (Wine's here).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/profile.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

std::vector<std::string> List(const char* buffer, std::uint32_t length) {
    std::vector<std::string> items;
    for (std::uint32_t i = 0; i < length;) {
        std::string item(buffer + i);
        i += static_cast<std::uint32_t>(item.size()) + 1;
        if (!item.empty()) items.push_back(item);
    }
    return items;
}

TEST(Profile, ReadRules) {
    test::TempFolder dir;
    dir.Write("a.ini",
              "[Configuration]\r\nLevel = 0x7 ; all\r\nlevel=9\r\n#Hash=1\r\n"
              "[configuration]\r\nOther=1\r\n[Phone]\r\n1.2=5\r\n1.3=6\r\n");
    const std::string file = dir.File("a.ini");
    char value[64];
    // Names match in any case, the first key wins, spaces around '=' go,
    // inline ';' text stays (the settings code cuts it itself).
    ASSERT_EQ(pf::GetPrivateProfileStringA("CONFIGURATION", "LEVEL", "d", value, sizeof value, file), 9u);
    EXPECT_STREQ(value, "0x7 ; all");
    pf::GetPrivateProfileStringA("Configuration", "#Hash", "d", value, sizeof value, file);
    EXPECT_STREQ(value, "1") << "'#' lines are keys, not comments";
    // A section repeated in another case is not merged: the first one answers.
    EXPECT_EQ(pf::GetPrivateProfileStringA("Configuration", "Other", "d", value, sizeof value, file), 1u);
    EXPECT_STREQ(value, "d");
    // Values are cut to the buffer.
    EXPECT_EQ(pf::GetPrivateProfileStringA("Configuration", "Level", "", value, 4, file), 3u);
    EXPECT_STREQ(value, "0x7");

    char list[256];
    std::uint32_t n = pf::GetPrivateProfileSectionNamesA(list, sizeof list, file);
    EXPECT_EQ(List(list, n), (std::vector<std::string>{"Configuration", "configuration", "Phone"}));
    n = pf::GetPrivateProfileSectionA("PHONE", list, sizeof list, file);
    EXPECT_EQ(List(list, n), (std::vector<std::string>{"1.2=5", "1.3=6"}));
}

TEST(Profile, WritesCreateReplaceAndDelete) {
    test::TempFolder dir;
    const std::string file = dir.File("USBConnectivityConfig.ini");
    ASSERT_TRUE(pf::WritePrivateProfileStringA("ROOT_TID", "pci\\x", "1", file));
    ASSERT_TRUE(pf::WritePrivateProfileStringA("root_tid", "PCI\\X", "2", file));
    ASSERT_TRUE(pf::WritePrivateProfileStringA("HISTORY", "k", "v", file));
    char value[16];
    pf::GetPrivateProfileStringA("ROOT_TID", "pci\\x", "", value, sizeof value, file);
    EXPECT_STREQ(value, "2") << "a write replaces the key of any case";
    ASSERT_TRUE(pf::WritePrivateProfileStringA("ROOT_TID", "pci\\x", nullptr, file));
    EXPECT_EQ(pf::GetPrivateProfileStringA("ROOT_TID", "pci\\x", "", value, sizeof value, file), 0u);
    ASSERT_TRUE(pf::WritePrivateProfileStringA("HISTORY", nullptr, nullptr, file));
    char list[64];
    std::uint32_t n = pf::GetPrivateProfileSectionNamesA(list, sizeof list, file);
    EXPECT_EQ(List(list, n), (std::vector<std::string>{"ROOT_TID"}));
}

}  // namespace
}  // namespace eklv
