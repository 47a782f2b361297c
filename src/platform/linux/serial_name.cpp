// Port names to tty paths: "\\.\<name>" is the node of the tty <name>; a USB serial
// interface's symbolic name is found in the device tree through libudev.
#include <libudev.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "platform/linux/serial_port.h"
#include "platform/linux/udev_tree.h"

namespace eklv::pf::lx {
namespace {

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool EqualNoCase(const std::string& a, const char* b) {
    std::string lower(a);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower == b;
}

// The tty under the USB interface or single-interface device of the parts.
std::string FindTty(const UsbNameParts& parts) {
    std::lock_guard<std::recursive_mutex> lock(DeviceTreeMutex());
    udev* u = udev_new();
    if (u == nullptr) return {};
    std::string found;
    udev_enumerate* e = udev_enumerate_new(u);
    if (e != nullptr) {
        udev_enumerate_add_match_subsystem(e, "tty");
        udev_enumerate_scan_devices(e);
        udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
            if (!found.empty()) break;
            udev_device* tty = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
            if (tty == nullptr) continue;
            udev_device* owner = udev_device_get_parent_with_subsystem_devtype(
                tty, "usb", parts.interface ? "usb_interface" : "usb_device");
            const char* name = owner ? udev_device_get_sysname(owner) : nullptr;
            if (name != nullptr && EqualNoCase(name, parts.sysname.c_str())) {
                const char* node = udev_device_get_devnode(tty);
                found = node ? node : std::string("/dev/") + udev_device_get_sysname(tty);
            }
            udev_device_unref(tty);  // owner belongs to tty
        }
        udev_enumerate_unref(e);
    }
    udev_unref(u);
    return found;
}

// The device node of the tty called sysname ("ttyACM0"), as the device
// tree names it; empty when the tree has no such tty.
std::string FindTtyBySysname(const std::string& sysname) {
    std::lock_guard<std::recursive_mutex> lock(DeviceTreeMutex());
    udev* u = udev_new();
    if (u == nullptr) return {};
    std::string found;
    if (udev_enumerate* e = udev_enumerate_new(u)) {
        udev_enumerate_add_match_subsystem(e, "tty");
        udev_enumerate_add_match_sysname(e, sysname.c_str());
        udev_enumerate_scan_devices(e);
        udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
            udev_device* tty = udev_device_new_from_syspath(u, udev_list_entry_get_name(entry));
            if (tty == nullptr) continue;
            const char* node = udev_device_get_devnode(tty);
            if (found.empty() && node != nullptr) found = node;
            udev_device_unref(tty);
        }
        udev_enumerate_unref(e);
    }
    udev_unref(u);
    return found;
}

}  // namespace

bool ParseUsbSymbolicName(const std::string& name, UsbNameParts* parts) {
    if (!StartsWith(name, "\\\\?\\") && !StartsWith(name, "\\??\\")) return false;
    std::vector<std::string> fields;
    std::string::size_type start = 4;
    for (;;) {
        auto hash = name.find('#', start);
        fields.push_back(name.substr(start, hash == std::string::npos ? std::string::npos : hash - start));
        if (hash == std::string::npos) break;
        start = hash + 1;
    }
    if (fields.size() < 3 || !EqualNoCase(fields[0], "usb") || fields[2].empty()) return false;
    std::string ids(fields[1]);
    std::transform(ids.begin(), ids.end(), ids.begin(), [](unsigned char c) { return std::tolower(c); });
    parts->interface = ids.find("&mi_") != std::string::npos;
    std::string sysname(fields[2]);
    std::transform(sysname.begin(), sysname.end(), sysname.begin(), [](unsigned char c) { return std::tolower(c); });
    parts->sysname = sysname;
    return true;
}

std::string ResolveSerialPath(const std::string& name) {
    if (StartsWith(name, "\\\\.\\")) {
        std::string port = name.substr(4);
        // Only names below /dev: no way up and out of it.
        if (port.empty() || port.find("..") != std::string::npos || port[0] == '/') return {};
        std::replace(port.begin(), port.end(), '\\', '/');
        // A COM port name is a tty's name; its node is where the device
        // tree says (usually /dev/<name>).
        if (port.find('/') == std::string::npos) {
            std::string node = FindTtyBySysname(port);
            if (!node.empty()) return node;
        }
        return "/dev/" + port;
    }
    UsbNameParts parts;
    if (ParseUsbSymbolicName(name, &parts)) return FindTty(parts);
    if (StartsWith(name, "/dev/")) return name;
    return {};
}

}  // namespace eklv::pf::lx
