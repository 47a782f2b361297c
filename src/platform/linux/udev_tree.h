// The device tree of the Linux backend, read through libudev.
//
// Nodes, as the Windows device tree would show them:
//   root         htree\root\0                      the top; parent of the controllers
//   controller   pci\0000:00:14.0                  the parent device of root hubs
//   device       usb\vid_xxxx&pid_yyyy\1-3         every USB device, root hubs included
//   interface    usb\vid_xxxx&pid_yyyy&mi_01\1-3:1.1
//                                                  only below a composite device
// A device is composite when it is not a hub and has more than one
// interface; a device with one interface is a single node that stands for
// its function. Hubs (bDeviceClass 09) have the devices on their ports as
// children. A question reads afresh, unless a pf::DeviceTreeReadScope
// lives on its thread (sysfs_reads.h).
//
// libudev finds devices (enumerations; lookup by kernel name when the
// usb bus has no link of that name); the attributes and links of a device
// already found are read from its sysfs directory directly, one open
// each, instead of building a udev_device (which resolves the whole path
// component by component) for every question. Both go through the same
// /sys, so a umockdev testbed serves them alike.
//
// A DeviceTree holds DeviceTreeMutex() for its whole life: one device-tree
// question at a time in the process. The kernel's sysfs needs no such lock;
// umockdev's preload library, which stands in for /sys in the tests, does
// (it translates paths through shared state that breaks under concurrent
// use). The questions are short, so the lock costs a real machine nothing
// worth a second road. Anything else in the backend that goes through
// /sys or the uevent socket (the device monitor) takes it too. Never keep
// a DeviceTree across a wait.
//
// A DeviceTree remembers the nodes it has made for its own short life (for
// the read scope's, when one lives: then the nodes, instance ids and
// located ids are kept with the reads); a libudev context is made only for
// the questions that enumerate.
#pragma once

#include <libudev.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/devtree.h"
#include "platform/linux/udev_names.h"

namespace eklv::pf::lx {

// The one lock of the device tree (see above); recursive, as a question may
// ask another inside it.
std::recursive_mutex& DeviceTreeMutex();

enum class NodeKind { kNone, kRoot, kController, kDevice, kInterface };

struct Node {
    NodeKind kind = NodeKind::kNone;
    std::string syspath;  // empty for the root
    UsbName name;         // for devices and interfaces
};

// The well-known device-interface classes the backend reports.
extern const Guid kClassUsbHub;     // {f18a0e88-c30c-11d0-8815-00a0c906bed8}
extern const Guid kClassUsbDevice;  // {a5dcbf10-6530-11d2-901f-00c04fb951ed}
extern const Guid kClassComPort;    // {86e0d1e0-8089-11d0-9ce4-08003e301f73}
extern const Guid kClassModem;      // {2c7089aa-2e0e-11d1-b114-00c04fc2aae4}


class DeviceTree {
public:
    DeviceTree();
    ~DeviceTree();
    DeviceTree(const DeviceTree&) = delete;
    DeviceTree& operator=(const DeviceTree&) = delete;

    // False when no libudev context can be made (no question can be answered).
    bool ok() { return context() != nullptr; }

    // The node a DevInst names, if it is still present (and still a node:
    // an interface of a device that is no longer composite is not).
    bool Resolve(DevInst handle, Node* node);
    // The DevInst of a node; the same node always gets the same value.
    static DevInst Handle(const Node& node);

    // The node of an instance id, compared without regard to case.
    bool Locate(const std::string& instance_id, Node* node);
    Node Root() const;

    bool Parent(const Node& node, Node* parent);
    std::vector<Node> Children(const Node& node);

    std::string InstanceId(const Node& node);
    // The properties CM_Get_DevNode_Registry_PropertyA answers; false when
    // the node has none.
    bool Service(const Node& node, std::string* text);
    bool Description(const Node& node, std::string* text);
    bool DriverKey(const Node& node, std::string* text);

    bool Exposes(const Node& node, const Guid& interface_class);
    // Every present node that exposes the class, in enumeration order.
    std::vector<Node> NodesExposing(const Guid& interface_class);
    // The device interfaces a sysfs device announces, as a device monitor
    // reports them: a USB device its device class (and the hub class for a
    // hub), a tty the COM-port and modem classes of its function node.
    // Empty for anything else (interfaces, controllers, other ttys).
    struct InterfaceName {
        Guid interface_class;
        std::string symbolic_name;
    };
    std::vector<InterfaceName> InterfacesOf(const std::string& syspath);

    // The tty below a function node ("ttyACM0"), empty when there is none.
    std::string TtyName(const Node& node);

    // Sysfs attributes of a device node (trailing newline removed).
    bool Attribute(const Node& node, const char* name, std::string* value);
    bool IsHub(const Node& node);
    bool IsComposite(const Node& node);
    std::vector<Node> Interfaces(const Node& device);
    // The device's "descriptors" file: the device descriptor followed by
    // every configuration's descriptors. Empty when absent.
    std::vector<std::uint8_t> RawDescriptors(const Node& device);
    // The device on a port of a hub node; false when the port is empty.
    bool DeviceOnPort(const Node& hub, int port, Node* device);

    // The libudev context, made at the first call; null when none can be.
    udev* context();

private:
    // The function node (interface of a composite device, or the device)
    // above a tty's directory.
    bool FunctionOfTty(const std::string& tty_syspath, Node* node);
    // The node of a sysfs device directory, by its subsystem and kernel name.
    bool MakeNode(const std::string& syspath, Node* node);
    bool NewNode(const std::string& syspath, Node* node);
    bool LocateFresh(const std::string& instance_id, Node* node);
    std::string InstanceIdFresh(const Node& node);
    std::vector<Node> Controllers();
    std::uint16_t HexAttribute(const Node& node, const char* name);

    std::lock_guard<std::recursive_mutex> lock_;
    udev* udev_ = nullptr;
    bool udev_tried_ = false;
    // What this question has made: syspath -> node (kind kNone: no node).
    std::unordered_map<std::string, Node> made_;
};

}  // namespace eklv::pf::lx
