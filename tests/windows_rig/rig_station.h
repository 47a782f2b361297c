// A station on the Wine rig: a copy of the built eklv.dll loaded as a
// Windows host loads it, the emulated USB tree of the test installed into
// its imports, the COM ports of the tree's phones served by the modem
// station, and a host window that records the announcements. Build the
// tree, then Start; Pull and PlugIn move phones and hubs as a technician
// does (the port goes first, then the broadcasts).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "e2e/e2e_scenario.h"
#include "support/host_window.h"
#include "support/lib_folder.h"
#include "windows_rig/modem_station.h"
#include "windows_rig/usb_tree.h"

namespace eklv::test {

class RigStation {
public:
    explicit RigStation(const std::string& ini = SelfMonitoringIni());
    ~RigStation();

    // Serves the COM ports of every plugged phone, then EKLVInitialize in
    // self-monitoring mode with the host window (and callbacks when given).
    std::uint32_t Start(CallbackLog* callbacks = nullptr);
    std::uint32_t Stop();
    // The phone's ports hang up, then the tree announces its removal.
    void Pull(UsbTree::NodeId node);
    // The phone's ports are served again, then the tree announces it.
    void PlugIn(UsbTree::NodeId node);

    // Waits until the host has n messages; answers the last one.
    HostMessage Nth(std::size_t n);
    // The device id of the last of the first n messages with this type.
    std::uint32_t IdOf(std::uint32_t type, std::size_t n);
    // The COM port or product string the library answers, or "result N".
    std::string ComPort(std::uint32_t id, std::uint32_t type);
    std::string Product(std::uint32_t id);
    std::string Log() const { return lib.ReadLogs(); }

    // USBConnectivityConfig.ini in the prefix's common application data,
    // removed again by the destructor.
    void WriteConnectivityConfig(const std::string& text);

    UsbTree tree;
    LoadedLibrary lib;
    ModemStation modems;
    HostWindow host;
    int rebound = 0;  // import entries bound to the tree

private:
    std::string config_path_;
    bool started_ = false;
};

}  // namespace eklv::test
