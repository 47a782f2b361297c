// What a rig's USB device is, apart from the OS that shows it: its
// functions (interfaces), strings and raw descriptors, and the symbolic
// names built from instance ids. Shared by the umockdev rig (usb_rig.h),
// which shows such devices through sysfs, and by the emulated Windows USB
// tree of the Wine rig (tests/windows_rig), which shows them through the
// Setup API and hub requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace eklv::test {

// Device-interface class texts (with braces) for the names the rigs answer.
inline constexpr const char* kRigClassUsbHub = "{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
inline constexpr const char* kRigClassUsbDevice = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
inline constexpr const char* kRigClassComPort = "{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
inline constexpr const char* kRigClassModem = "{2c7089aa-2e0e-11d1-b114-00c04fc2aae4}";

// One function of a phone.
struct RigInterface {
    std::uint8_t cls = 0xFF;
    std::uint8_t subclass = 0;
    std::uint8_t protocol = 0;
    std::string driver;  // bound driver (the kernel driver on Linux); empty: none
    std::string label;   // the interface string (iInterface); empty: none
    // The serial port of the function: its tty node below the interface on
    // Linux ("ttyACM0"), its COM port on the Windows tree ("COM5"); empty:
    // none.
    std::string tty;
    // What the function's driver calls it on Windows (its device
    // description); empty: the label.
    std::string description;
    int endpoints = 2;

    // A CDC ACM modem port with a tty.
    static RigInterface Modem(const std::string& tty, const std::string& label = "MTK USB Modem Port");
    // A vendor serial port (option driver) with a tty.
    static RigInterface Serial(const std::string& tty, const std::string& label);
    static RigInterface Mtp(const std::string& label = "MTP");
    static RigInterface Data(const std::string& label = "Data Interface");
};

struct RigStrings {
    std::string manufacturer = "Norvanta";
    std::string product = "Norvanta Phone";
    std::string serial = "0123456789ABCDEF";
    std::string configuration = "Default Configuration";
};

// The raw descriptors of a device: device descriptor then one
// configuration with an interface (and its endpoints) per entry. String
// indexes: 1 manufacturer, 2 product, 3 serial, 4 configuration, 5 + n the
// label of interface n (0 where a text is empty).
std::vector<std::uint8_t> BuildDescriptors(std::uint16_t vid, std::uint16_t pid, std::uint8_t device_class,
                                           const std::vector<RigInterface>& interfaces, const RigStrings& strings);
// The text of string index of such a device; false for an index it has no
// text for.
bool RigStringText(const RigStrings& strings, const std::vector<RigInterface>& interfaces, int index,
                   std::string* text);

// "\\?\" + the instance id with backslashes as '#' + "#" + the class text.
std::string RigSymbolicName(const std::string& instance_id, const char* class_text);

}  // namespace eklv::test
