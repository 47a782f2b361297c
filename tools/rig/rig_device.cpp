#include "rig/rig_device.h"

namespace eklv::test {
namespace {

void Put16(std::vector<std::uint8_t>* bytes, std::uint16_t value) {
    bytes->push_back(static_cast<std::uint8_t>(value & 0xFF));
    bytes->push_back(static_cast<std::uint8_t>(value >> 8));
}

}  // namespace

RigInterface RigInterface::Modem(const std::string& tty, const std::string& label) {
    RigInterface i;
    i.cls = 0x02;
    i.subclass = 0x02;
    i.protocol = 0x01;
    i.driver = "cdc_acm";
    i.label = label;
    i.tty = tty;
    i.endpoints = 3;
    return i;
}

RigInterface RigInterface::Serial(const std::string& tty, const std::string& label) {
    RigInterface i;
    i.cls = 0xFF;
    i.driver = "option";
    i.label = label;
    i.tty = tty;
    return i;
}

RigInterface RigInterface::Mtp(const std::string& label) {
    RigInterface i;
    i.cls = 0x06;
    i.subclass = 0x01;
    i.protocol = 0x01;
    i.label = label;
    i.endpoints = 3;
    return i;
}

RigInterface RigInterface::Data(const std::string& label) {
    RigInterface i;
    i.cls = 0xFF;
    i.subclass = 0x42;
    i.protocol = 0x01;
    i.driver = "usbfs";
    i.label = label;
    return i;
}

std::vector<std::uint8_t> BuildDescriptors(std::uint16_t vid, std::uint16_t pid, std::uint8_t device_class,
                                           const std::vector<RigInterface>& interfaces, const RigStrings& strings) {
    std::vector<std::uint8_t> d = {18, 1};
    Put16(&d, 0x0200);
    d.push_back(device_class);
    d.push_back(0);
    d.push_back(device_class == 9 ? 1 : 0);
    d.push_back(64);
    Put16(&d, vid);
    Put16(&d, pid);
    Put16(&d, 0x0100);
    d.push_back(strings.manufacturer.empty() ? 0 : 1);
    d.push_back(strings.product.empty() ? 0 : 2);
    d.push_back(strings.serial.empty() ? 0 : 3);
    d.push_back(1);

    std::vector<std::uint8_t> body;
    int endpoint = 1;
    for (std::size_t i = 0; i < interfaces.size(); ++i) {
        const RigInterface& f = interfaces[i];
        body.insert(body.end(), {9, 4, static_cast<std::uint8_t>(i), 0, static_cast<std::uint8_t>(f.endpoints), f.cls,
                                 f.subclass, f.protocol, static_cast<std::uint8_t>(f.label.empty() ? 0 : 5 + i)});
        for (int e = 0; e < f.endpoints; ++e, ++endpoint) {
            std::uint8_t address = static_cast<std::uint8_t>((e % 2 == 0 ? 0x80 : 0x00) | endpoint);
            body.insert(body.end(), {7, 5, address, static_cast<std::uint8_t>(f.cls == 9 ? 3 : 2)});
            Put16(&body, 512);
            body.push_back(0);
        }
    }
    std::vector<std::uint8_t> config = {9, 2};
    Put16(&config, static_cast<std::uint16_t>(9 + body.size()));
    config.push_back(static_cast<std::uint8_t>(interfaces.size()));
    config.push_back(1);
    config.push_back(strings.configuration.empty() ? 0 : 4);
    config.push_back(0x80);
    config.push_back(250);
    d.insert(d.end(), config.begin(), config.end());
    d.insert(d.end(), body.begin(), body.end());
    return d;
}

bool RigStringText(const RigStrings& strings, const std::vector<RigInterface>& interfaces, int index,
                   std::string* text) {
    const std::string* found = nullptr;
    switch (index) {
        case 1: found = &strings.manufacturer; break;
        case 2: found = &strings.product; break;
        case 3: found = &strings.serial; break;
        case 4: found = &strings.configuration; break;
        default:
            if (index >= 5 && index - 5 < static_cast<int>(interfaces.size()))
                found = &interfaces[static_cast<std::size_t>(index - 5)].label;
    }
    if (found == nullptr || found->empty()) return false;
    *text = *found;
    return true;
}

std::string RigSymbolicName(const std::string& instance_id, const char* class_text) {
    std::string name = "\\\\?\\";
    for (char c : instance_id) name += c == '\\' ? '#' : c;
    std::string braced = class_text;
    if (braced.empty() || braced.front() != '{') braced = "{" + braced + "}";
    return name + "#" + braced;
}

}  // namespace eklv::test
