// The standard phones of the rigs, as the Linux rigs (tests/discovery/
// standard_rig.h) and the Wine rig (tests/windows_rig) both build them: a
// composite phone 6b4d:2001 with a modem port, MTP and a data function,
// and a single-function phone 6b4d:2002 whose serial port calls itself
// "Gadget CDC VCOM Port", with the eklv.ini sections that support them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rig/rig_device.h"

namespace eklv::test {

inline constexpr std::uint16_t kPhoneVendor = 0x6b4d;
inline constexpr std::uint16_t kCompositeProduct = 0x2001;
inline constexpr std::uint16_t kSingleProduct = 0x2002;

// Vendor 6b4d, both products, 2001 composite (its serial function is
// INF_DATA whatever its text).
inline constexpr const char* kStandardIni =
    "[VID_FILTER]\nVID_0=vid_6b4d\n"
    "[MTK_SMART_PID_FILTER]\nPID_LIST=2001,2002\n"
    "[COMPOSITEDEVICE_FILTER]\npid_2001=1\n";

// The functions of the composite phone; port is its modem's serial port.
inline std::vector<RigInterface> CompositeFunctions(const std::string& port) {
    return {RigInterface::Modem(port), RigInterface::Mtp(), RigInterface::Data()};
}
// The function of the single-function phone.
inline RigInterface SingleFunction(const std::string& port) {
    return RigInterface::Serial(port, "Gadget CDC VCOM Port");
}

}  // namespace eklv::test
