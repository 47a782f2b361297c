// What a kernel uevent's properties tell of its device, written as the
// device's sysfs files and links would read.
//
// Under software emulation each sysfs read costs a quarter of a
// millisecond, and naming a new phone used to read again what its "add"
// had just said: the ids, class and address of a USB device (PRODUCT,
// TYPE, DEVNUM), the number of an interface (MODALIAS), the subsystem
// link, the link by name in /sys/bus/usb/devices; then a driver's "bind"
// made the arrival read the driver link again. The kernel fills these
// properties from the same fields its attributes show and creates the
// files and links before it sends the "add", so the device monitor hands
// them to the sysfs cache as if read (SysfsCache::Learn). Only what the
// kernel's formats make certain is written; a property that is missing or
// does not parse leaves its file to be read.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace eklv::pf::lx {

struct UeventFacts {
    std::string folder;                                      // the device's; empty: no facts
    std::vector<std::pair<std::string, std::string>> files;  // path, content (with its newline)
    std::vector<std::pair<std::string, std::string>> links;  // path, link text
};

// property answers a uevent property's value, or null when there is none.
// Facts only for an "add" of a usb or tty device below /sys/devices, and
// the driver link a usb device's "bind" tells (DRIVER).
using UeventProperty = const char* (*)(void* context, const char* key);
UeventFacts FactsOfUevent(const char* action, const char* syspath, UeventProperty property, void* context);

}  // namespace eklv::pf::lx
