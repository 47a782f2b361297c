#include "platform/linux/uevent_facts.h"

#include <cstring>
#include <string_view>

namespace eklv::pf::lx {
namespace {

// Up to count numbers separated by '/', in base (10 or 16), each at most
// max; false unless the text is exactly that.
bool ParseNumbers(const char* text, int base, unsigned max, unsigned* out, int count) {
    if (text == nullptr) return false;
    for (int i = 0; i < count; ++i) {
        unsigned value = 0;
        int digits = 0;
        for (;; ++text, ++digits) {
            const char c = *text;
            int digit = c >= '0' && c <= '9'                 ? c - '0'
                        : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                             : -1;
            if (digit < 0) break;
            value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
            if (value > max || digits > 8) return false;
        }
        if (digits == 0) return false;
        out[i] = value;
        if (*text != (i + 1 < count ? '/' : '\0')) return false;
        ++text;
    }
    return true;
}

// value in lower-case hex, at least digits wide, and a newline.
std::string Hex(unsigned value, int digits) {
    char text[12];
    char* const end = text + sizeof text;
    char* p = end;
    *--p = '\n';
    int written = 0;
    do {
        *--p = "0123456789abcdef"[value & 0xF];
        value >>= 4;
        ++written;
    } while (value != 0 || written < digits);
    return std::string(p, end);
}

std::string Decimal(unsigned value) { return std::to_string(value) + "\n"; }

// "../" once per component of the device path: from the device's folder
// up to /sys.
std::string UpToSys(std::string_view devpath) {
    std::string up;
    for (char c : devpath)
        if (c == '/') up += "../";
    return up;
}

}  // namespace

UeventFacts FactsOfUevent(const char* action, const char* syspath, UeventProperty property, void* context) {
    UeventFacts facts;
    if (action == nullptr || syspath == nullptr) return facts;
    const bool add = std::strcmp(action, "add") == 0;
    if (!add && std::strcmp(action, "bind") != 0) return facts;
    const std::string_view path(syspath);
    if (path.substr(0, 13) != "/sys/devices/" || path.back() == '/') return facts;
    const char* subsystem_value = property(context, "SUBSYSTEM");
    const std::string_view subsystem = subsystem_value != nullptr ? subsystem_value : "";
    const std::string_view devpath = path.substr(4);  // "/devices/..."
    const std::string_view name = path.substr(path.rfind('/') + 1);
    if (subsystem != "tty" && subsystem != "usb") return facts;
    if (!add) {
        // A driver's "bind" comes once its driver link is in place.
        const char* driver = property(context, "DRIVER");
        if (subsystem != "usb" || driver == nullptr || *driver == '\0' || std::strchr(driver, '/') != nullptr)
            return facts;
        facts.folder = path;
        facts.links.emplace_back(facts.folder + "/driver", UpToSys(devpath) + "bus/usb/drivers/" + driver);
        return facts;
    }
    facts.folder = path;
    const std::string& folder = facts.folder;
    auto file = [&](const char* attribute, std::string content) {
        facts.files.emplace_back(folder + "/" + attribute, std::move(content));
    };
    if (subsystem == "tty") {
        facts.links.emplace_back(folder + "/subsystem", UpToSys(devpath) + "class/tty");
        return facts;
    }
    facts.links.emplace_back(folder + "/subsystem", UpToSys(devpath) + "bus/usb");
    facts.links.emplace_back("/sys/bus/usb/devices/" + std::string(name), "../../.." + std::string(devpath));

    const char* devtype_value = property(context, "DEVTYPE");
    const std::string_view devtype = devtype_value != nullptr ? devtype_value : "";
    unsigned n[3];
    // Only what naming a device and its arrival read; each fact kept costs
    // about as much as it saves.
    if (devtype == "usb_device") {
        // PRODUCT=%x/%x/%x (idVendor, idProduct, bcdDevice); TYPE=%d/%d/%d
        // (bDeviceClass, SubClass, Protocol); DEVNUM=%03d.
        if (ParseNumbers(property(context, "PRODUCT"), 16, 0xFFFF, n, 3)) {
            file("idVendor", Hex(n[0], 4));
            file("idProduct", Hex(n[1], 4));
        }
        if (ParseNumbers(property(context, "TYPE"), 10, 0xFF, n, 3)) file("bDeviceClass", Hex(n[0], 2));
        if (ParseNumbers(property(context, "DEVNUM"), 10, 0xFFFF, n, 1)) file("devnum", Decimal(n[0]));
    } else if (devtype == "usb_interface") {
        // The interface number ends MODALIAS ("...in%02X").
        const char* modalias = property(context, "MODALIAS");
        const std::size_t length = modalias != nullptr ? std::strlen(modalias) : 0;
        if (length >= 4 && std::strncmp(modalias + length - 4, "in", 2) == 0 &&
            ParseNumbers(modalias + length - 2, 16, 0xFF, n, 1))
            file("bInterfaceNumber", Hex(n[0], 2));
    }
    return facts;
}

}  // namespace eklv::pf::lx
