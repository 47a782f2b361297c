#include "platform/linux/udev_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/linux/sysfs_reads.h"

namespace eklv::pf::lx {

const Guid kClassUsbHub = {0xf18a0e88, 0xc30c, 0x11d0, {0x88, 0x15, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0xd8}};
const Guid kClassUsbDevice = {0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};
const Guid kClassComPort = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
const Guid kClassModem = {0x2c7089aa, 0x2e0e, 0x11d1, {0xb1, 0x14, 0x00, 0xc0, 0x4f, 0xc2, 0xaa, 0xe4}};

namespace {

// Setup class of USB devices; the driver key of a node is this class and
// the node's kernel name, so that a hub port's driver key name (built the
// same way from the device on the port) matches it.
constexpr const char* kUsbSetupClass = "{36fc9e60-c465-11cf-8056-444553540000}";

// DevInst values: an index into a table of node keys (sysfs paths, "" for
// the root) that only grows, so a value keeps naming the same place in the
// tree for the life of the process, as a device instance handle does.
class NodeTable {
public:
    NodeTable() { Intern(""); }

    DevInst Intern(const std::string& key) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = index_.find(key);
        if (it != index_.end()) return it->second;
        keys_.push_back(key);
        DevInst handle = static_cast<DevInst>(keys_.size());
        index_.emplace(key, handle);
        return handle;
    }

    bool Key(DevInst handle, std::string* key) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (handle == 0 || handle > keys_.size()) return false;
        *key = keys_[handle - 1];
        return true;
    }

    // Frees the keys; every DevInst is unknown afterwards.
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string>().swap(keys_);
        std::unordered_map<std::string, DevInst>().swap(index_);
    }

private:
    std::mutex mutex_;
    std::vector<std::string> keys_;
    std::unordered_map<std::string, DevInst> index_;
};

// The table and the sysfs lock live in static storage and are never
// destroyed, so static destructors that run late may still query. Nothing of
// them stays on the heap when the library is unloaded: the table's keys are
// released by g_release_nodes at unload (queries after that find no node).
NodeTable& Nodes() {
    alignas(NodeTable) static unsigned char storage[sizeof(NodeTable)];
    static NodeTable* table = new (storage) NodeTable;
    return *table;
}

struct ReleaseNodesAtUnload {
    ~ReleaseNodesAtUnload() { Nodes().Release(); }
} g_release_nodes;

// What a read scope's questions have worked out from its reads (sysfs_reads.h):
// the nodes made, instance ids, and the node each instance id locates.
// Dropped with the scope, like the reads.
struct ScopeAnswers {
    std::uint64_t scope = 0;
    std::unordered_map<std::string, Node> nodes;             // syspath -> node (kind kNone: no node)
    std::unordered_map<std::string, std::string> ids;        // syspath -> instance id
    std::unordered_map<std::string, std::string> located;    // instance id -> syspath ("": none)
};
thread_local ScopeAnswers t_answers;

// The answers of the thread's read scope; null without one.
ScopeAnswers* Answers() {
    const std::uint64_t scope = ReadScopeId();
    if (scope == 0) return nullptr;
    if (t_answers.scope != scope) {
        t_answers.nodes.clear();
        t_answers.ids.clear();
        t_answers.located.clear();
        t_answers.scope = scope;
    }
    return &t_answers;
}

std::string Basename(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Dirname(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// The last component of a link's target ("subsystem", "driver").
std::string LinkTarget(const std::string& path, const char* link) { return Basename(ReadLink(path + "/" + link)); }

// The tty below a function's directory: "<if>/tty/ttyACM0" (cdc_acm),
// "<if>/ttyUSB0/tty/ttyUSB0" (usb-serial) or "<if>/ttyX" directly; any
// directory whose subsystem is tty, at most three levels down. The first
// by name when there are several.
void FindTty(const std::string& path, int depth, std::string* tty) {
    for (const std::string& entry : ListDirectory(path)) {
        std::string child = path + "/" + entry;
        if (entry == "subsystem" || entry == "driver" || entry == "port" || entry == "power") continue;
        if (LinkTarget(child, "subsystem") == "tty") {
            if (tty->empty() || entry < *tty) *tty = entry;
            continue;
        }
        if (depth > 1 && (entry == "tty" || entry.compare(0, 3, "tty") == 0)) FindTty(child, depth - 1, tty);
    }
}

// The device directory that sysfs links as /sys/bus/usb/devices/<name>,
// where libudev looks first for a usb device by name; empty when there is
// no such link. The kernel's links are relative ("../../../devices/...")
// and every directory on the way is a real one, so resolving the ".." by
// name gives the path libudev's component-by-component walk gives, with
// one readlink instead of dozens of calls.
std::string UsbBusLink(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return {};
    const std::string folder = "/sys/bus/usb/devices";
    std::string link = ReadLink(folder + "/" + name);
    if (link.empty()) return {};
    std::vector<std::string> parts;
    auto walk = [&parts](const std::string& path) {
        std::size_t pos = 0;
        while (pos <= path.size()) {
            std::size_t slash = path.find('/', pos);
            if (slash == std::string::npos) slash = path.size();
            std::string part = path.substr(pos, slash - pos);
            if (part == "..") {
                if (!parts.empty()) parts.pop_back();
            } else if (!part.empty() && part != ".") {
                parts.push_back(std::move(part));
            }
            pos = slash + 1;
        }
    };
    if (link[0] != '/') walk(folder);
    walk(link);
    std::string path;
    for (const std::string& part : parts) path += "/" + part;
    return path;
}

}  // namespace

std::recursive_mutex& DeviceTreeMutex() {
    // Never destroyed: threads may still ask device questions while static
    // objects are torn down at unload.
    alignas(std::recursive_mutex) static unsigned char storage[sizeof(std::recursive_mutex)];
    static auto* mutex = new (storage) std::recursive_mutex;
    return *mutex;
}

DeviceTree::DeviceTree() : lock_(DeviceTreeMutex()) {}

DeviceTree::~DeviceTree() {
    if (udev_ != nullptr) udev_unref(udev_);
}

udev* DeviceTree::context() {
    if (!udev_tried_) {
        udev_tried_ = true;
        udev_ = udev_new();
    }
    return udev_;
}

Node DeviceTree::Root() const {
    Node root;
    root.kind = NodeKind::kRoot;
    return root;
}

DevInst DeviceTree::Handle(const Node& node) { return Nodes().Intern(node.kind == NodeKind::kRoot ? "" : node.syspath); }

bool DeviceTree::MakeNode(const std::string& syspath, Node* node) {
    if (syspath.empty()) return false;
    ScopeAnswers* answers = Answers();
    auto& made_nodes = answers != nullptr ? answers->nodes : made_;
    auto made = made_nodes.find(syspath);
    if (made == made_nodes.end()) {
        Node result;
        made = made_nodes.emplace(syspath, NewNode(syspath, &result) ? std::move(result) : Node{}).first;
    }
    if (made->second.kind == NodeKind::kNone) return false;
    *node = made->second;
    return true;
}

bool DeviceTree::NewNode(const std::string& syspath, Node* node) {
    if (!IsDeviceDirectory(syspath)) return false;
    Node result;
    result.syspath = syspath;
    if (LinkTarget(syspath, "subsystem") == "usb") {
        if (!ParseUsbName(Basename(syspath), &result.name)) return false;
        if (result.name.IsInterface() && result.name.root_hub) return false;  // a hub's interface is no node
        result.kind = result.name.IsInterface() ? NodeKind::kInterface : NodeKind::kDevice;
    } else {
        result.kind = NodeKind::kController;
    }
    *node = std::move(result);
    return true;
}

bool DeviceTree::Resolve(DevInst handle, Node* node) {
    std::string key;
    if (!Nodes().Key(handle, &key)) return false;
    if (key.empty()) {
        *node = Root();
        return true;
    }
    Node result;
    if (!MakeNode(key, &result)) return false;
    if (result.kind == NodeKind::kInterface) {
        Node parent;
        if (!Parent(result, &parent) || !IsComposite(parent)) return false;
    }
    *node = std::move(result);
    return true;
}

bool DeviceTree::Locate(const std::string& instance_id, Node* node) {
    ScopeAnswers* answers = Answers();
    if (answers == nullptr) return LocateFresh(instance_id, node);
    auto it = answers->located.find(instance_id);
    if (it != answers->located.end()) {
        if (it->second.empty()) return false;
        if (it->second == "/") {
            *node = Root();
            return true;
        }
        return MakeNode(it->second, node);
    }
    Node found;
    const bool ok = LocateFresh(instance_id, &found);
    answers->located.emplace(instance_id, !ok ? std::string() : found.kind == NodeKind::kRoot ? "/" : found.syspath);
    if (ok) *node = std::move(found);
    return ok;
}

bool DeviceTree::LocateFresh(const std::string& instance_id, Node* node) {
    if (instance_id.empty() || EqualsNoCase(instance_id, kRootInstanceId)) {
        *node = Root();
        return true;
    }
    InstanceIdParts parts;
    if (!SplitInstanceId(instance_id, &parts)) return false;
    Node found;
    if (parts.enumerator == "pci") {
        for (Node& controller : Controllers()) {
            if (EqualsNoCase(Basename(controller.syspath), parts.instance)) {
                found = std::move(controller);
                break;
            }
        }
        if (found.kind == NodeKind::kNone) return false;
    } else if (parts.enumerator == "usb") {
        std::string syspath = UsbBusLink(parts.instance);
        if (syspath.empty() && context() != nullptr) {
            udev_device* device = udev_device_new_from_subsystem_sysname(udev_, "usb", parts.instance.c_str());
            if (device == nullptr) return false;
            const char* path = udev_device_get_syspath(device);
            if (path != nullptr) syspath = path;
            udev_device_unref(device);
        }
        if (!MakeNode(syspath, &found)) return false;
        if (found.kind == NodeKind::kInterface) {
            Node parent;
            if (!Parent(found, &parent) || !IsComposite(parent)) return false;
        }
    } else {
        return false;
    }
    // The kernel name alone could match a device whose vendor or product
    // differs from the id asked for (another device now on that port).
    if (!EqualsNoCase(InstanceId(found), instance_id)) return false;
    *node = std::move(found);
    return true;
}

bool DeviceTree::Parent(const Node& node, Node* parent) {
    switch (node.kind) {
        case NodeKind::kController:
            *parent = Root();
            return true;
        case NodeKind::kDevice:
            if (node.name.root_hub) {
                // The host controller: the nearest device directory above.
                for (std::string up = Dirname(node.syspath); !up.empty(); up = Dirname(up)) {
                    if (!IsDeviceDirectory(up)) continue;
                    Node controller;
                    controller.kind = NodeKind::kController;
                    controller.syspath = up;
                    *parent = std::move(controller);
                    return true;
                }
                return false;
            }
            [[fallthrough]];
        case NodeKind::kInterface: {
            // USB devices and interfaces sit directly in their parent
            // device's directory.
            Node result;
            if (!MakeNode(Dirname(node.syspath), &result) || result.kind != NodeKind::kDevice) return false;
            *parent = std::move(result);
            return true;
        }
        default:
            return false;
    }
}

std::vector<Node> DeviceTree::Controllers() {
    // The root hubs are the usb bus's "usb<N>" devices, each below its host
    // controller. Found through the bus's links (one listing, a link each);
    // libudev enumerates where there are none.
    std::vector<std::string> root_hubs;
    for (const std::string& entry : ListDirectory("/sys/bus/usb/devices"))
        if (entry.compare(0, 3, "usb") == 0) root_hubs.push_back(UsbBusLink(entry));
    if (root_hubs.empty() && context() != nullptr) {
        if (udev_enumerate* enumerate = udev_enumerate_new(udev_)) {
            udev_enumerate_add_match_subsystem(enumerate, "usb");
            udev_enumerate_add_match_sysname(enumerate, "usb[0-9]*");
            udev_enumerate_scan_devices(enumerate);
            udev_list_entry* entry;
            udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate))
                root_hubs.emplace_back(udev_list_entry_get_name(entry));
            udev_enumerate_unref(enumerate);
        }
    }
    std::map<std::string, int> lowest_bus;  // controller syspath -> its lowest bus number
    for (const std::string& path : root_hubs) {
        Node hub, controller;
        if (!MakeNode(path, &hub) || hub.kind != NodeKind::kDevice || !hub.name.root_hub || !Parent(hub, &controller))
            continue;
        auto it = lowest_bus.find(controller.syspath);
        if (it == lowest_bus.end())
            lowest_bus.emplace(controller.syspath, hub.name.bus);
        else
            it->second = std::min(it->second, hub.name.bus);
    }
    std::vector<std::pair<int, std::string>> order;
    for (const auto& [path, bus] : lowest_bus) order.emplace_back(bus, path);
    std::sort(order.begin(), order.end());
    std::vector<Node> controllers;
    for (auto& [bus, path] : order) {
        Node controller;
        controller.kind = NodeKind::kController;
        controller.syspath = path;
        controllers.push_back(std::move(controller));
    }
    return controllers;
}

std::vector<Node> DeviceTree::Children(const Node& node) {
    std::vector<Node> children;
    switch (node.kind) {
        case NodeKind::kRoot:
            return Controllers();
        case NodeKind::kController:
        case NodeKind::kDevice: {
            bool hub = node.kind == NodeKind::kDevice && IsHub(node);
            if (node.kind == NodeKind::kDevice && !hub) {
                if (IsComposite(node)) return Interfaces(node);
                return children;
            }
            for (const std::string& entry : ListDirectory(node.syspath)) {
                UsbName name;
                if (!ParseUsbName(entry, &name) || name.IsInterface()) continue;
                bool wanted = hub ? IsChildDevice(node.name, name) : name.root_hub;
                Node child;
                if (wanted && MakeNode(node.syspath + "/" + entry, &child) && child.kind == NodeKind::kDevice)
                    children.push_back(std::move(child));
            }
            std::sort(children.begin(), children.end(),
                      [](const Node& a, const Node& b) { return UsbNameLess(a.name, b.name); });
            return children;
        }
        default:
            return children;
    }
}

std::vector<Node> DeviceTree::Interfaces(const Node& device) {
    std::vector<Node> interfaces;
    if (device.kind != NodeKind::kDevice) return interfaces;
    for (const std::string& entry : ListDirectory(device.syspath)) {
        UsbName name;
        if (!ParseUsbName(entry, &name) || !IsInterfaceOf(device.name, name)) continue;
        std::string path = device.syspath + "/" + entry;
        if (!IsDeviceDirectory(path)) continue;
        Node iface;
        iface.kind = NodeKind::kInterface;
        iface.syspath = std::move(path);
        iface.name = std::move(name);
        interfaces.push_back(std::move(iface));
    }
    std::sort(interfaces.begin(), interfaces.end(),
              [](const Node& a, const Node& b) { return UsbNameLess(a.name, b.name); });
    return interfaces;
}

bool DeviceTree::Attribute(const Node& node, const char* name, std::string* value) {
    if (node.syspath.empty()) return false;
    std::string text;
    if (!ReadSysfsFile(node.syspath + "/" + name, 4096, &text)) return false;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r')) text.pop_back();
    *value = std::move(text);
    return true;
}

std::uint16_t DeviceTree::HexAttribute(const Node& node, const char* name) {
    std::string text;
    std::uint32_t value = 0;
    if (!Attribute(node, name, &text) || !ParseHexAttribute(text, 0xFFFF, &value)) return 0;
    return static_cast<std::uint16_t>(value);
}

bool DeviceTree::IsHub(const Node& node) {
    return node.kind == NodeKind::kDevice && HexAttribute(node, "bDeviceClass") == 0x09;
}

bool DeviceTree::IsComposite(const Node& node) {
    if (node.kind != NodeKind::kDevice || IsHub(node)) return false;
    // The active configuration's interface count: the kernel adds the
    // interfaces one by one and binds each as it comes, so the tty of the
    // first can be announced while the others are not in sysfs yet.
    std::string text;
    std::uint32_t declared = 0;
    if (Attribute(node, "bNumInterfaces", &text) && ParseDecimalAttribute(text, 0xFF, &declared)) return declared > 1;
    int count = 0;
    for (const std::string& entry : ListDirectory(node.syspath)) {
        UsbName name;
        if (ParseUsbName(entry, &name) && IsInterfaceOf(node.name, name)) ++count;
    }
    return count > 1;
}

std::string DeviceTree::InstanceId(const Node& node) {
    ScopeAnswers* answers = Answers();
    if (answers == nullptr || node.syspath.empty()) return InstanceIdFresh(node);
    auto it = answers->ids.find(node.syspath);
    if (it == answers->ids.end()) it = answers->ids.emplace(node.syspath, InstanceIdFresh(node)).first;
    return it->second;
}

std::string DeviceTree::InstanceIdFresh(const Node& node) {
    switch (node.kind) {
        case NodeKind::kRoot:
            return kRootInstanceId;
        case NodeKind::kController:
            return ControllerInstanceId(Basename(node.syspath));
        case NodeKind::kDevice:
            return DeviceInstanceId(HexAttribute(node, "idVendor"), HexAttribute(node, "idProduct"),
                                    Basename(node.syspath));
        case NodeKind::kInterface: {
            Node parent;
            std::uint16_t vid = 0, pid = 0;
            if (Parent(node, &parent)) {
                vid = HexAttribute(parent, "idVendor");
                pid = HexAttribute(parent, "idProduct");
            }
            std::string text;
            std::uint32_t number = 0;
            int interface = node.name.interface;
            if (Attribute(node, "bInterfaceNumber", &text) && ParseHexAttribute(text, 0xFF, &number))
                interface = static_cast<int>(number);
            return InterfaceInstanceId(vid, pid, interface, Basename(node.syspath));
        }
        default:
            return {};
    }
}

bool DeviceTree::Service(const Node& node, std::string* text) {
    std::string driver;
    switch (node.kind) {
        case NodeKind::kController:
        case NodeKind::kInterface:
            driver = LinkTarget(node.syspath, "driver");
            break;
        case NodeKind::kDevice: {
            if (IsHub(node)) {
                *text = "usbhub";
                return true;
            }
            std::vector<Node> interfaces = Interfaces(node);
            if (interfaces.size() > 1) {
                *text = "usbccgp";
                return true;
            }
            if (interfaces.size() == 1) driver = LinkTarget(interfaces[0].syspath, "driver");
            break;
        }
        default:
            break;
    }
    if (driver.empty()) return false;
    *text = std::move(driver);
    return true;
}

bool DeviceTree::Description(const Node& node, std::string* text) {
    switch (node.kind) {
        case NodeKind::kInterface:
            return Attribute(node, "interface", text) && !text->empty();
        case NodeKind::kDevice: {
            if (!IsHub(node)) {
                // A single-function device is described by its function.
                std::vector<Node> interfaces = Interfaces(node);
                if (interfaces.size() == 1 && Attribute(interfaces[0], "interface", text) && !text->empty())
                    return true;
            }
            return Attribute(node, "product", text) && !text->empty();
        }
        default:
            return false;
    }
}

bool DeviceTree::DriverKey(const Node& node, std::string* text) {
    if (node.kind == NodeKind::kRoot || node.kind == NodeKind::kNone) return false;
    *text = std::string(kUsbSetupClass) + "\\" + ToLower(Basename(node.syspath));
    return true;
}

std::string DeviceTree::TtyName(const Node& node) {
    std::string function;
    if (node.kind == NodeKind::kInterface) {
        function = node.syspath;
    } else if (node.kind == NodeKind::kDevice && !IsHub(node)) {
        std::vector<Node> interfaces = Interfaces(node);
        if (interfaces.size() != 1) return {};
        function = interfaces[0].syspath;
    } else {
        return {};
    }
    std::string tty;
    FindTty(function, 3, &tty);
    return tty;
}

bool DeviceTree::Exposes(const Node& node, const Guid& interface_class) {
    if (interface_class == kClassUsbHub) return IsHub(node);
    if (interface_class == kClassUsbDevice) return node.kind == NodeKind::kDevice;
    if (interface_class == kClassComPort || interface_class == kClassModem) {
        if (node.kind == NodeKind::kDevice && IsComposite(node)) return false;
        return !TtyName(node).empty();
    }
    return false;
}

std::vector<Node> DeviceTree::NodesExposing(const Guid& interface_class) {
    std::vector<Node> nodes;
    bool usb_class = interface_class == kClassUsbHub || interface_class == kClassUsbDevice;
    bool tty_class = interface_class == kClassComPort || interface_class == kClassModem;
    if (!ok() || (!usb_class && !tty_class)) return nodes;
    udev_enumerate* enumerate = udev_enumerate_new(udev_);
    if (enumerate == nullptr) return nodes;
    udev_enumerate_add_match_subsystem(enumerate, usb_class ? "usb" : "tty");
    udev_enumerate_scan_devices(enumerate);
    std::map<std::string, bool> seen;
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
        std::string path = udev_list_entry_get_name(entry);
        Node node;
        if (usb_class) {
            if (!MakeNode(path, &node) || node.kind != NodeKind::kDevice) continue;
            if (interface_class == kClassUsbHub && !IsHub(node)) continue;
        } else {
            if (!FunctionOfTty(path, &node) || !seen.emplace(node.syspath, true).second) continue;
        }
        nodes.push_back(std::move(node));
    }
    udev_enumerate_unref(enumerate);
    std::sort(nodes.begin(), nodes.end(), [](const Node& a, const Node& b) { return UsbNameLess(a.name, b.name); });
    return nodes;
}

bool DeviceTree::FunctionOfTty(const std::string& tty_syspath, Node* node) {
    // Climb from the tty to its USB interface; the function node is that
    // interface below a composite device, else the device.
    Node iface;
    for (std::string up = Dirname(tty_syspath); !up.empty(); up = Dirname(up)) {
        UsbName name;
        if (ParseUsbName(Basename(up), &name)) {
            MakeNode(up, &iface);
            break;
        }
    }
    Node parent;
    if (iface.kind != NodeKind::kInterface || !Parent(iface, &parent) || IsHub(parent)) return false;
    *node = IsComposite(parent) ? std::move(iface) : std::move(parent);
    return true;
}

std::vector<DeviceTree::InterfaceName> DeviceTree::InterfacesOf(const std::string& syspath) {
    std::vector<InterfaceName> names;
    auto add = [&](const std::string& instance_id, const Guid& interface_class) {
        names.push_back({interface_class, SymbolicNameFromInstanceId(instance_id, GuidToString(interface_class))});
    };
    if (LinkTarget(syspath, "subsystem") == "tty") {
        Node function;
        if (IsDeviceDirectory(syspath) && FunctionOfTty(syspath, &function)) {
            const std::string id = InstanceId(function);
            add(id, kClassComPort);
            add(id, kClassModem);
        }
        return names;
    }
    Node node;
    if (!MakeNode(syspath, &node) || node.kind != NodeKind::kDevice) return names;
    const std::string id = InstanceId(node);
    if (IsHub(node)) add(id, kClassUsbHub);
    add(id, kClassUsbDevice);
    return names;
}

std::vector<std::uint8_t> DeviceTree::RawDescriptors(const Node& device) {
    std::vector<std::uint8_t> bytes;
    // A device's descriptors are at most a few kilobytes; 64 KiB bounds a
    // hostile or broken attribute.
    std::string content;
    if (device.kind != NodeKind::kDevice || !ReadSysfsFile(device.syspath + "/descriptors", 65536, &content)) return bytes;
    bytes.assign(content.begin(), content.end());
    return bytes;
}

bool DeviceTree::DeviceOnPort(const Node& hub, int port, Node* device) {
    if (hub.kind != NodeKind::kDevice || port < 1) return false;
    std::string child = hub.name.root_hub ? std::to_string(hub.name.bus) + "-" + std::to_string(port)
                                          : Basename(hub.syspath) + "." + std::to_string(port);
    Node node;
    if (!MakeNode(hub.syspath + "/" + child, &node) || node.kind != NodeKind::kDevice) return false;
    *device = std::move(node);
    return true;
}

}  // namespace eklv::pf::lx
