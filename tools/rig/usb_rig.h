// UsbRig: builds USB topologies in a umockdev testbed, as the Linux
// backend reads them through libudev: PCI host controllers, root hubs,
// external hubs and phones with real "descriptors" bytes, string
// attributes, bound drivers and tty nodes (ptys whose far end a test can
// drive as a modem).
//
// The process must run under umockdev-wrapper (tests linked with
// eklv_umockdev_main re-execute themselves under it). Every Add... call
// raises "add" uevents for the nodes it creates, parents first; Unplug
// raises "remove" uevents, children first, and takes the nodes away; Plug
// puts an unplugged subtree back the same way. A tty's pty belongs to the
// testbed for its whole life (umockdev cannot make a second pty of the
// same name): an unplugged tty keeps its /dev node and pty, and Plug
// brings back its sysfs node on the same pty.
//
//   UsbRig rig;
//   auto pci = rig.AddPciController();
//   auto root = rig.AddRootHub(pci, 1);
//   auto hub = rig.AddHub(root, 3);
//   auto phone = rig.AddCompositePhone(hub, 2, 0x6b4d, 0x2001,
//                                      {RigInterface::Modem("ttyACM0"), RigInterface::Mtp(), RigInterface::Data()});
//   rig.InterfaceName(phone, 0, kRigClassComPort)  // "\\?\usb#vid_6b4d&pid_2001&mi_00#1-3.2:1.0#{86e0...}"
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "rig/rig_device.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace eklv::test {

class UsbRig {
public:
    using NodeId = int;

    UsbRig();
    ~UsbRig();
    UsbRig(const UsbRig&) = delete;
    UsbRig& operator=(const UsbRig&) = delete;

    // ---- building ----
    NodeId AddPciController(const std::string& pci_name = "0000:00:14.0");
    // A root hub for bus number bus (kernel name "usb<bus>").
    NodeId AddRootHub(NodeId controller, int bus, int ports = 4);
    // A hub on a port of a root hub or another hub.
    NodeId AddHub(NodeId parent, int port, int ports = 4, std::uint16_t vid = 0x1a40, std::uint16_t pid = 0x0101);
    // A device with one node per interface below it.
    NodeId AddCompositePhone(NodeId hub, int port, std::uint16_t vid, std::uint16_t pid,
                             const std::vector<RigInterface>& interfaces, const RigStrings& strings = {});
    // A device with a single interface: one node.
    NodeId AddSinglePhone(NodeId hub, int port, std::uint16_t vid, std::uint16_t pid, const RigInterface& interface,
                          const RigStrings& strings = {});
    // A station's bank of phones on port of parent: a hub with hubs hubs
    // of per_hub ports below it, on each port a composite phone 6b4d:2001
    // (modem ttyACM<first_tty + n>, MTP); answers the top hub.
    NodeId AddPhoneBank(NodeId parent, int port, int hubs, int per_hub, int first_tty);

    // ---- plugging ----
    void Unplug(NodeId node);
    void Plug(NodeId node);
    bool IsPlugged(NodeId node) const;

    // ---- names as the library reports them ----
    std::string Sysname(NodeId node) const;  // "1-3.2", "usb1", "0000:00:14.0"
    std::string Syspath(NodeId node) const;  // "/sys/devices/..."
    std::string InstanceId(NodeId node) const;
    std::string InterfaceInstanceId(NodeId phone, int interface) const;
    // Symbolic name of a device node (hubs: kRigClassUsbHub, any device:
    // kRigClassUsbDevice, single phones: the tty classes too).
    std::string DeviceName(NodeId node, const char* class_text) const;
    // Symbolic name of one function of a composite phone.
    std::string InterfaceName(NodeId phone, int interface, const char* class_text) const;
    std::string HubName(NodeId hub) const { return DeviceName(hub, kRigClassUsbHub); }
    int Port(NodeId node) const;

    // ---- hostile and odd sysfs ----
    void SetAttribute(NodeId node, const std::string& name, const std::string& value);
    void SetInterfaceAttribute(NodeId phone, int interface, const std::string& name, const std::string& value);
    // The same on a running rig: the change is followed by its "change"
    // uevent, as the kernel announces a device whose attributes changed.
    void ChangeInterfaceAttribute(NodeId phone, int interface, const std::string& name, const std::string& value);
    void SetBinaryAttribute(NodeId node, const std::string& name, const std::vector<std::uint8_t>& value);
    // Deletes an attribute file (a missing attribute, as old kernels show).
    void RemoveAttribute(NodeId node, const std::string& name);

    // The far end of a tty's pty ("ttyACM0"), for a modem emulator; -1 when
    // there is none.
    int TtyFd(const std::string& tty) const;
    // The rig as umockdev-run --device takes it (umockdev-record's text
    // form): every plugged node, parents first, each tty a device node of
    // its own name instead of the rig's pty.
    std::string RecordText() const;

    // The raw descriptors the rig wrote for a device.
    std::vector<std::uint8_t> Descriptors(NodeId node) const;

    UMockdevTestbed* testbed() const { return testbed_; }

private:
    enum class Kind { kController, kRootHub, kHub, kPhone };
    struct Record;  // one node the rig added

    NodeId AddNode(Record record);
    NodeId AddDevice(Kind kind, NodeId parent, int port, std::uint16_t vid, std::uint16_t pid, int ports,
                     const std::vector<RigInterface>& interfaces, const RigStrings& strings);
    void Create(const Record& record, bool again);
    std::vector<NodeId> Subtree(NodeId node) const;
    const Record& Get(NodeId node) const;

    // A tty's pty: the rig keeps the slave open too, so the far end never
    // sees a hang-up while the library has the port closed.
    struct Pty {
        int master = -1;
        int slave = -1;
        std::string path;
    };
    std::string PtyFor(const std::string& tty);

    UMockdevTestbed* testbed_ = nullptr;
    std::vector<Record*> records_;
    std::map<std::string, Pty> ptys_;
};

// Returns when the umockdev preload library is active; otherwise runs the
// program again under umockdev-wrapper (with the sanitizer options a
// testbed needs) and does not return. Call first thing in main().
void RunUnderUmockdev(int argc, char** argv);

}  // namespace eklv::test
