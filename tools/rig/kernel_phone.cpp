#include "rig/kernel_phone.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace eklv::test {
namespace {

constexpr const char* kGadgets = "/sys/kernel/config/usb_gadget";

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text << std::flush;
    return static_cast<bool>(out);
}

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

}  // namespace

KernelPhone::KernelPhone(std::string name, GadgetSetup setup) : dir_(std::string(kGadgets) + "/" + name) {
    if (mkdir(dir_.c_str(), 0755) != 0) return;
    ok_ = WriteText(dir_ + "/idVendor", Hex(setup.vendor_id)) && WriteText(dir_ + "/idProduct", Hex(setup.product_id)) &&
          mkdir((dir_ + "/strings/0x409").c_str(), 0755) == 0 &&
          WriteText(dir_ + "/strings/0x409/product", setup.product) &&
          WriteText(dir_ + "/strings/0x409/manufacturer", setup.manufacturer) &&
          WriteText(dir_ + "/strings/0x409/serialnumber", setup.serial) &&
          mkdir((dir_ + "/configs/c.1").c_str(), 0755) == 0;
    std::vector<std::string> wanted;
    for (int i = 0; i < setup.acm_functions; ++i) wanted.push_back("acm." + name + "_" + std::to_string(i));
    if (setup.mass_storage) wanted.push_back("mass_storage." + name);
    if (setup.generic_serial) wanted.push_back("gser." + name);
    for (const std::string& f : wanted) {
        if (!ok_) break;
        std::string path = dir_ + "/functions/" + f;
        ok_ = mkdir(path.c_str(), 0755) == 0;
        if (!ok_) break;
        functions_.push_back(f);
        // A medium-less removable LUN binds without a backing file.
        if (f.rfind("mass_storage.", 0) == 0) ok_ = WriteText(path + "/lun.0/removable", "1");
        if (f.rfind("acm.", 0) == 0 || f.rfind("gser.", 0) == 0)
            ttys_.push_back("/dev/ttyGS" + ReadLine(path + "/port_num"));
        ok_ = ok_ && symlink(path.c_str(), (dir_ + "/configs/c.1/" + f).c_str()) == 0;
    }
}

KernelPhone::~KernelPhone() {
    Pull();
    for (auto f = functions_.rbegin(); f != functions_.rend(); ++f) {
        unlink((dir_ + "/configs/c.1/" + *f).c_str());
        rmdir((dir_ + "/functions/" + *f).c_str());
    }
    rmdir((dir_ + "/configs/c.1").c_str());
    rmdir((dir_ + "/strings/0x409").c_str());
    rmdir(dir_.c_str());
}

bool KernelPhone::Plug(int udc) {
    if (!ok_ || plugged_) return false;
    plugged_ = WriteText(dir_ + "/UDC", "dummy_udc." + std::to_string(udc));
    return plugged_;
}

bool KernelPhone::Pull() {
    if (!plugged_) return false;
    plugged_ = !WriteText(dir_ + "/UDC", "\n");
    return !plugged_;
}

int KernelPhone::OpenPhoneTty(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

int KernelPhone::UdcCount() {
    int n = 0;
    if (DIR* d = opendir("/sys/class/udc")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

}  // namespace eklv::test
