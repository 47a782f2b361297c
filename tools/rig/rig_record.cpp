// eklv_rig_record: writes the umockdev record of a station rig to standard
// output, for umockdev-run --device: the supported phones of the example
// eklv.ini (6b4d:2001 composite with ttyACM0, 6b4d:2002 with ttyUSB0), a
// phone whose product it does not list (6b4d:2003, ttyUSB1), a serial
// adapter of another vendor (1a86:7523, ttyUSB2) and a hub of the phones'
// vendor. scripts/test-install.sh runs the installed package's udev rule and
// eklvctl on it.
#include <cstdio>

#include "rig/usb_rig.h"

int main(int argc, char** argv) {
    using eklv::test::RigInterface;
    eklv::test::RunUnderUmockdev(argc, argv);
    eklv::test::UsbRig rig;
    auto pci = rig.AddPciController();
    auto root = rig.AddRootHub(pci, 1);
    auto hub = rig.AddHub(root, 3, 4, 0x6b4d, 0x0101);
    rig.AddCompositePhone(hub, 1, 0x6b4d, 0x2001, {RigInterface::Modem("ttyACM0"), RigInterface::Mtp()});
    rig.AddSinglePhone(hub, 2, 0x6b4d, 0x2002, RigInterface::Serial("ttyUSB0", "Gadget CDC VCOM Port"));
    rig.AddSinglePhone(hub, 3, 0x6b4d, 0x2003, RigInterface::Serial("ttyUSB1", "Not listed"));
    rig.AddSinglePhone(root, 4, 0x1a86, 0x7523, RigInterface::Serial("ttyUSB2", "Other vendor"));
    std::fputs(rig.RecordText().c_str(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
