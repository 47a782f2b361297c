// eklvctl as a station runs it: a separate process on a USB rig that the
// test builds, plugs and unplugs, with modems the test answers. Checks the
// output and exit codes of its commands and their failures (list --json,
// info and host-fed run on the kernel rig; help and a station without hubs
// on eklvctl.exe under Wine).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <regex>

#include "http_client.h"
#include "station_rig.h"
#include "rig/modem_emulator.h"
#include "rig/usb_rig.h"
#include "support/eventually.h"
#include "support/lib_folder.h"

namespace eklv::test {
namespace {

using namespace std::chrono_literals;

// The station rig, with the device id of a phone as list shows it.
class Station : public StationRig {
protected:
    // The device id of the phone that list shows with product.
    static std::string IdIn(const Result& list, const std::string& product) {
        std::smatch m;
        std::regex row("(^|\\n)(\\d+) +[^\\n]*" + product);
        return std::regex_search(list.out, m, row) ? m[2].str() : "not listed";
    }
};

// Help and the no-hub start are checked on eklvctl.exe under Wine.
TEST_F(Station, UsageAndSetupErrors) {
    // Usage errors: exit 2, nothing started.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"at", "0"}, {"at", "70000", "ATI"}, {"at", "0", "ATI", "--interface", "INF_BOGUS"},
             {"--feed", "3=x", "list"}, {"log", "--level", "zz"}, {"info", "seven"}}) {
        Result r = Run(args);
        EXPECT_EQ(r.code, 2) << ::testing::PrintToString(args) << r.err;
    }
    // Setup errors: one line each, exit 3 (each complaint of the ini check is
    // in the unit test).
    Child no_library(folder, {"--library", folder.File("missing.so"), "list"});
    EXPECT_EQ(no_library.Wait(30s), 3);
    EXPECT_NE(no_library.err.find("cannot load"), std::string::npos);
    for (auto [ini, complaint] : {std::pair<std::string, std::string>{"", "the library would support no phone"},
                                  {"[GUID]\nGUID_0={86e0d1e0-8089-11d0-9ce4-08003e301f73}\n", "is not a class GUID"}}) {
        std::filesystem::remove(folder.File("eklv.ini"));
        if (!ini.empty()) folder.Write("eklv.ini", ini);
        Result r = Run({"list"});
        EXPECT_EQ(r.code, 3) << r.err;
        EXPECT_NE(r.err.find(complaint), std::string::npos) << r.err;
        EXPECT_EQ(CountOf(r.err, "\n"), 1) << r.err;
    }
}

TEST_F(Station, AtSendsCommandsAndExplainsFailures) {
    Result list = Run({"list"});
    // The text table and the hubs' lines (the JSON form, info and an ERROR
    // through at --sync are checked on the kernel rig).
    EXPECT_TRUE(std::regex_search(list.out, std::regex("1-3\\.2 +Norvanta Phone +INF_DATA ttyACM0"))) << list.out;
    EXPECT_TRUE(std::regex_search(list.out, std::regex("controller pci\\\\0000:00:14\\.0: root TID [0-9]+\n")))
        << list.out;
    std::string id = IdIn(list, "Norvanta Phone");
    Result ok = Run({"at", id, "ATI", "AT+CGMI"});
    ASSERT_EQ(ok.code, 0) << ok.err;
    EXPECT_NE(ok.out.find("> ATI\nNorvanta Phone N1\nOK\n> AT+CGMI\nNorvanta\nOK\n"), std::string::npos) << ok.out;
    EXPECT_EQ(modem->Commands(), (std::vector<std::string>{"ATI", "AT+CGMI"}));

    Result sync = Run({"--json", "at", id, "AT", "--sync", "--baud", "115200"});
    EXPECT_EQ(sync.code, 0) << sync.err;
    EXPECT_NE(sync.out.find("{\"command\":\"AT\",\"response\":\"\\r\\nOK\\r\\n\",\"final\":\"OK\"}"),
              std::string::npos) << sync.out;

    Result absent = Run({"at", id, "ATI", "--interface", "msd"});
    EXPECT_EQ(absent.code, 6) << absent.err;
    EXPECT_NE(absent.err.find("INF_MSD"), std::string::npos) << absent.err;
    EXPECT_NE(absent.err.find("(result 7)"), std::string::npos) << absent.err;

    Result unknown = Run({"at", "777", "ATI"});
    EXPECT_EQ(unknown.code, 5);
    EXPECT_NE(unknown.err.find("no attached device has id 777 (result 3)"), std::string::npos) << unknown.err;
}

TEST_F(Station, AtReportsAPhonePulledOutWhileItWaits) {
    std::string id = IdIn(Run({"list"}), "Norvanta Phone");
    modem->SetSilent(true);
    auto at = Start({"at", id, "AT+SLOW"});
    ASSERT_TRUE(modem->WaitForCommands(1, 20000)) << "the modem never got the command: " << at->err;
    rig.Unplug(phone);
    EXPECT_EQ(at->Wait(30s), 7) << at->err;
    EXPECT_NE(at->err.find("device " + id + " went away (INF_DATA removed)"), std::string::npos) << at->err;
}

// Watch in text form until Ctrl-C (the counted watch runs on the kernel rig).
TEST_F(Station, WatchFollowsPlugAndUnplugUntilCtrlC) {
    rig.Unplug(phone);
    auto watch = Start({"watch"});
    ASSERT_TRUE(watch->WaitFor("Norvanta Lite", 20s)) << "the start-up scan was not shown: " << watch->err;
    rig.Plug(phone);
    EXPECT_TRUE(watch->WaitFor("arrival  device", 20s));
    EXPECT_TRUE(watch->WaitFor("INF_DATA  Norvanta Phone  port 1-3.2", 20s)) << watch->out;
    rig.Unplug(phone);
    EXPECT_TRUE(watch->WaitFor("removal  device", 20s)) << watch->out;
    watch->Signal(SIGINT);
    EXPECT_EQ(watch->Wait(30s), 0) << watch->err;
    EXPECT_TRUE(watch->Shown("stopped by Ctrl-C; EKLVUninitialize: success (result 0)")) << watch->err;

    // Ctrl-C while a command waits for a phone: exit 130, still uninitialised.
    auto at = Start({"--wait", "60", "at", "777", "ATI"});
    ASSERT_TRUE(at->WaitFor("waiting up to", 20s)) << at->err;
    at->Signal(SIGINT);
    EXPECT_EQ(at->Wait(30s), 130) << at->err;
    EXPECT_TRUE(at->Shown("stopped by Ctrl-C; EKLVUninitialize: success (result 0)")) << at->err;
}

// The log command writes its settings back (host-fed names are checked on
// the kernel rig).
TEST_F(Station, LogWritesItsSettingsBack) {
    Result log = Run({"log", "--level", "0x3", "--flush", "0"});
    EXPECT_EQ(log.code, 0) << log.err;
    EXPECT_NE(folder.Read("eklv.ini").find("Level=0x00000003"), std::string::npos);
    EXPECT_NE(log.out.find("Level=0x00000003 Flush=0"), std::string::npos) << log.out;
}

// The demo checks each step of its road itself and exits with a failure
// code when one goes wrong; with the station view open it waits for Ctrl-C
// at the end of the road, the phone shown at its port.
TEST(Demo, ShowsTheRoadOfAPhone) {
    TempFolder folder;
    Child demo(folder, {"--library", std::getenv("EKLV_LIBRARY"), "demo", "--folder", folder.path(), "--serve",
                        "--listen", "127.0.0.1:0"});
    ASSERT_TRUE(demo.WaitFor("stays at http://127.0.0.1:", 120s)) << demo.out << demo.err;
    EXPECT_NE(demo.out.find("  Norvanta Phone N1"), std::string::npos) << demo.out;
    std::smatch url;
    ASSERT_TRUE(std::regex_search(demo.out, url, std::regex("view     http://127\\.0\\.0\\.1:(\\d+)/"))) << demo.out;
    HttpResponse station = HttpGet(static_cast<std::uint16_t>(std::stoi(url[1].str())), "/api/station");
    EXPECT_NE(station.body.find("\"tid\":\"1.3.2\",\"state\":\"phone\""), std::string::npos) << station.body;
    EXPECT_NE(station.body.find("\"device_id\":5,\"tid\":\"2.1\""), std::string::npos) << station.body;
    demo.Signal(SIGINT);
    EXPECT_EQ(demo.Wait(30s), 0) << demo.out << demo.err;
    EXPECT_NE(demo.out.find("EKLVUninitialize() -> 0"), std::string::npos) << demo.out;
    std::smatch log;
    ASSERT_TRUE(std::regex_search(demo.out, log, std::regex("\\nlog: (/[^\\n]+EKLV_Core\\.log)\\n"))) << demo.out;
    EXPECT_TRUE(std::filesystem::exists(log[1].str()));
}

}  // namespace
}  // namespace eklv::test
