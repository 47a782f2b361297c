// UsbTree: an emulated Windows USB tree for the unmodified eklv.dll under
// Wine, which has no USB devices of its own. A test describes the tree (xHCI
// controllers, root hubs, external hubs, composite and single-function
// phones with their COM ports, devices that are no phones) and installs it
// into a loaded eklv.dll: the entries of the DLL's import table for the
// Setup API and Configuration Manager, the device key's PortName, hub
// CreateFileA/DeviceIoControl/CancelIo/CloseHandle and
// Register/UnregisterDeviceNotificationA are then answered from the tree
// (tree_calls.cpp), as Windows 8 and later answer them. Every other import
// stays the system's (Wine's): a serial function's symbolic name opens its
// COM port, "\\.\COMn", which the modem station serves (modem_station.h).
//
// Plug, Unplug and a hub pulled and put back change the tree and send the
// device-interface broadcasts to the windows registered for their classes,
// as Windows does: WM_DEVICECHANGE with DBT_DEVICEARRIVAL (parents first)
// or DBT_DEVICEREMOVECOMPLETE (children first) and a
// DEV_BROADCAST_DEVICEINTERFACE_A naming the interface.
//
// Nodes are named as Windows names them: instance ids such as
// USB\VID_6B4D&PID_2001&MI_00\7&0000000A&0&0000, services USBXHCI, USBHUB3
// (the in-box USB 3 hub driver, below every xHCI controller), usbhub (USB 2
// hubs), usbccgp (composite parents) and usbser, driver keys
// {36fc9e60-c465-11cf-8056-444553540000}\0012.
//
// The tree also counts what a leak or a double close would leave behind:
// hub handles still open, device-notification registrations still held,
// closes of handles that were no handles, and hub requests whose caller let
// go of them while they were pending.
//
// All of it is thread-safe: the DLL's threads call into the tree while the
// test changes it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "rig/rig_device.h"

namespace eklv::test {

class UsbTree {
public:
    using NodeId = int;

    UsbTree();
    ~UsbTree();
    UsbTree(const UsbTree&) = delete;
    UsbTree& operator=(const UsbTree&) = delete;

    // ---- building ----
    NodeId AddPciController();
    // service: "USBHUB3" (xHCI, Windows 8 and later) or "usbhub" (USB 2).
    NodeId AddRootHub(NodeId controller, int ports = 4, const std::string& service = "USBHUB3");
    NodeId AddHub(NodeId parent, int port, int ports = 4, const std::string& service = "USBHUB3",
                  std::uint16_t vid = 0x05e3, std::uint16_t pid = 0x0610);
    // A composite device (usbccgp) with one child node per function.
    NodeId AddCompositePhone(NodeId hub, int port, std::uint16_t vid, std::uint16_t pid,
                             const std::vector<RigInterface>& interfaces, const RigStrings& strings = {});
    // A device with a single function: one node.
    NodeId AddSinglePhone(NodeId hub, int port, std::uint16_t vid, std::uint16_t pid, const RigInterface& function,
                          const RigStrings& strings = {});

    // ---- plugging: tree change, then the broadcasts ----
    void Unplug(NodeId node);
    void Plug(NodeId node);
    bool IsPlugged(NodeId node) const;
    // A broadcast for a name the tree does not know, of the COM-port class.
    void BroadcastUnknown(const std::string& name, bool arrival);

    // ---- names, as Windows gives them ----
    std::string InstanceId(NodeId node) const;
    // The symbolic name of a node's interface of a class, or of function n
    // of a composite phone.
    std::string DeviceName(NodeId node, const char* class_text) const;
    std::string InterfaceName(NodeId phone, int function, const char* class_text) const;
    std::string HubName(NodeId hub) const { return DeviceName(hub, kRigClassUsbHub); }

    // ---- faults ----
    // Every request on this hub fails (ERROR_GEN_FAILURE).
    void FailHubRequests(NodeId hub, bool fail);
    // The device has no driver yet (a phone in download mode before its
    // driver is installed): its hub port's driver-key request fails.
    void RemoveDriver(NodeId device);
    // Requests on hub handles opened overlapped answer ERROR_IO_PENDING and
    // complete delay_ms later, as a hub driver may; descriptor requests then
    // fail instead when fail_descriptors is set.
    void SetPendingHubRequests(int delay_ms, bool fail_descriptors = false);
    // The function's device key has no PortName value.
    void RemovePortName(NodeId phone, int function);
    // Runs action (without the tree's lock) when the DLL next asks for the
    // present interfaces of this class, before they are listed: once.
    void WhenListed(const char* class_text, std::function<void()> action);

    // ---- what the DLL holds and did ----
    int OpenHubHandles() const;
    int Registrations() const;
    int FailedCloses() const;          // CloseHandle of a value that was no handle
    int AbandonedHubRequests() const;  // pending when their handle was closed
    int PendingHubRequests() const;    // answered ERROR_IO_PENDING so far

    // The instance ids of the host controllers, lower case, in the order
    // they were added.
    std::vector<std::string> Controllers() const;
    // The COM ports of the functions in a node's subtree that are plugged in
    // it (whether the node itself is plugged or not).
    std::vector<std::string> ComPorts(NodeId node) const;

    // ---- the Windows calls the DLL's imports are bound to (tree_calls.cpp) ----
    struct Calls;
    // Binds the DLL's imports of the calls above to the tree; answers how
    // many import entries it rebound (every one the DLL has).
    static int Install(HMODULE dll);
    static constexpr int kCalls = 23;
    // The tree the calls answer from: the last one constructed and alive.
    static UsbTree* Active();

private:
    friend struct Calls;
    enum class Kind { kRoot, kController, kRootHub, kHub, kDevice, kFunction };
    struct Interface {
        std::string class_text;
        std::string name;
    };
    struct Node {
        Kind kind = Kind::kRoot;
        NodeId parent = -1;
        std::vector<NodeId> children;
        int port = 0;   // on the parent hub
        int ports = 0;  // hubs
        std::string instance_id;
        std::string service;
        std::string description;
        std::string driver_key;  // empty: no driver
        std::string com_port;    // functions with a serial port
        bool port_name = true;   // the device key holds PortName
        std::vector<Interface> interfaces;
        std::vector<std::uint8_t> descriptors;  // USB devices
        RigStrings strings;
        std::vector<RigInterface> functions;
        bool plugged = true;     // its own plug state
        bool fail_requests = false;
    };
    struct Registration {
        HWND window;
        std::string class_text;
    };
    struct PendingRequest;
    struct HubHandle {
        NodeId hub;
        bool overlapped;
    };
    struct DeviceSet {
        std::vector<std::pair<NodeId, Interface>> interfaces;  // what it lists
        std::vector<NodeId> devices;                            // what was opened in it
        std::string class_text;                                 // of a class listing
    };

    NodeId AddNode(Node node);
    void JoinCompletions();
    NodeId AddUsbDevice(Kind kind, NodeId parent, int port, std::uint16_t vid, std::uint16_t pid, int ports,
                        const std::string& service, const std::vector<RigInterface>& functions,
                        const RigStrings& strings);
    // Present: plugged, and so is every node above it.
    bool Present(NodeId node) const;
    NodeId DeviceOnPort(NodeId hub, int port) const;
    NodeId FindInstance(const std::string& instance_id) const;  // present nodes, any case; -1
    const Node& Get(NodeId node) const;
    std::vector<NodeId> Subtree(NodeId node) const;  // parents first
    void Broadcast(const std::vector<NodeId>& nodes, bool arrival);

    mutable std::mutex mutex_;
    std::vector<Node> nodes_;
    std::map<HANDLE, std::unique_ptr<Registration>> registrations_;  // by the handle given out
    std::map<HANDLE, HubHandle> hub_handles_;                        // stand-in event -> hub
    std::map<void*, std::unique_ptr<DeviceSet>> sets_;
    std::map<void*, NodeId> keys_;                                   // device keys given out
    std::vector<std::shared_ptr<PendingRequest>> pending_;
    std::vector<std::thread> completions_;  // of pending requests
    int pending_delay_ms_ = -1;
    bool pending_fail_descriptors_ = false;
    int failed_closes_ = 0;
    int abandoned_requests_ = 0;
    int pending_answered_ = 0;
    std::map<std::string, std::function<void()>> when_listed_;  // by class text
    int next_unique_ = 0x10;
};

}  // namespace eklv::test
