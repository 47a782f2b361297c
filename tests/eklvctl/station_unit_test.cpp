// The station view's pure parts: the core log's topology lines, the tree
// the station model builds from TIDs (controllers, hubs, empty ports,
// phones without a known port), a removed phone's fading, the listen
// address and the log settings the view needs.
#include <gtest/gtest.h>

#include <fstream>

#include "core_log.h"
#include "station.h"
#include "station_ini.h"
#include "station_snapshot.h"
#include "station_view.h"
#include "support/lib_folder.h"

namespace eklvctl {
namespace {

using namespace std::chrono_literals;
using Kind = LogFact::Kind;

const std::string kHead = "12/07 13:32:21.477 [0005] [65535] ";
std::string Hub(const std::string& kernel) {
    return "\\\\?\\usb#vid_1a40&pid_0101#" + kernel + "#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
}

TEST(CoreLog, TopologyLines) {
    struct Case {
        std::string line;
        Kind kind;
        std::string name, tid;
        std::uint16_t id;
    };
    const Case cases[] = {
        {"CKLVDeviceIdMgr::AllocateRootTID - pci\\0000:00:14.0: 1\r", Kind::kRootTid, "pci\\0000:00:14.0", "1", 0},
        {"CKLVDeviceIdMgr::AllocateRootTID - root TID 0 of pci\\a is configured for pci\\b, skipped", Kind::kNone, "", "", 0},
        {"CKLVDeviceIdMgr::AllocateRootTID - Can NOT get USBConnectivityConfig.ini full path", Kind::kNone, "", "", 0},
        {"CKLVDeviceIdMgr::AddHubToTIDMap - " + Hub("1-3") + ": 1.3", Kind::kHubTid, Hub("1-3"), "1.3", 0},
        {"CKLVDeviceIdMgr::AddRemoveUSBHub - (" + Hub("1-3") + ", 1.3) removed", Kind::kHubRemoved, Hub("1-3"), "1.3", 0},
        {"CKLVDeviceIdMgr::AddRemoveUSBHub - (1.3.2, 0) removed", Kind::kNone, "", "", 0},
        {"CKLVDeviceIdMgr::AllocUSBDeviceID - DevId = (7), TID = (1.3.2)", Kind::kDeviceTid, "", "1.3.2", 7},
        {"CKLVDeviceIdMgr::AllocUSBDeviceID - DevId = (65535), TID = ()", Kind::kNone, "", "", 0},
        {"CKLVSessionMgr::Initialize - OK", Kind::kNone, "", "", 0},
    };
    for (const Case& c : cases) {
        LogFact fact = ParseLogLine(kHead + c.line);
        EXPECT_EQ(fact.kind, c.kind) << c.line;
        EXPECT_EQ(fact.name, c.name) << c.line;
        EXPECT_EQ(fact.tid, c.tid) << c.line;
        EXPECT_EQ(fact.device_id, c.id) << c.line;
    }

    // Lines are taken once each, a line still being written only when done.
    eklv::test::TempFolder folder;
    folder.Write("12_07_13_32_EKLV_Core.log", "old\n");
    LogTail tail(folder.path());
    std::ofstream(folder.File("12_07_13_32_EKLV_Core.log"), std::ios::app) << "one\ntw" << std::flush;
    EXPECT_EQ(tail.TakeLines(), (std::vector<std::string>{"one"}));
    std::ofstream(folder.File("12_07_13_32_EKLV_Core.log"), std::ios::app) << "o\n";
    EXPECT_EQ(tail.TakeLines(), (std::vector<std::string>{"two"}));
    EXPECT_TRUE(tail.TakeLines().empty());
}

Phone PhoneAt(std::uint16_t id, const std::string& tid, const std::string& tty) {
    Phone phone;
    phone.id = id;
    phone.tid = tid;
    phone.product = "Phone " + std::to_string(id);
    phone.interfaces.push_back({INF_DATA, "name", tty, EKLV_OK});
    return phone;
}

// What the snapshot shows at tid: "empty", "hub:<port count>",
// "phone:<id>:<state>", or "none".
std::string At(const JsonValue& snapshot, const std::string& tid) {
    const JsonValue* port = eklv::test::PortAt(snapshot, tid);
    if (port == nullptr) return "none";
    if ((*port)["state"] == "hub") return "hub:" + (*port)["hub"]["port_count"].dump();
    if ((*port)["state"] == "phone")
        return "phone:" + (*port)["phone"]["device_id"].dump() + ":" + (*port)["phone"]["state"].get<std::string>();
    return (*port)["state"];
}

TEST(StationModel, TreeFromTids) {
    Station station;
    const auto now = std::chrono::system_clock::now();
    for (const LogFact& fact : {LogFact{Kind::kRootTid, "pci\\b", "2", 0}, LogFact{Kind::kRootTid, "pci\\a", "1", 0},
                                LogFact{Kind::kHubTid, Hub("usb1"), "1", 0}, LogFact{Kind::kHubTid, Hub("1-3"), "1.3", 0},
                                LogFact{Kind::kHubTid, Hub("usb2"), "2", 0}, LogFact{Kind::kHubTid, Hub("9-1"), "9.1", 0},
                                LogFact{Kind::kDeviceTid, "", "1.3.2", 0}, LogFact{Kind::kDeviceTid, "", "2.1", 5}})
        EXPECT_EQ(station.Learn(fact), fact.kind != Kind::kDeviceTid);  // no phone of that id shown yet
    EXPECT_FALSE(station.Learn({Kind::kHubTid, Hub("1-3"), "1.3", 0}));  // nothing new
    EXPECT_EQ(station.HubsToCount().size(), 4u);
    station.SetPortCount(Hub("usb1"), 4);
    station.SetPortCount(Hub("1-3"), 4);
    station.SetPortCount(Hub("usb2"), -1);  // the platform could not tell
    station.SetPortCount(Hub("9-1"), 2);
    EXPECT_TRUE(station.HubsToCount().empty());
    station.Present(PhoneAt(0, "", "ttyACM0"), now);  // its TID comes from the log
    station.Present(PhoneAt(5, "", "ttyUSB1"), now);
    station.Present(PhoneAt(7, "", "ttyACM7"), now);  // a port the log never told

    JsonValue s = station.Snapshot(Station::Time{});
    ASSERT_EQ(s["controllers"].size(), 3u) << s.dump();
    EXPECT_EQ(s["controllers"][0]["controller"], "pci\\a");
    EXPECT_EQ(s["controllers"][0]["hubs"][0]["device"], "usb1");
    EXPECT_EQ(s["controllers"][1]["controller"], "pci\\b");
    // A hub whose parent the log never told stands under no controller.
    EXPECT_TRUE(s["controllers"][2]["controller"].is_null());
    EXPECT_EQ(s["controllers"][2]["hubs"][0]["tid"], "9.1");
    EXPECT_EQ(At(s, "1.1"), "empty");
    EXPECT_EQ(At(s, "1.3"), "hub:4");
    EXPECT_EQ(At(s, "1.3.2"), "phone:0:arrived");
    EXPECT_EQ(At(s, "1.3.4"), "empty");
    EXPECT_EQ(At(s, "1.5"), "none");
    EXPECT_EQ(At(s, "2.1"), "phone:5:arrived");
    EXPECT_EQ(At(s, "2.2"), "none");  // port count unknown: occupied ports only
    EXPECT_EQ(At(s, "9.1.2"), "empty");
    EXPECT_EQ(s["unplaced"].size(), 1u);
    EXPECT_EQ(s["unplaced"][0]["device_id"], 7);
    EXPECT_EQ(s["phones"], 3);

    // A hub that goes takes its ports with it; its phones are unplaced.
    EXPECT_TRUE(station.Learn({Kind::kHubRemoved, Hub("1-3"), "1.3", 0}));
    s = station.Snapshot(Station::Time{});
    EXPECT_EQ(At(s, "1.3"), "empty");
    EXPECT_EQ(s["unplaced"].size(), 2u);
}

TEST(StationModel, OpenRemovedFadingGone) {
    Station station;
    const auto now = std::chrono::system_clock::now();
    station.Learn({Kind::kHubTid, Hub("usb1"), "1", 0});
    station.SetPortCount(Hub("usb1"), 2);
    station.Learn({Kind::kDeviceTid, "", "1.2", 3});
    station.Present(PhoneAt(3, "", "ttyACM3"), now);
    EXPECT_EQ(station.ComPortOf(3, INF_DATA), "ttyACM3");

    const Station::Time t0{std::chrono::seconds(100)};
    station.SetOpen(3, INF_DATA, true);
    JsonValue s = station.Snapshot(t0);
    EXPECT_EQ(At(s, "1.2"), "phone:3:open");
    EXPECT_EQ(s["controllers"][0]["hubs"][0]["ports"][1]["phone"]["interfaces"][0]["open"], true);
    station.SetOpen(3, INF_DATA, false);
    EXPECT_EQ(At(station.Snapshot(t0), "1.2"), "phone:3:arrived");

    // Removed, then fading, then gone, each when NextChange says.
    EXPECT_FALSE(station.NextChange());
    station.Gone(3, t0, now);
    EXPECT_EQ(station.ComPortOf(3, INF_DATA), "");
    EXPECT_EQ(At(station.Snapshot(t0), "1.2"), "phone:3:removed");
    EXPECT_EQ(station.NextChange(), t0 + Station::kRemovedFor);
    EXPECT_FALSE(station.Age(t0 + 1s));
    EXPECT_TRUE(station.Age(t0 + Station::kRemovedFor));
    EXPECT_EQ(At(station.Snapshot(t0 + Station::kRemovedFor), "1.2"), "phone:3:fading");
    EXPECT_EQ(station.NextChange(), t0 + Station::kRemovedFor + Station::kFadingFor);
    EXPECT_TRUE(station.Age(t0 + Station::kRemovedFor + Station::kFadingFor));
    EXPECT_EQ(At(station.Snapshot(t0 + 9s), "1.2"), "empty");
    EXPECT_FALSE(station.NextChange());

    // A phone back on the port while the old card still shows takes its place.
    station.Present(PhoneAt(3, "", "ttyACM3"), now);
    station.Gone(3, t0, now);
    station.Present(PhoneAt(3, "", "ttyACM3"), now);
    EXPECT_EQ(At(station.Snapshot(t0), "1.2"), "phone:3:arrived");
    EXPECT_FALSE(station.NextChange());

    // A TID that comes after the announcement places the phone then.
    station.Present(PhoneAt(4, "", "ttyACM4"), now);
    EXPECT_EQ(station.Snapshot(t0)["unplaced"].size(), 1u);
    EXPECT_TRUE(station.Learn({Kind::kDeviceTid, "", "1.1", 4}));
    EXPECT_EQ(At(station.Snapshot(t0), "1.1"), "phone:4:arrived");
}

TEST(StationView, ListenAddressesAndLogSettings) {
    struct Case {
        const char* text;
        const char* address;  // null: refused
        std::uint16_t port;
    };
    const Case cases[] = {{"127.0.0.1:8080", "127.0.0.1", 8080}, {"localhost:0", "127.0.0.1", 0},
                          {"[::1]:9000", "::1", 9000},         {"0.0.0.0:65535", "0.0.0.0", 65535},
                          {"127.0.0.1:65536", nullptr, 0},     {"127.0.0.1", nullptr, 0},
                          {":8080", nullptr, 0},               {"::1:8080", nullptr, 0},
                          {"[127.0.0.1]:80", nullptr, 0},      {"station:8080", nullptr, 0},
                          {"127.0.0.1:8o", nullptr, 0}};
    for (const Case& c : cases) {
        std::string address, error;
        std::uint16_t port = 1;
        bool ok = ParseListen(c.text, &address, &port, &error);
        EXPECT_EQ(ok, c.address != nullptr) << c.text << ": " << error;
        if (ok) {
            EXPECT_EQ(address, c.address) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        } else {
            EXPECT_FALSE(error.empty()) << c.text;
        }
    }

    EXPECT_FALSE(TopologyLogProblem(IniFile::Parse("[CORE_LOGGING]\nLevel=0x00000007\nFlush=1\n")));
    EXPECT_FALSE(TopologyLogProblem(IniFile::Parse("[core_logging]\nlevel=1\nflush=1\n")));
    for (const char* ini : {"", "[CORE_LOGGING]\nLevel=0x6\nFlush=1\n", "[CORE_LOGGING]\nLevel=seven\nFlush=1\n"})
        EXPECT_NE(TopologyLogProblem(IniFile::Parse(ini)).value_or("").find("information lines are off"),
                  std::string::npos)
            << ini;
    EXPECT_NE(TopologyLogProblem(IniFile::Parse("[CORE_LOGGING]\nLevel=0x7\n")).value_or("").find("buffered"),
              std::string::npos);
}

}  // namespace
}  // namespace eklvctl
