// Hostile configuration descriptors, device images and string descriptors:
// every walk ends with an answer that keeps its promises and never reads
// outside the buffer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "discovery/usb_descriptors.h"
#include "platform/linux/hub_descriptors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The copy is exactly as long as the input, so AddressSanitizer sees any
    // read past it.
    std::vector<std::uint8_t> bytes(data + 2, data + size);
    for (std::uint32_t type : {4u, 5u}) {
        std::uint8_t out[9];
        if (eklv::FindDescriptorInConfiguration(bytes.data(), bytes.size(), type, data[0], out) != 0) continue;
        // A found descriptor is of the asked type (and number, for interfaces).
        if (out[0] != (type == 4 ? 9 : 7) || out[1] != type) __builtin_trap();
        if (type == 4 && data[0] != 255 && out[2] != data[0]) __builtin_trap();
    }
    std::string text;
    if (eklv::StringFromDescriptorText(bytes.data(), bytes.size(), &text) && text.size() > 254) __builtin_trap();
    std::string name(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    eklv::InterfaceNumberFromName(name);

    using namespace eklv::pf::lx;
    std::size_t offset = 0, length = 0;
    for (int i = 0; i < 3 && FindConfiguration(bytes, i, &offset, &length); ++i)
        if (offset + length > bytes.size()) __builtin_trap();
    int number = -1;
    InterfaceOfStringIndex(bytes.data(), bytes.size(), data[1], &number);
    std::vector<std::uint8_t> descriptor = EncodeStringDescriptor(name);
    if (descriptor.empty() || descriptor[0] != descriptor.size() || descriptor.size() > 255) __builtin_trap();
    return 0;
}
