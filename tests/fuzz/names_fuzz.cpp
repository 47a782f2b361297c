// Symbolic names, instance ids, sysfs attribute texts and uevent property
// values of any bytes: the parsers answer, and what they split joins back
// to what they were given.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/linux/udev_names.h"
#include "platform/linux/uevent_facts.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace eklv::pf::lx;
    std::string text(reinterpret_cast<const char*>(data), size);
    UsbName usb;
    if (ParseUsbName(text, &usb)) {
        if (usb.ports.size() > 7 || (!usb.root_hub && usb.ports.empty())) __builtin_trap();
        PortOnHub(usb);
        IsChildDevice(usb, usb);
        IsInterfaceOf(usb, usb);
    }
    InstanceIdParts parts;
    SplitInstanceId(text, &parts);
    std::string id, cls;
    if (ParseSymbolicName(text, &id, &cls)) {
        std::string again = SymbolicNameFromInstanceId(id, cls);
        std::string id2, cls2;
        if (!ParseSymbolicName(again, &id2, &cls2) || id2 != id || cls2 != cls) __builtin_trap();
    }
    std::uint32_t value;
    ParseHexAttribute(text, 0xFFFF, &value);
    ParseDecimalAttribute(text, 127, &value);
    // The text as every property of a USB device's and an interface's "add".
    for (const char* devtype : {"usb_device", "usb_interface"}) {
        const char* context[2] = {devtype, text.c_str()};
        auto property = [](void* c, const char* key) -> const char* {
            auto* values = static_cast<const char**>(c);
            return std::string(key) == "SUBSYSTEM" ? "usb" : std::string(key) == "DEVTYPE" ? values[0] : values[1];
        };
        FactsOfUevent("add", "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1", property, context);
    }
    return 0;
}
