// The station the tests of eklvctl run on: a copy of libeklv.so with its
// eklv.ini, and a umockdev rig with a single-function phone on root hub 2
// and a composite phone behind a hub on root hub 1, whose modem function a
// modem emulator answers; eklvctl runs as a child process and sees the rig
// through the environment.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "rig/modem_emulator.h"
#include "rig/usb_rig.h"
#include "support/lib_folder.h"

namespace eklv::test {

constexpr const char* kStationIni =
    "[GUID]\nGUID_0=86e0d1e0-8089-11d0-9ce4-08003e301f73\nGUID_1=f18a0e88-c30c-11d0-8815-00a0c906bed8\n"
    "[VID_FILTER]\nVID_0=vid_6b4d\n[MTK_SMART_PID_FILTER]\nPID_LIST=2001,2002\n"
    "[INF_SETTINGS]\nINF_DATA=Modem\nINF_UART=UART\n[MODEM_PARAMS]\nMODEM_CREATE_RETRY=2\nMODEM_WAIT=200\n"
    "[CORE_LOGGING]\nLevel=0x7\nFlush=1\n";

struct Result {
    int code;
    std::string out, err;
};

// A station: a copy of libeklv.so with its eklv.ini, and a rig with a
// single-function phone on root hub 2 and a composite phone behind a hub
// on root hub 1, whose modem function a modem emulator answers.
class StationRig : public ::testing::Test {
protected:
    StationRig() {
        std::filesystem::copy_file(std::getenv("EKLV_LIBRARY"), folder.File("libeklv.so"));
        folder.Write("eklv.ini", kStationIni);
        setenv("EKLV_COMMON_APPDATA", folder.path().c_str(), 1);
        // Settings and log named outright: with eklv.ini removed, the library
        // would otherwise read (and write back) the machine's installed one.
        setenv("EKLV_CONFIG_DIR", folder.path().c_str(), 1);
        setenv("EKLV_LOG_DIR", folder.path().c_str(), 1);
        root1 = rig.AddRootHub(rig.AddPciController("0000:00:14.0"), 1);
        hub = rig.AddHub(root1, 3);
        const UsbRig::NodeId root2 = rig.AddRootHub(rig.AddPciController("0000:00:1d.0"), 2, 2);
        rig.AddSinglePhone(root2, 1, 0x6b4d, 0x2002, RigInterface::Serial("ttyUSB1", "Norvanta UART"),
                           {.product = "Norvanta Lite"});
        phone = rig.AddCompositePhone(hub, 2, 0x6b4d, 0x2001,  // product "Norvanta Phone"
                                      {RigInterface::Modem("ttyACM0", "Norvanta Modem"), RigInterface::Mtp(),
                                       RigInterface::Data()});
        modem = std::make_unique<ModemEmulator>(rig.TtyFd("ttyACM0"));
        modem->Answer("ATI", ModemReply::Text("\r\nNorvanta Phone N1\r\n\r\nOK\r\n"));
        modem->Answer("AT+CGMI", ModemReply::Text("\r\nNorvanta\r\n\r\nOK\r\n"));
    }
    ~StationRig() override {
        for (const char* name : {"EKLV_COMMON_APPDATA", "EKLV_CONFIG_DIR", "EKLV_LOG_DIR"}) unsetenv(name);
    }

    std::unique_ptr<Child> Start(std::vector<std::string> args) const {
        args.insert(args.begin(), {"--library", folder.File("libeklv.so")});
        return std::make_unique<Child>(folder, args);
    }
    Result Run(const std::vector<std::string>& args) const {
        auto child = Start(args);
        int code = child->Wait(std::chrono::seconds(60));
        return {code, child->out, child->err};
    }

    TempFolder folder;
    UsbRig rig;
    UsbRig::NodeId root1, hub, phone;
    std::unique_ptr<ModemEmulator> modem;
};

}  // namespace eklv::test
