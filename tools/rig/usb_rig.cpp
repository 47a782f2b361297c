#include "rig/usb_rig.h"

#include <pty.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <regex>
#include <stdexcept>

namespace eklv::test {

struct UsbRig::Record {
    Kind kind = Kind::kController;
    NodeId parent = -1;
    int port = 0;
    int bus = 0;
    int ports = 0;
    std::uint16_t vid = 0;
    std::uint16_t pid = 0;
    std::string sysname;
    std::string syspath;  // "/sys/devices/..."
    std::vector<RigInterface> interfaces;
    std::vector<std::string> texts;    // umockdev records, created in this order
    std::vector<std::string> replug;   // the same without "N:" lines (a tty keeps its pty)
    std::vector<std::string> created;  // their syspaths
    std::vector<std::uint8_t> descriptors;
    std::vector<NodeId> children;
    bool plugged = true;
};

namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char digits[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        text += digits;
    }
    return text;
}

std::string Hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

std::string Hex2(int value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02x", value & 0xFF);
    return text;
}

// umockdev's record format wants the path below /sys.
std::string RecordPath(const std::string& syspath) { return syspath.substr(4); }

void AppendOption(const char* variable, const std::string& option) {
    const char* old = std::getenv(variable);
    std::string value = old != nullptr && *old != '\0' ? std::string(old) + ":" + option : option;
    setenv(variable, value.c_str(), 1);
}

}  // namespace

void RunUnderUmockdev(int argc, char** argv) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr) return;
    if (std::getenv("EKLV_UMOCKDEV_REEXEC") != nullptr) {
        std::fprintf(stderr, "umockdev preload library still missing after re-running under umockdev-wrapper\n");
        std::exit(1);
    }
    setenv("EKLV_UMOCKDEV_REEXEC", "1", 1);
    // AddressSanitizer insists on coming first in the library list, but the
    // wrapper preloads umockdev; GLib and umockdev keep one-time
    // allocations that LeakSanitizer must not count as ours.
    AppendOption("ASAN_OPTIONS", "verify_asan_link_order=0");
    AppendOption("LSAN_OPTIONS", std::string("suppressions=") + EKLV_LSAN_SUPPRESSIONS);
    AppendOption("TSAN_OPTIONS", std::string("suppressions=") + EKLV_TSAN_SUPPRESSIONS);
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        std::perror("readlink /proc/self/exe");
        std::exit(1);
    }
    self[n] = '\0';
    std::vector<char*> args;
    args.push_back(const_cast<char*>("umockdev-wrapper"));
    args.push_back(self);
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp("umockdev-wrapper", args.data());
    std::perror("execvp umockdev-wrapper");
    std::exit(127);
}

UsbRig::UsbRig() {
    testbed_ = umockdev_testbed_new();
    if (testbed_ == nullptr || !umockdev_in_mock_environment())
        throw std::runtime_error("UsbRig needs the umockdev preload library (run under umockdev-wrapper)");
}

UsbRig::~UsbRig() {
    for (auto& [name, pty] : ptys_) {
        close(pty.master);
        close(pty.slave);
    }
    for (Record* r : records_) delete r;
    if (testbed_ != nullptr) g_object_unref(testbed_);
}

const UsbRig::Record& UsbRig::Get(NodeId node) const {
    if (node < 0 || node >= static_cast<NodeId>(records_.size())) throw std::out_of_range("no such rig node");
    return *records_[static_cast<std::size_t>(node)];
}

void UsbRig::Create(const Record& record, bool again) {
    for (const std::string& text : again ? record.replug : record.texts) {
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(testbed_, text.c_str(), &error)) {
            std::string message = error != nullptr ? error->message : "unknown error";
            if (error != nullptr) g_error_free(error);
            throw std::runtime_error("umockdev rejected a rig node: " + message);
        }
    }
}

UsbRig::NodeId UsbRig::AddNode(Record record) {
    auto* stored = new Record(std::move(record));
    NodeId id = static_cast<NodeId>(records_.size());
    records_.push_back(stored);
    if (stored->parent >= 0) records_[static_cast<std::size_t>(stored->parent)]->children.push_back(id);
    for (const std::string& text : stored->texts) {
        std::string kept;
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t end = text.find('\n', pos);
            std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos + 1);
            if (line.compare(0, 3, "N: ") != 0) kept += line;
            pos = end == std::string::npos ? text.size() : end + 1;
        }
        stored->replug.push_back(kept);
    }
    Create(*stored, false);
    return id;
}

UsbRig::NodeId UsbRig::AddPciController(const std::string& pci_name) {
    Record r;
    r.kind = Kind::kController;
    r.sysname = pci_name;
    r.syspath = "/sys/devices/pci0000:00/" + pci_name;
    r.texts.push_back("P: " + RecordPath(r.syspath) +
                      "\nE: SUBSYSTEM=pci\nE: DRIVER=xhci_hcd\nA: vendor=0x8086\nA: device=0xa36d\n"
                      "A: class=0x0c0330\nL: driver=../../../bus/pci/drivers/xhci_hcd\n");
    r.created.push_back(r.syspath);
    return AddNode(std::move(r));
}

UsbRig::NodeId UsbRig::AddRootHub(NodeId controller, int bus, int ports) {
    RigStrings strings;
    strings.manufacturer = "Linux xhci-hcd";
    strings.product = "xHCI Host Controller";
    strings.serial = Get(controller).sysname;
    strings.configuration.clear();
    // A root hub has no port; its bus number takes that argument's place.
    return AddDevice(Kind::kRootHub, controller, bus, 0x1d6b, 0x0002, ports, {}, strings);
}

UsbRig::NodeId UsbRig::AddHub(NodeId parent, int port, int ports, std::uint16_t vid, std::uint16_t pid) {
    RigStrings strings;
    strings.manufacturer.clear();
    strings.product = "USB2.0 Hub";
    strings.serial.clear();
    strings.configuration.clear();
    return AddDevice(Kind::kHub, parent, port, vid, pid, ports, {}, strings);
}

UsbRig::NodeId UsbRig::AddCompositePhone(NodeId hub, int port, std::uint16_t vid, std::uint16_t pid,
                                         const std::vector<RigInterface>& interfaces, const RigStrings& strings) {
    return AddDevice(Kind::kPhone, hub, port, vid, pid, 0, interfaces, strings);
}

UsbRig::NodeId UsbRig::AddSinglePhone(NodeId hub, int port, std::uint16_t vid, std::uint16_t pid,
                                      const RigInterface& interface, const RigStrings& strings) {
    return AddDevice(Kind::kPhone, hub, port, vid, pid, 0, {interface}, strings);
}

UsbRig::NodeId UsbRig::AddPhoneBank(NodeId parent, int port, int hubs, int per_hub, int first_tty) {
    const NodeId top = AddHub(parent, port, hubs);
    for (int h = 1; h <= hubs; ++h) {
        const NodeId hub = AddHub(top, h, per_hub);
        for (int p = 1; p <= per_hub; ++p)
            AddCompositePhone(hub, p, 0x6b4d, 0x2001,
                              {RigInterface::Modem("ttyACM" + std::to_string(first_tty++)), RigInterface::Mtp()});
    }
    return top;
}

UsbRig::NodeId UsbRig::AddDevice(Kind kind, NodeId parent, int port, std::uint16_t vid, std::uint16_t pid,
                                 int ports, const std::vector<RigInterface>& given, const RigStrings& strings) {
    const Record& up = Get(parent);
    Record r;
    r.kind = kind;
    r.parent = parent;
    r.port = port;
    r.ports = ports;
    r.vid = vid;
    r.pid = pid;
    bool hub = kind == Kind::kRootHub || kind == Kind::kHub;
    r.interfaces = given;
    if (hub) {
        RigInterface i;
        i.cls = 9;
        i.driver = "hub";
        i.endpoints = 1;
        r.interfaces = {i};
    }
    int devnum = 1;
    if (kind == Kind::kRootHub) {
        r.port = 0;
        r.bus = port;
        r.sysname = "usb" + std::to_string(r.bus);
    } else {
        r.bus = up.bus;
        r.sysname = up.kind == Kind::kRootHub ? std::to_string(up.bus) + "-" + std::to_string(port)
                                              : up.sysname + "." + std::to_string(port);
        for (Record* other : records_) devnum += other->bus == r.bus ? 1 : 0;
    }
    r.syspath = up.syspath + "/" + r.sysname;
    r.descriptors = BuildDescriptors(vid, pid, hub ? 9 : 0, r.interfaces, strings);
    std::string devpath = kind == Kind::kRootHub ? "0" : r.sysname.substr(r.sysname.find('-') + 1);

    // The properties the kernel gives a USB device's uevents, in its formats.
    char properties[160];
    std::snprintf(properties, sizeof properties, "E: PRODUCT=%x/%x/100\nE: TYPE=%d/0/0\nE: BUSNUM=%03d\nE: DEVNUM=%03d\n",
                  vid, pid, hub ? 9 : 0, r.bus, devnum);
    std::string text = "P: " + RecordPath(r.syspath) + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" + properties;
    text += "A: idVendor=" + Hex4(vid) + "\nA: idProduct=" + Hex4(pid) + "\nA: bcdDevice=0100\n";
    text += "A: bDeviceClass=" + Hex2(hub ? 9 : 0) + "\nA: bDeviceSubClass=00\nA: bDeviceProtocol=00\n";
    text += "A: bMaxPacketSize0=64\nA: bNumConfigurations=1\nA: bConfigurationValue=1\n";
    text += "A: bNumInterfaces= " + std::to_string(r.interfaces.size()) + "\n";
    text += "A: busnum=" + std::to_string(r.bus) + "\nA: devnum=" + std::to_string(devnum) + "\n";
    text += "A: devpath=" + devpath + "\nA: maxchild=" + std::to_string(hub ? ports : 0) + "\n";
    text += "A: speed=480\nA: version= 2.00\n";
    if (!strings.manufacturer.empty()) text += "A: manufacturer=" + strings.manufacturer + "\n";
    if (!strings.product.empty()) text += "A: product=" + strings.product + "\n";
    if (!strings.serial.empty()) text += "A: serial=" + strings.serial + "\n";
    if (!strings.configuration.empty()) text += "A: configuration=" + strings.configuration + "\n";
    text += "H: descriptors=" + Hex(r.descriptors) + "\nL: driver=../../../../bus/usb/drivers/usb\n";
    r.texts.push_back(text);
    r.created.push_back(r.syspath);

    std::string if_prefix = kind == Kind::kRootHub ? std::to_string(r.bus) + "-0" : r.sysname;
    for (std::size_t i = 0; i < r.interfaces.size(); ++i) {
        const RigInterface& f = r.interfaces[i];
        std::string path = r.syspath + "/" + if_prefix + ":1." + std::to_string(i);
        std::snprintf(properties, sizeof properties,
                      "E: INTERFACE=%d/%d/%d\nE: MODALIAS=usb:v%04Xp%04Xd0100dc%02Xdsc00dp00ic%02Xisc%02Xip%02Xin%02X\n",
                      f.cls, f.subclass, f.protocol, vid, pid, hub ? 9 : 0, f.cls, f.subclass, f.protocol,
                      static_cast<int>(i));
        std::string t = "P: " + RecordPath(path) + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n" + properties;
        t += "A: bInterfaceNumber=" + Hex2(static_cast<int>(i)) + "\nA: bAlternateSetting= 0\n";
        t += "A: bInterfaceClass=" + Hex2(f.cls) + "\nA: bInterfaceSubClass=" + Hex2(f.subclass) +
             "\nA: bInterfaceProtocol=" + Hex2(f.protocol) + "\nA: bNumEndpoints=" + Hex2(f.endpoints) + "\n";
        if (!f.label.empty()) t += "A: interface=" + f.label + "\n";
        if (!f.driver.empty()) t += "L: driver=../../../../../bus/usb/drivers/" + f.driver + "\n";
        r.texts.push_back(t);
        r.created.push_back(path);
        if (!f.tty.empty()) {
            std::string tty_path = path + "/tty/" + f.tty;
            // The tty is a real pty of the rig's own, not a umockdev node:
            // umockdev's emulated nodes refuse the terminal ioctls that a
            // serial port needs. DEVNAME names the pty's slave.
            r.texts.push_back("P: " + RecordPath(tty_path) + "\nE: SUBSYSTEM=tty\nE: DEVNAME=" + PtyFor(f.tty) + "\n");
            r.created.push_back(tty_path);
        }
    }
    return AddNode(std::move(r));
}

std::string UsbRig::RecordText() const {
    static const std::regex kPty("E: DEVNAME=[^\n]*\n");
    std::string all;
    for (const Record* r : records_) {
        if (!r->plugged) continue;
        for (std::size_t i = 0; i < r->texts.size(); ++i) {
            std::string text = r->texts[i];
            const std::string& path = r->created[i];
            if (path.find("/tty/") != std::string::npos) {
                std::string tty = path.substr(path.rfind('/') + 1);
                text = std::regex_replace(text, kPty, "N: " + tty + "\nE: DEVNAME=/dev/" + tty + "\n");
            }
            all += text + (text.empty() || text.back() != '\n' ? "\n\n" : "\n");
        }
    }
    return all;
}

std::vector<UsbRig::NodeId> UsbRig::Subtree(NodeId node) const {
    std::vector<NodeId> nodes = {node};
    for (std::size_t i = 0; i < nodes.size(); ++i)
        for (NodeId child : Get(nodes[i]).children) nodes.push_back(child);
    return nodes;
}

void UsbRig::Unplug(NodeId node) {
    std::vector<NodeId> nodes = Subtree(node);
    for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
        Record& r = *records_[static_cast<std::size_t>(*it)];
        if (!r.plugged) continue;
        for (auto path = r.created.rbegin(); path != r.created.rend(); ++path) {
            umockdev_testbed_uevent(testbed_, path->c_str(), "remove");
            umockdev_testbed_remove_device(testbed_, path->c_str());
        }
        r.plugged = false;
    }
}

void UsbRig::Plug(NodeId node) {
    for (NodeId id : Subtree(node)) {
        Record& r = *records_[static_cast<std::size_t>(id)];
        if (r.plugged) continue;
        Create(r, true);
        r.plugged = true;
    }
}

bool UsbRig::IsPlugged(NodeId node) const { return Get(node).plugged; }

std::string UsbRig::Sysname(NodeId node) const { return Get(node).sysname; }
std::string UsbRig::Syspath(NodeId node) const { return Get(node).syspath; }
int UsbRig::Port(NodeId node) const { return Get(node).port; }

std::string UsbRig::InstanceId(NodeId node) const {
    const Record& r = Get(node);
    if (r.kind == Kind::kController) return "pci\\" + r.sysname;
    return "usb\\vid_" + Hex4(r.vid) + "&pid_" + Hex4(r.pid) + "\\" + r.sysname;
}

std::string UsbRig::InterfaceInstanceId(NodeId phone, int interface) const {
    const Record& r = Get(phone);
    return "usb\\vid_" + Hex4(r.vid) + "&pid_" + Hex4(r.pid) + "&mi_" + Hex2(interface) + "\\" + r.sysname + ":1." +
           std::to_string(interface);
}

std::string UsbRig::DeviceName(NodeId node, const char* class_text) const {
    return RigSymbolicName(InstanceId(node), class_text);
}

std::string UsbRig::InterfaceName(NodeId phone, int interface, const char* class_text) const {
    return RigSymbolicName(InterfaceInstanceId(phone, interface), class_text);
}

void UsbRig::SetAttribute(NodeId node, const std::string& name, const std::string& value) {
    umockdev_testbed_set_attribute(testbed_, Get(node).syspath.c_str(), name.c_str(), value.c_str());
}

void UsbRig::SetInterfaceAttribute(NodeId phone, int interface, const std::string& name, const std::string& value) {
    const Record& r = Get(phone);
    std::string path = r.syspath + "/" + r.sysname + ":1." + std::to_string(interface);
    umockdev_testbed_set_attribute(testbed_, path.c_str(), name.c_str(), value.c_str());
}

void UsbRig::ChangeInterfaceAttribute(NodeId phone, int interface, const std::string& name,
                                      const std::string& value) {
    SetInterfaceAttribute(phone, interface, name, value);
    const Record& r = Get(phone);
    std::string path = r.syspath + "/" + r.sysname + ":1." + std::to_string(interface);
    umockdev_testbed_uevent(testbed_, path.c_str(), "change");
}

void UsbRig::SetBinaryAttribute(NodeId node, const std::string& name, const std::vector<std::uint8_t>& value) {
    std::vector<std::uint8_t> copy = value;
    umockdev_testbed_set_attribute_binary(testbed_, Get(node).syspath.c_str(), name.c_str(), copy.data(),
                                          static_cast<gint>(copy.size()));
}

void UsbRig::RemoveAttribute(NodeId node, const std::string& name) {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    std::string file = std::string(root) + Get(node).syspath + "/" + name;
    g_free(root);
    unlink(file.c_str());
}

std::string UsbRig::PtyFor(const std::string& tty) {
    auto it = ptys_.find(tty);
    if (it != ptys_.end()) return it->second.path;
    Pty pty;
    char name[128];
    if (openpty(&pty.master, &pty.slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("UsbRig: openpty failed for " + tty);
    // Raw, so that the modem emulator sees the bytes as the library sent them.
    termios raw;
    tcgetattr(pty.slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(pty.slave, TCSANOW, &raw);
    pty.path = name;
    ptys_.emplace(tty, pty);
    return pty.path;
}

int UsbRig::TtyFd(const std::string& tty) const {
    auto it = ptys_.find(tty);
    return it == ptys_.end() ? -1 : it->second.master;
}

std::vector<std::uint8_t> UsbRig::Descriptors(NodeId node) const { return Get(node).descriptors; }

}  // namespace eklv::test
