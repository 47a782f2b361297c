// The topology most discovery tests run on:
//
//   pci 0000:00:14.0
//   +-- usb1 (4 ports)
//   |   +-- port 3: hub 1-3 (4 ports)
//   |       +-- port 4: hub 1-3.4 (4 ports)
//   |           +-- port 2: composite phone 6b4d:2001 (1-3.4.2)
//   |               mi_00 modem (ttyACM0, "MTK USB Modem Port"), mi_01 MTP, mi_02 data
//   +-- usb2 (4 ports)
//       +-- port 1: single-function phone 6b4d:2002 (2-1), ttyUSB0, "Gadget CDC VCOM Port"
//
// with an eklv.ini that supports both phones (kStandardIni, support/standard_phones.h).
#pragma once

#include <cctype>
#include <string>

#include "discovery/discovery_folder.h"
#include "rig/usb_rig.h"
#include "support/standard_phones.h"

namespace eklv::test {

// Portable devices (MTP); the backend exposes no interface of it.
inline constexpr const char* kWpdClass = "{6ac27878-a6fa-4155-ba85-f98f491d4f33}";


inline std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

struct StandardRig {
    UsbRig rig;
    UsbRig::NodeId pci, root1, root2, hub, inner_hub, phone, single;

    StandardRig() {
        pci = rig.AddPciController("0000:00:14.0");
        root1 = rig.AddRootHub(pci, 1);
        root2 = rig.AddRootHub(pci, 2);
        hub = rig.AddHub(root1, 3);
        inner_hub = rig.AddHub(hub, 4, 4, 0x05e3, 0x0608);
        phone = rig.AddCompositePhone(inner_hub, 2, kPhoneVendor, kCompositeProduct, CompositeFunctions("ttyACM0"));
        single = rig.AddSinglePhone(root2, 1, kPhoneVendor, kSingleProduct, SingleFunction("ttyUSB0"));
    }

    // Lower-case names, as the device-change processing passes them on.
    std::string ModemName() const { return rig.InterfaceName(phone, 0, kRigClassComPort); }
    std::string MtpName() const { return rig.InterfaceName(phone, 1, kWpdClass); }
    std::string SingleName() const { return rig.DeviceName(single, kRigClassComPort); }
};

}  // namespace eklv::test
