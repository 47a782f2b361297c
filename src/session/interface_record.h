// One interface of a device session: its device path, description, open
// handle, interface type and the identifying bytes of its USB interface
// descriptor. Sessions keep records by value and hand out copies.
#pragma once

#include <cstdint>
#include <string>

#include "notify/interface_types.h"
#include "platform/handle.h"

namespace eklv {

class InterfaceRecord {
public:
    virtual ~InterfaceRecord() = default;

    std::string InterfaceDBCCName;  // the key; compared without regard to case
    std::string IntfDesc;
    pf::Handle Handle = pf::kInvalidHandle;  // kInvalidHandle while closed
    std::uint32_t Type = INF_UNDEFINED;
    // bInterfaceNumber, bAlternateSetting, bNumEndpoints, bInterfaceClass,
    // bInterfaceSubClass, bInterfaceProtocol, iInterface
    std::uint8_t Descriptor[7] = {};
};

}  // namespace eklv
