// A phone on the real-kernel rig: a USB gadget made through configfs
// (libcomposite) with chosen ids and strings and the functions of an
// Android phone, plugged by binding it to a dummy_hcd UDC. The host side
// sees it through the kernel's own drivers (cdc_acm gives ttyACM nodes);
// the phone's side of each serial function is a /dev/ttyGS node.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace eklv::test {

struct GadgetSetup {
    std::uint16_t vendor_id = 0x6b4d;
    std::uint16_t product_id = 0x2001;
    std::string product = "Norvanta Phone";
    std::string manufacturer = "Norvanta";
    std::string serial = "0001";
    int acm_functions = 2;
    bool mass_storage = true;
    bool generic_serial = true;
};

class KernelPhone {
public:
    // Makes the gadget /sys/kernel/config/usb_gadget/<name>; ok() tells.
    KernelPhone(std::string name, GadgetSetup setup);
    // Pulls the phone if plugged and removes the gadget.
    ~KernelPhone();
    KernelPhone(const KernelPhone&) = delete;
    KernelPhone& operator=(const KernelPhone&) = delete;

    bool ok() const { return ok_; }
    // Binds the gadget to dummy_udc.<udc>: the phone is plugged in there.
    bool Plug(int udc);
    // Unbinds it: the phone is pulled out.
    bool Pull();
    bool plugged() const { return plugged_; }

    // The phone's side of its serial functions ("/dev/ttyGS0" ...): the ACM
    // functions in order, then the generic serial one.
    const std::vector<std::string>& PhoneTtys() const { return ttys_; }
    // Opens a phone-side tty raw, for a modem emulator; -1 on failure.
    static int OpenPhoneTty(const std::string& path);

    // The number of UDCs (dummy_hcd's num).
    static int UdcCount();

private:
    std::string dir_;
    std::vector<std::string> functions_;
    std::vector<std::string> ttys_;
    bool ok_ = false;
    bool plugged_ = false;
};

}  // namespace eklv::test
