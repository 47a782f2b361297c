// Hostile configuration descriptors and string descriptors: every walk ends
// with an answer and never reads outside the buffer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "discovery/usb_descriptors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The copy is exactly as long as the input, so AddressSanitizer sees any
    // read past it.
    std::vector<std::uint8_t> bytes(data + 2, data + size);
    std::uint8_t out[9];
    for (std::uint32_t type : {4u, 5u})
        eklv::FindDescriptorInConfiguration(bytes.data(), bytes.size(), type, data[0], out);
    std::string text;
    eklv::StringFromDescriptorText(bytes.data(), bytes.size(), &text);
    std::string name(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    eklv::InterfaceNumberFromName(name);
    return 0;
}
