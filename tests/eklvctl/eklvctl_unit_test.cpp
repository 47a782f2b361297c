// The parts of eklvctl that need no library: pairing the library's two
// announcements of a change, the texts it reads and writes, the checks of
// eklv.ini, the phones its udev rule names and the TIDs it finds in the
// core log. (The rule itself is run by udevadm in scripts/test-install.sh.)
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "announcements.h"
#include "library.h"
#include "core_log.h"
#include "json_text.h"
#include "output.h"
#include "station_ini.h"
#include "udev_rules.h"
#include "support/lib_folder.h"

namespace eklvctl {
namespace {

using namespace std::chrono_literals;

InterfaceEvent Message(bool arrival, std::uint16_t device, std::uint32_t type) {
    InterfaceEvent e;
    e.arrival = arrival;
    e.device_id = device;
    e.type = type;
    return e;
}

EKLVNotificationBlock Block(bool arrival, std::uint16_t device, const std::string& name) {
    EKLVNotificationBlock b{};
    b.device_id = device;
    b.event = arrival ? EKLV_DBT_DEVICEARRIVAL : EKLV_DBT_DEVICEREMOVECOMPLETE;
    std::snprintf(b.device_name, sizeof b.device_name, "%s", name.c_str());
    std::snprintf(b.product, sizeof b.product, "Phone %u", device);
    b.class_guid = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
    return b;
}

TEST(Announcements, BlocksCompleteTheirMessagesInOrder) {
    const auto t0 = Clock::now();
    Announcements a(false, 500ms);
    InterfaceEvent e;
    // The name of the next event ready at t0 + after (in e); "(none)" when none is.
    auto pop = [&](Clock::duration after = 0ms) { return a.Pop(t0 + after, &e) ? e.name : std::string("(none)"); };

    // A message waits for its block, then comes out with the block's texts.
    a.Message(Message(true, 0, INF_DATA), t0);
    EXPECT_EQ(pop(10ms), "(none)");
    EXPECT_EQ(a.Due(), t0 + 500ms);
    a.Block(Block(true, 0, "modem"));
    EXPECT_EQ(pop(10ms), "modem");
    EXPECT_EQ(e.product, "Phone 0");
    EXPECT_EQ(e.class_guid, "{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    EXPECT_FALSE(a.Due());

    // A block completes the oldest message of its device and kind; the
    // messages before it lost their blocks and come out first, without.
    a.Message(Message(true, 1, INF_UART), t0);
    a.Message(Message(false, 0, INF_DATA), t0);
    a.Message(Message(true, 0, INF_DATA), t0);
    a.Block(Block(true, 0, "again"));
    EXPECT_EQ(pop(), "");
    EXPECT_EQ(e.device_id, 1);
    EXPECT_EQ(pop(), "");
    EXPECT_FALSE(e.arrival);
    EXPECT_EQ(pop(), "again");
    EXPECT_EQ(pop(), "(none)");

    // A block of the other kind completes nothing; the message is due
    // after the grace time without one.
    a.Message(Message(false, 2, INF_UART), t0);
    a.Block(Block(true, 2, "arrival block"));
    EXPECT_EQ(pop(499ms), "(none)");
    EXPECT_EQ(pop(500ms), "");

    // A name that fills its field without a terminating zero ends there.
    a.Message(Message(true, 3, INF_UART), t0);
    EKLVNotificationBlock full = Block(true, 3, "");
    std::memset(full.device_name, 'x', sizeof full.device_name);
    a.Block(full);
    EXPECT_EQ(pop(), std::string(256, 'x'));

    // Host-fed: no blocks come, a message is ready at once.
    Announcements fed(true);
    fed.Message(Message(true, 9, INF_UART), t0);
    ASSERT_TRUE(fed.Pop(t0, &e));
    EXPECT_EQ(e.device_id, 9);
}

TEST(Names, GuidsAndPortsFromSymbolicNames) {
    const std::string composite = "\\\\?\\usb#vid_6b4d&pid_2001&mi_00#1-3.2:1.0#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
    EKLVGuid guid{};
    ASSERT_TRUE(GuidFromName(composite, &guid));
    EXPECT_EQ(GuidText(guid), "{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    for (const char* bad : {"\\\\?\\usb#vid_6b4d#1-3#{86e0d1e0-8089-11d0-9ce4-08003e301f7}",
                            "\\\\?\\usb#vid_6b4d#1-3#{86e0d1e0x8089-11d0-9ce4-08003e301f73}",
                            "\\\\?\\usb#vid_6b4d#1-3#{86e0d1e0-8089-11d0-9ce4-08003e301g73}", "no guid"})
        EXPECT_FALSE(GuidFromName(bad, &guid)) << bad;

    // Ports of phones and FTDIs show in list and watch on the kernel rig;
    // names without a port give none.
    EXPECT_EQ(PortFromName("\\\\?\\usb#vid_1d6b&pid_0002#usb1#{f18a0e88-c30c-11d0-8815-00a0c906bed8}"), "");
    EXPECT_EQ(PortFromName("\\\\?\\usb#vid_6b4d&pid_2002#5&1a2b&0&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}"), "");
}

TEST(Words, ResultCodesAndInterfaceTypes) {
    // The device id is the low 16 bits of the argument, as the library reads it.
    EXPECT_EQ(Explain(Call::kOpen, 3, 0x00FF0007), "no attached device has id 7 (result 3)");
    EXPECT_EQ(Explain(Call::kRead, 99), "unknown result code (result 99)");
    // One code, different meanings for different calls.
    EXPECT_NE(ResultMeaning(Call::kInitialize, 1).find("USB hub"), std::string::npos);
    EXPECT_NE(ResultMeaning(Call::kComPort, 1).find("COM port"), std::string::npos);

    for (const char* text : {"INF_UART", "inf_uart", "uart", "Uart", "0x8003", "32771"})
        EXPECT_EQ(ParseInterfaceType(text), std::optional<std::uint32_t>(INF_UART)) << text;
    for (const char* text : {"", "bogus", "INF_", "0x8000", "0x1234", "8003x"})
        EXPECT_FALSE(ParseInterfaceType(text)) << text;
    EXPECT_EQ(InterfaceTypeName(0x1234), "0x1234");
}

TEST(StationIni, ReadWithTheLibrarysRulesAndChecked) {
    IniFile ini = IniFile::Parse(
        "key=before any section\n[Gu" "ID]\n  guid_0 = abc ; remark\nGUID_0=second\n[other]\nx=1\n[GUID]\nGUID_1=;only\n");
    EXPECT_EQ(ini.Get("guid", "GUID_0"), std::optional<std::string>("abc"));
    EXPECT_EQ(ini.Get("GUID", "GUID_1"), std::optional<std::string>(""));
    EXPECT_FALSE(ini.Get("GUID", "key"));
    EXPECT_FALSE(ini.Get("", "key"));
    EXPECT_EQ(ini.Get("OTHER", "X"), std::optional<std::string>("1"));

    EXPECT_TRUE(IsGuidText("86E0D1E0-8089-11D0-9CE4-08003E301F73"));
    for (const char* bad : {"86e0d1e0-8089-11d0-9ce4-08003e301f7",
                            "86e0d1e0-8089-11d0-9ce4008003e301f73", "86e0d1e0-8089-11d0-9ce4-08003e301f7z"})
        EXPECT_FALSE(IsGuidText(bad)) << bad;

    eklv::test::TempFolder folder;
    const std::string guid0 = "[GUID]\nGUID_0=86e0d1e0-8089-11d0-9ce4-08003e301f73\n";
    const std::string vid = "[VID_FILTER]\nVID_0=vid_6b4d\n";
    // Each ini with the complaint it gets; "(fine)" for none.
    const std::pair<std::string, const char*> cases[] = {
        {guid0 + "GUID_1=not-a-guid\n" + vid + "[INF_SETTINGS]\nINF_UART=UART\n", "GUID_1=not-a-guid"},
        {"[GUID]\nGUID_1=86e0d1e0-8089-11d0-9ce4-08003e301f73\n" + vid, "no [GUID] GUID_0"},
        {guid0 + "[VID_FILTER]\nVID_0=;nothing\n", "no [VID_FILTER] VID_0"},
        {guid0 + vid + "[INF_SETTINGS]\nINF_DATA=\nINF_UART= ; none\n", "no [INF_SETTINGS] entry"},
        {guid0 + vid + "[inf_settings]\ninf_hbflash=Flash\n", "(fine)"},
    };
    for (const auto& [ini, complaint] : cases) {
        folder.Write("eklv.ini", ini);
        EXPECT_NE(CheckStationIni(folder.path()).value_or("(fine)").find(complaint), std::string::npos) << ini;
    }
}

TEST(UdevRules, PhonesAsTheFiltersReadThem) {
    std::vector<std::string> skipped;
    auto phones = SupportedPhones(IniFile::Parse("[vid_filter]\nVID_0=VID_6B4D ; maker\nVID_1=vid_1a86&pid_7523\n"
                                                 "VID_2=usb#serial\nVID_3=vid_2717\n\nVID_5=vid_0bb4\n"
                                                 "[MTK_SMART_PID_FILTER]\nPID_LIST=2001,20a2;2003\n"),
                                  &skipped);
    ASSERT_EQ(phones.size(), 3u);
    EXPECT_EQ(phones[0].vendor, "6b4d");
    EXPECT_EQ(phones[0].products, (std::vector<std::string>{"2001", "20a2"})) << "the comment rule cuts 2003";
    EXPECT_EQ(phones[1].products, std::vector<std::string>{"7523"});
    EXPECT_TRUE(phones[2].products.empty()) << "every product of 2717";
    EXPECT_EQ(skipped, std::vector<std::string>{"VID_2=usb#serial"});
    // VID_4 is missing: the library reads no further, nor does the rule.

    // The maker's products outside PID_LIST are refused by the library.
    for (const char* ini : {"[VID_FILTER]\nVID_0=vid_6b4d\n",
                            "[VID_FILTER]\nVID_0=vid_6b4d&pid_2009\n[MTK_SMART_PID_FILTER]\nPID_LIST=2001\n"})
        EXPECT_TRUE(SupportedPhones(IniFile::Parse(ini), nullptr).empty()) << ini;
}

TEST(Output, ResponsesJsonAndTheLogsTids) {
    // Each response with the final result read from it.
    const std::pair<const char*, const char*> responses[] = {{"\r\nOK\r\n", "OK"},
                                                             {"ATI\r\r\nNorvanta\r\n\r\nOK\r\n", "OK"},
                                                             {"\r\n+CME ERROR: 10\r\n", "+CME ERROR: 10"},
                                                             {"\r\n+CMS ERROR: 500\r\n", "+CMS ERROR: 500"},
                                                             {"\r\nNO CARRIER\r\n", "NO CARRIER"},
                                                             {"\r\nOKAY, 3 ERRORS\r\n", ""},
                                                             {"\r\npartial", ""}};
    for (auto [response, final_result] : responses) EXPECT_EQ(FinalResult(response), final_result) << response;
    EXPECT_EQ(ResponseLines("\r\nA\r\n\r\nB"), (std::vector<std::string>{"A", "B"}));

    // Control characters escaped, bytes that are not UTF-8 replaced.
    EXPECT_EQ(JsonText("a\"b\\c\n\x01\xff"), "\"a\\\"b\\\\c\\n\\u0001\xef\xbf\xbd\"");

    // Only lines written after the tail was made count, in old and new files.
    eklv::test::TempFolder folder;
    const std::string line = "CKLVDeviceIdMgr::AllocUSBDeviceID - DevId = (";
    folder.Write("12_05_10_00_EKLV_Core.log", line + "4), TID = (9.9)\n");
    LogTail tail(folder.path());
    std::ofstream(folder.File("12_05_10_00_EKLV_Core.log"), std::ios::app)
        << line << "0), TID = (1.3.2)\n" << line << "65535), TID = (1.4)\n";
    folder.Write("12_05_10_01_EKLV_Core.log", line + "5), TID = (2.1)\n" + line + "0), TID = (1.3.2)\n");
    folder.Write("notes.txt", line + "6), TID = (3.1)\n");
    EXPECT_EQ(tail.Tids(), (std::map<std::uint16_t, std::string>{{0, "1.3.2"}, {5, "2.1"}}));
    EXPECT_NE(tail.NewestFile().find("EKLV_Core.log"), std::string::npos);
}

}  // namespace
}  // namespace eklvctl
