// Enumeration of the present device interfaces of a class, as the
// start-up scan and the device-id manager take them.
#pragma once

#include <string>
#include <vector>

#include "platform/module.h"

namespace eklv {

// The symbolic names of the present interfaces of the class, in
// enumeration order. With filter set, names that are not supported phones
// (vendor, product and MTK filters) are left out. An enumeration that
// cannot start gives an empty list; one that fails part-way keeps what it
// had. Clears the last error at the end.
std::vector<std::string> EnumDeviceInterfaces(const pf::Guid& interface_class, bool filter);

}  // namespace eklv
