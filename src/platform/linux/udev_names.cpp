#include "platform/linux/udev_names.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace eklv::pf::lx {
namespace {

// Reads a decimal number of 1..max_digits digits at pos; advances pos.
bool ReadNumber(std::string_view text, std::size_t* pos, int max_digits, int* out) {
    std::size_t start = *pos;
    int value = 0;
    while (*pos < text.size() && std::isdigit(static_cast<unsigned char>(text[*pos]))) {
        if (static_cast<int>(*pos - start) == max_digits) return false;
        value = value * 10 + (text[*pos] - '0');
        ++*pos;
    }
    if (*pos == start) return false;
    *out = value;
    return true;
}

constexpr std::size_t kMaxPortLevels = 7;

}  // namespace

bool ParseUsbName(std::string_view name, UsbName* out) {
    UsbName result;
    std::size_t pos = 0;
    if (name.substr(0, 3) == "usb") {
        pos = 3;
        if (!ReadNumber(name, &pos, 4, &result.bus) || pos != name.size()) return false;
        result.root_hub = true;
        *out = std::move(result);
        return true;
    }
    if (!ReadNumber(name, &pos, 4, &result.bus)) return false;
    if (pos >= name.size() || name[pos] != '-') return false;
    ++pos;
    int port = 0;
    if (!ReadNumber(name, &pos, 3, &port)) return false;
    if (port == 0) {
        // "N-0:c.i" is the root hub's own interface; "N-0" alone is nothing.
        if (pos >= name.size() || name[pos] != ':') return false;
        result.root_hub = true;
    } else {
        result.ports.push_back(port);
        while (pos < name.size() && name[pos] == '.') {
            ++pos;
            if (!ReadNumber(name, &pos, 3, &port) || port == 0) return false;
            result.ports.push_back(port);
            if (result.ports.size() > kMaxPortLevels) return false;
        }
    }
    if (pos < name.size()) {
        if (name[pos] != ':') return false;
        ++pos;
        if (!ReadNumber(name, &pos, 3, &result.config)) return false;
        if (pos >= name.size() || name[pos] != '.') return false;
        ++pos;
        if (!ReadNumber(name, &pos, 3, &result.interface)) return false;
        if (pos != name.size()) return false;
    }
    *out = std::move(result);
    return true;
}

bool UsbNameLess(const UsbName& a, const UsbName& b) {
    if (a.bus != b.bus) return a.bus < b.bus;
    if (a.ports != b.ports) return std::lexicographical_compare(a.ports.begin(), a.ports.end(), b.ports.begin(),
                                                                b.ports.end());
    if (a.config != b.config) return a.config < b.config;
    return a.interface < b.interface;
}

int PortOnHub(const UsbName& name) { return name.ports.empty() ? 0 : name.ports.back(); }

bool IsChildDevice(const UsbName& parent, const UsbName& child) {
    if (parent.IsInterface() || child.IsInterface() || child.root_hub || parent.bus != child.bus) return false;
    if (child.ports.size() != parent.ports.size() + 1) return false;
    return std::equal(parent.ports.begin(), parent.ports.end(), child.ports.begin());
}

bool IsInterfaceOf(const UsbName& device, const UsbName& iface) {
    return !device.IsInterface() && iface.IsInterface() && device.bus == iface.bus &&
           device.root_hub == iface.root_hub && device.ports == iface.ports;
}

std::string ControllerInstanceId(std::string_view sysname) { return "pci\\" + ToLower(sysname); }

std::string DeviceInstanceId(std::uint16_t vid, std::uint16_t pid, std::string_view sysname) {
    char head[32];
    std::snprintf(head, sizeof head, "usb\\vid_%04x&pid_%04x\\", vid, pid);
    return head + ToLower(sysname);
}

std::string InterfaceInstanceId(std::uint16_t vid, std::uint16_t pid, int interface, std::string_view sysname) {
    char head[40];
    std::snprintf(head, sizeof head, "usb\\vid_%04x&pid_%04x&mi_%02x\\", vid, pid, interface & 0xFF);
    return head + ToLower(sysname);
}

bool SplitInstanceId(std::string_view id, InstanceIdParts* out) {
    std::size_t first = id.find('\\');
    std::size_t last = id.rfind('\\');
    if (first == std::string_view::npos || first == last || last + 1 >= id.size() || first == 0) return false;
    out->enumerator = ToLower(id.substr(0, first));
    out->instance = ToLower(id.substr(last + 1));
    return true;
}

std::string SymbolicNameFromInstanceId(std::string_view id, std::string_view class_text) {
    std::string name = "\\\\?\\";
    name.reserve(id.size() + class_text.size() + 8);
    for (char c : id) name += (c == '\\') ? '#' : c;
    name += "#{";
    name += class_text;
    name += '}';
    return name;
}

bool ParseSymbolicName(std::string_view name, std::string* instance_id, std::string* class_text) {
    if (name.substr(0, 4) != "\\\\?\\") return false;
    std::size_t tail = name.rfind("#{");
    if (tail == std::string_view::npos || tail < 4 || name.back() != '}') return false;
    std::string id(name.substr(4, tail - 4));
    std::replace(id.begin(), id.end(), '#', '\\');
    *instance_id = std::move(id);
    *class_text = std::string(name.substr(tail + 2, name.size() - tail - 3));
    return true;
}

bool ParseHexAttribute(std::string_view text, std::uint32_t max, std::uint32_t* out) {
    std::size_t pos = 0;
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    if (text.substr(pos, 2) == "0x" || text.substr(pos, 2) == "0X") pos += 2;
    std::uint64_t value = 0;
    std::size_t start = pos;
    while (pos < text.size() && std::isxdigit(static_cast<unsigned char>(text[pos]))) {
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[pos])));
        value = value * 16 + static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        if (value > max) return false;
        ++pos;
    }
    if (pos == start) return false;
    *out = static_cast<std::uint32_t>(value);
    return true;
}

bool ParseDecimalAttribute(std::string_view text, std::uint32_t max, std::uint32_t* out) {
    std::size_t pos = 0;
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    std::uint64_t value = 0;
    std::size_t start = pos;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
        value = value * 10 + static_cast<std::uint64_t>(text[pos] - '0');
        if (value > max) return false;
        ++pos;
    }
    if (pos == start) return false;
    *out = static_cast<std::uint32_t>(value);
    return true;
}

namespace {

// ASCII only and inline: names are compared many times per arrival.
constexpr char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string ToLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = AsciiLower(c);
    return lower;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

}  // namespace eklv::pf::lx
