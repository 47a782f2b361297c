// Symbolic names, instance ids and sysfs attribute texts of any bytes: the
// parsers answer, and what they split joins back to what they were given.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/linux/udev_names.h"

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
    return 0;
}
