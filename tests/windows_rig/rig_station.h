// A station on the Wine rig: a copy of the built eklv.dll loaded as a
// Windows host loads it, the emulated USB tree of the test installed into
// its imports, the COM ports of the tree's phones served by the modem
// station, and a host window that records the announcements. Build the
// tree, then Start; Pull and PlugIn move phones and hubs as a technician
// does (the port goes first, then the broadcasts).
//
// The stations of a process share one loaded copy, initialised and
// uninitialised by each in turn with its own eklv.ini and log: Wine 8
// crashes in its loader (alloc_tls_slot) when a DLL with TLS is loaded
// after one of its serial ports' uncancellable comm-event waits has ended,
// so a process loads the DLL once. A station that must unload it asks for a
// copy of its own, and its process loads no other. Root hubs get the root
// TIDs of their controllers' order from USBConnectivityConfig.ini, as the
// counter of unconfigured root hubs runs on across initialisations.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
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
    enum class Copy { kShared, kOwn };
    explicit RigStation(const std::string& ini = SelfMonitoringIni(), Copy copy = Copy::kShared);
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

    // Sections of USBConnectivityConfig.ini in the prefix's common
    // application data beside the root TIDs Start writes there (removed
    // again by the destructor).
    void WriteConnectivityConfig(const std::string& sections) { config_sections_ = sections; }

    UsbTree tree;

private:
    std::unique_ptr<LoadedLibrary> own_;

public:
    LoadedLibrary& lib;
    ModemStation modems;
    HostWindow host;

private:
    std::string config_path_;
    std::string config_sections_;
    bool started_ = false;
};

}  // namespace eklv::test
