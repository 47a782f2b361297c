// eklvctl as a station runs it: a separate process on a USB rig that the
// test builds, plugs and unplugs, with modems the test answers. Checks the
// output and exit codes of every command, the failures included.
//
// Commands that need the library to announce phones skip, naming the
// reason, only when libeklv.so reports that it is not initialised.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "rig/modem_emulator.h"
#include "rig/usb_rig.h"
#include "support/lib_folder.h"

extern char** environ;

namespace eklv::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kStationIni =
    "[GUID]\nGUID_0=86e0d1e0-8089-11d0-9ce4-08003e301f73\nGUID_1=f18a0e88-c30c-11d0-8815-00a0c906bed8\n"
    "[VID_FILTER]\nVID_0=vid_6b4d\n[MTK_SMART_PID_FILTER]\nPID_LIST=2001,2002\n"
    "[INF_SETTINGS]\nINF_DATA=Modem\nINF_UART=UART\n[MODEM_PARAMS]\nMODEM_CREATE_RETRY=2\nMODEM_WAIT=200\n"
    "[CORE_LOGGING]\nLevel=0x7\nFlush=1\n";

// One run of eklvctl, its output read as it comes.
class Child {
public:
    Child(const std::vector<std::string>& args, const std::vector<std::string>& env) {
        std::vector<std::string> argv_text = {EKLVCTL_PATH};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<std::string> env_text = env;
        for (char** e = environ; *e != nullptr; ++e) env_text.emplace_back(*e);
        std::vector<char*> argv, envp;
        for (auto& a : argv_text) argv.push_back(a.data());
        for (auto& e : env_text) envp.push_back(e.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        int out[2], err[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        fds_[0] = out[0];
        fds_[1] = err[0];
    }
    ~Child() {
        if (exit_ == kRunning) {
            kill(pid_, SIGKILL);
            Wait(5s);
        }
    }

    // Reads output until text shows on stdout or stderr, or until timeout.
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (out.find(text) == std::string::npos && err.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline || !Pump(deadline)) return false;
        }
        return true;
    }
    // The exit code once the program ends within timeout; kill and -1 after.
    int Wait(std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (exit_ == kRunning && Pump(deadline)) {
        }
        if (exit_ == kRunning) {
            kill(pid_, SIGKILL);
            Reap(true);
            exit_ = -1;
        }
        return exit_;
    }
    void Signal(int signal) { kill(pid_, signal); }

    std::string out, err;

private:
    static constexpr int kRunning = -1000;

    // Reads what is there; false at the deadline or when the program is done.
    bool Pump(std::chrono::steady_clock::time_point deadline) {
        if (fds_[0] < 0 && fds_[1] < 0) {
            Reap(true);
            return false;
        }
        pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (poll(p, 2, static_cast<int>(std::min<long long>(left.count(), 200))) < 0) return true;
        for (int i = 0; i < 2; ++i) {
            if (fds_[i] < 0 || p[i].revents == 0) continue;
            char buffer[4096];
            ssize_t n = read(fds_[i], buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? out : err).append(buffer, static_cast<std::size_t>(n));
            } else {
                close(fds_[i]);
                fds_[i] = -1;
            }
        }
        return true;
    }
    void Reap(bool block) {
        int status = 0;
        if (waitpid(pid_, &status, block ? 0 : WNOHANG) == pid_)
            exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t pid_ = -1;
    int fds_[2] = {-1, -1};
    int exit_ = kRunning;
};

struct Result {
    int code;
    std::string out, err;
};

// True when the library answered that it is not initialised: built
// without the session manager, it starts but serves no device call.
bool NotInitialised(const Result& r) { return r.err.find("(result 14)") != std::string::npos; }

#define SKIP_IF_NOT_INITIALISED(r)                                                                   \
    if (NotInitialised(r)) GTEST_SKIP() << "libeklv.so serves no device call yet (needs the session " \
                                           "manager and device-change processing): " << (r).err

int Lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

// A station: a copy of libeklv.so with its eklv.ini, and a rig with a
// single-function phone on root hub 2 and a composite phone behind a hub
// on root hub 1, each serial function answered by a modem emulator.
class Station : public ::testing::Test {
protected:
    Station() {
        Install(kStationIni);
        auto pci1 = rig.AddPciController("0000:00:14.0");
        root1 = rig.AddRootHub(pci1, 1);
        hub = rig.AddHub(root1, 3);
        root2 = rig.AddRootHub(rig.AddPciController("0000:00:1d.0"), 2, 2);
        RigStrings lite_strings, phone_strings;
        lite_strings.product = "Norvanta Lite";
        phone_strings.product = "Norvanta Phone";
        lite = rig.AddSinglePhone(root2, 1, 0x6b4d, 0x2002, RigInterface::Serial("ttyUSB1", "Norvanta UART"),
                                  lite_strings);
        phone = rig.AddCompositePhone(hub, 2, 0x6b4d, 0x2001,
                                      {RigInterface::Modem("ttyACM0", "Norvanta Modem"), RigInterface::Mtp(),
                                       RigInterface::Data()},
                                      phone_strings);
        for (const char* tty : {"ttyUSB1", "ttyACM0"}) {
            auto& m = modems[tty] = std::make_unique<ModemEmulator>(rig.TtyFd(tty));
            m->Answer("ATI", ModemReply::Text("\r\nNorvanta Phone N1\r\n\r\nOK\r\n"));
            m->Answer("AT+CGMI", ModemReply::Text("\r\nNorvanta\r\n\r\nOK\r\n"));
            m->Answer("AT+FAIL", ModemReply::CmeError(10));
        }
    }

    void Install(const std::string& ini) {
        std::error_code ec;
        std::filesystem::copy_file(std::getenv("EKLV_LIBRARY"), folder.File("libeklv.so"),
                                   std::filesystem::copy_options::overwrite_existing, ec);
        ASSERT_FALSE(ec) << ec.message();
        folder.Write("eklv.ini", ini);
    }

    std::vector<std::string> With(std::vector<std::string> args) const {
        args.insert(args.begin(), {"--library", folder.File("libeklv.so")});
        return args;
    }
    std::unique_ptr<Child> Start(const std::vector<std::string>& args) const {
        return std::make_unique<Child>(With(args), std::vector<std::string>{"EKLV_COMMON_APPDATA=" + folder.path()});
    }
    Result Run(const std::vector<std::string>& args) const {
        auto child = Start(args);
        int code = child->Wait(60s);
        return {code, child->out, child->err};
    }
    // The device id of the phone that list shows with product.
    static std::string IdIn(const Result& list, const std::string& product) {
        std::smatch m;
        std::regex row("(^|\\n)(\\d+) +[^\\n]*" + product);
        return std::regex_search(list.out, m, row) ? m[2].str() : "not listed";
    }

    TempFolder folder;
    UsbRig rig;
    UsbRig::NodeId root1, root2, hub, lite, phone;
    std::map<std::string, std::unique_ptr<ModemEmulator>> modems;
};

TEST_F(Station, HelpUsageAndSetupErrors) {
    Result help = Run({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("Exit codes"), std::string::npos);
    for (auto [command, option] : {std::pair{"list", "--help"}, {"watch", "--count"}, {"at", "--baud"},
                                   {"info", "device"}, {"log", "--level"}, {"demo", "--folder"}}) {
        Result r = Run({command, "--help"});
        EXPECT_EQ(r.code, 0) << command;
        EXPECT_NE(r.out.find(option), std::string::npos) << command;
    }
    // Usage errors: exit 2, nothing started.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"at", "0"}, {"at", "70000", "ATI"}, {"at", "0", "ATI", "--interface", "INF_BOGUS"},
             {"--feed", "3=x", "list"}, {"log", "--level", "zz"}, {"info", "seven"}}) {
        Result r = Run(args);
        EXPECT_EQ(r.code, 2) << ::testing::PrintToString(args) << r.err;
    }
    // Setup errors: one line each, exit 3 (each complaint of the ini check is
    // in the unit test).
    Child no_library({"--library", folder.File("missing.so"), "list"}, {});
    EXPECT_EQ(no_library.Wait(30s), 3);
    EXPECT_NE(no_library.err.find("cannot load"), std::string::npos);
    for (auto [ini, complaint] : {std::pair<std::string, std::string>{"", "the library would support no phone"},
                                  {"[GUID]\nGUID_0={86e0d1e0-8089-11d0-9ce4-08003e301f73}\n", "is not a class GUID"}}) {
        std::filesystem::remove(folder.File("eklv.ini"));
        if (!ini.empty()) folder.Write("eklv.ini", ini);
        Result r = Run({"list"});
        EXPECT_EQ(r.code, 3) << r.err;
        EXPECT_NE(r.err.find(complaint), std::string::npos) << r.err;
        EXPECT_EQ(Lines(r.err), 1) << r.err;
    }
}

TEST_F(Station, AtSendsCommandsAndExplainsFailures) {
    Result list = Run({"list"});
    SKIP_IF_NOT_INITIALISED(list);
    // The text table and the hubs' lines (the JSON form is checked on the kernel rig).
    EXPECT_TRUE(std::regex_search(list.out, std::regex("1-3\\.2 +Norvanta Phone +INF_DATA ttyACM0"))) << list.out;
    EXPECT_TRUE(std::regex_search(list.out, std::regex("controller pci\\\\0000:00:14\\.0: root TID [0-9]+\n")))
        << list.out;
    std::string id = IdIn(list, "Norvanta Phone");
    Result info = Run({"info", id});
    EXPECT_NE(info.out.find("product     Norvanta Phone"), std::string::npos) << info.out;
    Result ok = Run({"at", id, "ATI", "AT+CGMI"});
    ASSERT_EQ(ok.code, 0) << ok.err;
    EXPECT_NE(ok.out.find("> ATI\nNorvanta Phone N1\nOK\n> AT+CGMI\nNorvanta\nOK\n"), std::string::npos) << ok.out;
    EXPECT_EQ(modems["ttyACM0"]->Commands(), (std::vector<std::string>{"ATI", "AT+CGMI"}));

    Result sync = Run({"--json", "at", id, "AT", "--sync", "--baud", "115200"});
    EXPECT_EQ(sync.code, 0) << sync.err;
    EXPECT_NE(sync.out.find("{\"command\":\"AT\",\"response\":\"\\r\\nOK\\r\\n\",\"final\":\"OK\"}"),
              std::string::npos) << sync.out;

    Result error = Run({"at", id, "AT+FAIL"});
    EXPECT_EQ(error.code, 8) << error.err;
    EXPECT_NE(error.out.find("+CME ERROR: 10"), std::string::npos);

    Result absent = Run({"at", id, "ATI", "--interface", "msd"});
    EXPECT_EQ(absent.code, 6) << absent.err;
    EXPECT_NE(absent.err.find("INF_MSD"), std::string::npos) << absent.err;
    EXPECT_NE(absent.err.find("(result 7)"), std::string::npos) << absent.err;

    Result unknown = Run({"at", "777", "ATI"});
    EXPECT_EQ(unknown.code, 5);
    EXPECT_NE(unknown.err.find("no attached device has id 777 (result 3)"), std::string::npos) << unknown.err;
}

TEST_F(Station, AtReportsAPhonePulledOutWhileItWaits) {
    Result list = Run({"list"});
    SKIP_IF_NOT_INITIALISED(list);
    std::string id = IdIn(list, "Norvanta Phone");
    modems["ttyACM0"]->SetSilent(true);
    auto at = Start({"at", id, "AT+SLOW"});
    ASSERT_TRUE(modems["ttyACM0"]->WaitForCommands(1, 20000)) << "the modem never got the command: " << at->err;
    rig.Unplug(phone);
    EXPECT_EQ(at->Wait(30s), 7) << at->err;
    EXPECT_NE(at->err.find("device " + id + " went away (INF_DATA removed)"), std::string::npos) << at->err;
}

TEST_F(Station, WatchFollowsPlugAndUnplugUntilCtrlC) {
    rig.Unplug(phone);
    auto watch = Start({"watch"});
    if (!watch->WaitFor("Norvanta Lite", 20s)) {
        Result r{watch->Wait(30s), watch->out, watch->err};
        SKIP_IF_NOT_INITIALISED(r);
        FAIL() << "the start-up scan was not shown: " << r.out << r.err;
    }
    rig.Plug(phone);
    EXPECT_TRUE(watch->WaitFor("arrival  device", 20s));
    EXPECT_TRUE(watch->WaitFor("INF_DATA  Norvanta Phone  port 1-3.2", 20s)) << watch->out;
    rig.Unplug(phone);
    EXPECT_TRUE(watch->WaitFor("removal  device", 20s)) << watch->out;
    watch->Signal(SIGINT);
    EXPECT_EQ(watch->Wait(30s), 0) << watch->err;
    EXPECT_NE(watch->err.find("stopped by Ctrl-C; EKLVUninitialize: success (result 0)"), std::string::npos)
        << watch->err;

    // Ctrl-C while a command waits for a phone: exit 130, still uninitialised.
    auto at = Start({"--wait", "60", "at", "777", "ATI"});
    ASSERT_TRUE(at->WaitFor("waiting up to", 20s)) << at->err;
    at->Signal(SIGINT);
    EXPECT_EQ(at->Wait(30s), 130) << at->err;
    EXPECT_NE(at->err.find("stopped by Ctrl-C; EKLVUninitialize: success (result 0)"), std::string::npos) << at->err;

    Result one = Run({"--json", "watch", "--count", "1"});
    EXPECT_EQ(one.code, 0);
    EXPECT_EQ(Lines(one.out), 1);
    EXPECT_NE(one.out.find("\"event\":\"arrival\""), std::string::npos) << one.out;
}

TEST_F(Station, LogHostFedAndAStationWithoutHubs) {
    Result log = Run({"log", "--level", "0x3", "--flush", "0"});
    SKIP_IF_NOT_INITIALISED(log);
    EXPECT_EQ(log.code, 0) << log.err;
    EXPECT_NE(folder.Read("eklv.ini").find("Level=0x00000003"), std::string::npos);
    EXPECT_NE(log.out.find("Level=0x00000003 Flush=0"), std::string::npos) << log.out;

    std::string name = rig.DeviceName(lite, kRigClassComPort);
    Result fed = Run({"--host-fed", "--feed", "9=" + name, "list"});
    EXPECT_EQ(fed.code, 0) << fed.err;
    EXPECT_TRUE(std::regex_search(fed.out, std::regex("\\n9 +- +- +Norvanta Lite +INF_UART ttyUSB1"))) << fed.out;

    // With no hub left, the library cannot start.
    rig.Unplug(root1);
    rig.Unplug(root2);
    Result none = Run({"list"});
    EXPECT_EQ(none.code, 4);
    EXPECT_NE(none.err.find("EKLVInitialize: the library could not start: no USB hub was found or one could not be "
                            "mapped to a port id (result 1)"),
              std::string::npos)
        << none.err;
    EXPECT_EQ(Lines(none.err), 1) << none.err;
}

TEST(Demo, ShowsTheRoadOfAPhone) {
    TempFolder folder;
    Child demo({"--library", std::getenv("EKLV_LIBRARY"), "demo", "--folder", folder.path()}, {});
    Result r{demo.Wait(120s), demo.out, demo.err};
    SKIP_IF_NOT_INITIALISED(r);
    EXPECT_EQ(r.code, 0) << r.out << r.err;
    for (const char* heading : {"== 1. The rig ==", "== 2. Start-up scan ==", "== 4. ATI and AT+CGMI ==",
                                "== 6. The phone is pulled out ==", "== 8. Shut down =="})
        EXPECT_NE(r.out.find(heading), std::string::npos) << heading;
    EXPECT_NE(r.out.find("  Norvanta Phone N1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("same port, same device id"), std::string::npos) << r.out;
    std::smatch log;
    ASSERT_TRUE(std::regex_search(r.out, log, std::regex("\\nlog: (/[^\\n]+EKLV_Core\\.log)\\n"))) << r.out;
    EXPECT_TRUE(std::filesystem::exists(log[1].str()));
}

}  // namespace
}  // namespace eklv::test
