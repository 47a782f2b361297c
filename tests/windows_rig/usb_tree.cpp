#include "windows_rig/usb_tree.h"

#include <dbt.h>
#include <rpc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace eklv::test {
namespace {

std::atomic<UsbTree*> g_active{nullptr};

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

std::string UsbIds(std::uint16_t vid, std::uint16_t pid) { return "VID_" + Hex(vid, 4) + "&PID_" + Hex(pid, 4); }

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

UsbTree::UsbTree() {
    Node root;
    root.kind = Kind::kRoot;
    root.instance_id = "HTREE\\ROOT\\0";
    nodes_.push_back(root);
    g_active = this;
}

UsbTree::~UsbTree() {
    JoinCompletions();
    UsbTree* self = this;
    g_active.compare_exchange_strong(self, nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [handle, hub] : hub_handles_) ::CloseHandle(handle);
}

UsbTree* UsbTree::Active() { return g_active.load(); }

const UsbTree::Node& UsbTree::Get(NodeId node) const {
    if (node < 0 || node >= static_cast<NodeId>(nodes_.size())) throw std::out_of_range("no such tree node");
    return nodes_[static_cast<std::size_t>(node)];
}

UsbTree::NodeId UsbTree::AddNode(Node node) {
    std::lock_guard<std::mutex> lock(mutex_);
    const NodeId id = static_cast<NodeId>(nodes_.size());
    const NodeId parent = node.parent;
    nodes_.push_back(std::move(node));
    nodes_[static_cast<std::size_t>(parent)].children.push_back(id);
    return id;
}

UsbTree::NodeId UsbTree::AddPciController() {
    Node n;
    n.kind = Kind::kController;
    n.parent = 0;
    n.instance_id = "PCI\\VEN_8086&DEV_A36D&SUBSYS_00000000&REV_10\\3&11583659&0&" + Hex(next_unique_++, 2);
    n.service = "USBXHCI";
    n.description = "USB xHCI Compliant Host Controller";
    n.driver_key = "{36fc9e60-c465-11cf-8056-444553540000}\\" + Hex(static_cast<unsigned>(nodes_.size()), 4);
    return AddNode(std::move(n));
}

UsbTree::NodeId UsbTree::AddRootHub(NodeId controller, int ports, const std::string& service) {
    Node n;
    n.kind = Kind::kRootHub;
    n.parent = controller;
    n.ports = ports;
    const bool usb3 = SameText(service, "USBHUB3");
    n.instance_id = std::string("USB\\ROOT_HUB") + (usb3 ? "30" : "20") + "\\4&" + Hex(next_unique_++, 8) + "&0&0";
    n.service = service;
    n.description = usb3 ? "USB Root Hub (USB 3.0)" : "USB Root Hub";
    n.driver_key = "{36fc9e60-c465-11cf-8056-444553540000}\\" + Hex(static_cast<unsigned>(nodes_.size()), 4);
    n.interfaces.push_back({kRigClassUsbHub, RigSymbolicName(n.instance_id, kRigClassUsbHub)});
    return AddNode(std::move(n));
}

UsbTree::NodeId UsbTree::AddHub(NodeId parent, int port, int ports, const std::string& service, std::uint16_t vid,
                                std::uint16_t pid) {
    RigStrings strings;
    strings.manufacturer.clear();
    strings.product = "USB3.0 Hub";
    strings.serial.clear();
    strings.configuration.clear();
    return AddUsbDevice(Kind::kHub, parent, port, vid, pid, ports, service, {}, strings);
}

UsbTree::NodeId UsbTree::AddCompositePhone(NodeId hub, int port, std::uint16_t vid, std::uint16_t pid,
                                           const std::vector<RigInterface>& interfaces, const RigStrings& strings) {
    return AddUsbDevice(Kind::kDevice, hub, port, vid, pid, 0, "usbccgp", interfaces, strings);
}

UsbTree::NodeId UsbTree::AddSinglePhone(NodeId hub, int port, std::uint16_t vid, std::uint16_t pid,
                                        const RigInterface& function, const RigStrings& strings) {
    return AddUsbDevice(Kind::kDevice, hub, port, vid, pid, 0, "", {function}, strings);
}

UsbTree::NodeId UsbTree::AddUsbDevice(Kind kind, NodeId parent, int port, std::uint16_t vid, std::uint16_t pid,
                                      int ports, const std::string& service,
                                      const std::vector<RigInterface>& functions, const RigStrings& strings) {
    Node n;
    n.kind = kind;
    n.parent = parent;
    n.port = port;
    n.ports = ports;
    n.strings = strings;
    n.functions = functions;
    n.instance_id = "USB\\" + UsbIds(vid, pid) + "\\5&" + Hex(next_unique_++, 8) + "&0&" + std::to_string(port);
    n.driver_key = "{36fc9e60-c465-11cf-8056-444553540000}\\" + Hex(static_cast<unsigned>(nodes_.size()), 4);
    const bool hub = kind == Kind::kHub;
    std::vector<RigInterface> described = functions;
    if (hub) {
        RigInterface i;
        i.cls = 9;
        i.endpoints = 1;
        described = {i};
    }
    n.descriptors = BuildDescriptors(vid, pid, hub ? 9 : 0, described, strings);
    n.interfaces.push_back({kRigClassUsbDevice, RigSymbolicName(n.instance_id, kRigClassUsbDevice)});
    if (hub) {
        n.service = service;
        n.description = "Generic SuperSpeed USB Hub";
        n.interfaces.push_back({kRigClassUsbHub, RigSymbolicName(n.instance_id, kRigClassUsbHub)});
        return AddNode(std::move(n));
    }
    // A single function is the device node itself; several are its children.
    const bool composite = service == "usbccgp";
    auto describe = [](Node& node, const RigInterface& f) {
        node.description = !f.description.empty() ? f.description : f.label;
        node.com_port = f.tty;
        node.service = !f.tty.empty() ? "usbser" : f.driver;
        if (!f.tty.empty())
            node.interfaces.push_back({kRigClassComPort, RigSymbolicName(node.instance_id, kRigClassComPort)});
    };
    if (!composite) {
        if (!functions.empty()) describe(n, functions[0]);
        return AddNode(std::move(n));
    }
    n.service = service;
    n.description = "USB Composite Device";
    const NodeId device = AddNode(std::move(n));
    for (std::size_t i = 0; i < functions.size(); ++i) {
        Node f;
        f.kind = Kind::kFunction;
        f.parent = device;
        f.instance_id = "USB\\" + UsbIds(vid, pid) + "&MI_" + Hex(static_cast<unsigned>(i), 2) + "\\6&" +
                        Hex(next_unique_++, 8) + "&0&" + Hex(static_cast<unsigned>(i), 4);
        f.driver_key = functions[i].tty.empty() && functions[i].driver.empty()
                           ? std::string()
                           : "{4d36e978-e325-11ce-bfc1-08002be10318}\\" + Hex(static_cast<unsigned>(nodes_.size()), 4);
        describe(f, functions[i]);
        AddNode(std::move(f));
    }
    return device;
}

bool UsbTree::Present(NodeId node) const {
    for (NodeId n = node; n > 0; n = Get(n).parent)
        if (!Get(n).plugged) return false;
    return true;
}

UsbTree::NodeId UsbTree::DeviceOnPort(NodeId hub, int port) const {
    for (NodeId child : Get(hub).children)
        if (Get(child).port == port && Present(child)) return child;
    return -1;
}

UsbTree::NodeId UsbTree::FindInstance(const std::string& instance_id) const {
    for (NodeId n = 0; n < static_cast<NodeId>(nodes_.size()); ++n)
        if (SameText(nodes_[static_cast<std::size_t>(n)].instance_id, instance_id)) return Present(n) ? n : -1;
    return -1;
}

std::vector<UsbTree::NodeId> UsbTree::Subtree(NodeId node) const {
    std::vector<NodeId> out = {node};
    for (std::size_t i = 0; i < out.size(); ++i)
        for (NodeId child : Get(out[i]).children) out.push_back(child);
    return out;
}

bool UsbTree::IsPlugged(NodeId node) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return Get(node).plugged;
}

void UsbTree::Unplug(NodeId node) {
    std::vector<NodeId> gone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (NodeId n : Subtree(node))
            if (Present(n)) gone.push_back(n);
        nodes_[static_cast<std::size_t>(node)].plugged = false;
    }
    std::reverse(gone.begin(), gone.end());
    Broadcast(gone, false);
}

void UsbTree::Plug(NodeId node) {
    std::vector<NodeId> back;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        nodes_[static_cast<std::size_t>(node)].plugged = true;
        for (NodeId n : Subtree(node))
            if (Present(n)) back.push_back(n);
    }
    Broadcast(back, true);
}

// Sends each interface's broadcast to every window registered for its
// class, one at a time, waiting for the window to take it (the system's
// broadcasts are sent messages too). The payload lives until the send
// returns.
void UsbTree::Broadcast(const std::vector<NodeId>& nodes, bool arrival) {
    struct Send {
        HWND window;
        std::string class_text;
        std::string name;
    };
    std::vector<Send> sends;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (NodeId n : nodes)
            for (const Interface& i : Get(n).interfaces)
                for (const auto& [handle, r] : registrations_)
                    if (SameText(r->class_text, i.class_text)) sends.push_back({r->window, i.class_text, i.name});
    }
    for (const Send& s : sends) {
        std::vector<char> payload(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + s.name.size() + 1, '\0');
        auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(payload.data());
        b->dbcc_size = static_cast<DWORD>(payload.size());
        b->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        std::string guid = s.class_text.substr(1, s.class_text.size() - 2);
        ::UuidFromStringA(reinterpret_cast<RPC_CSTR>(guid.data()), &b->dbcc_classguid);
        std::memcpy(b->dbcc_name, s.name.c_str(), s.name.size() + 1);
        DWORD_PTR result = 0;
        ::SendMessageTimeoutA(s.window, WM_DEVICECHANGE, arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                              reinterpret_cast<LPARAM>(b), SMTO_BLOCK, 10000, &result);
    }
}

void UsbTree::BroadcastUnknown(const std::string& name, bool arrival) {
    Node n;
    n.interfaces.push_back({kRigClassComPort, name});
    {
        std::lock_guard<std::mutex> lock(mutex_);
        nodes_.push_back(n);  // a node outside the tree: never present
    }
    Broadcast({static_cast<NodeId>(nodes_.size() - 1)}, arrival);
}

std::string UsbTree::InstanceId(NodeId node) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return Get(node).instance_id;
}

std::string UsbTree::DeviceName(NodeId node, const char* class_text) const {
    return RigSymbolicName(InstanceId(node), class_text);
}

std::string UsbTree::InterfaceName(NodeId phone, int function, const char* class_text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Node& p = Get(phone);
    if (function < 0 || function >= static_cast<int>(p.children.size())) throw std::out_of_range("no such function");
    return RigSymbolicName(Get(p.children[static_cast<std::size_t>(function)]).instance_id, class_text);
}

void UsbTree::FailHubRequests(NodeId hub, bool fail) {
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_[static_cast<std::size_t>(hub)].fail_requests = fail;
}

void UsbTree::RemoveDriver(NodeId device) {
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_[static_cast<std::size_t>(device)].driver_key.clear();
}

void UsbTree::SetPendingHubRequests(int delay_ms, bool fail_descriptors) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_delay_ms_ = delay_ms;
    pending_fail_descriptors_ = fail_descriptors;
}

void UsbTree::RemovePortName(NodeId phone, int function) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Node& p = Get(phone);
    NodeId node = p.kind == Kind::kDevice && !p.children.empty() ? p.children[static_cast<std::size_t>(function)] : phone;
    nodes_[static_cast<std::size_t>(node)].port_name = false;
}

void UsbTree::WhenListed(const char* class_text, std::function<void()> action) {
    std::lock_guard<std::mutex> lock(mutex_);
    when_listed_[class_text] = std::move(action);
}

std::vector<std::string> UsbTree::Controllers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> ids;
    for (const Node& n : nodes_) {
        if (n.kind != Kind::kController) continue;
        std::string id = n.instance_id;
        for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        ids.push_back(id);
    }
    return ids;
}

std::vector<std::string> UsbTree::ComPorts(NodeId node) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> ports;
    for (NodeId n : Subtree(node)) {
        bool plugged = true;
        for (NodeId up = n; up != node; up = Get(up).parent) plugged = plugged && Get(up).plugged;
        if (plugged && !Get(n).com_port.empty()) ports.push_back(Get(n).com_port);
    }
    return ports;
}

int UsbTree::OpenHubHandles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(hub_handles_.size());
}

int UsbTree::Registrations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(registrations_.size());
}

int UsbTree::FailedCloses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_closes_;
}

int UsbTree::AbandonedHubRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return abandoned_requests_;
}

int UsbTree::PendingHubRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_answered_;
}

}  // namespace eklv::test
