#include "discovery/usb_descriptors.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "log/message_logger.h"
#include "platform/codepage.h"

namespace eklv {

std::uint32_t FindDescriptorInConfiguration(const std::uint8_t* data, std::size_t total, std::uint32_t type,
                                            std::uint32_t index, void* output) {
    constexpr std::uint32_t kInterface = 4;
    constexpr std::uint32_t kEndpoint = 5;
    std::size_t pos = 0;
    for (;;) {
        if (!(pos + 2 < total)) return 1;
        std::size_t length = data[pos];
        // bLength 0 cannot advance the walk; stop instead of stalling.
        if (length == 0 || pos + length > total) return 1;
        std::uint8_t descriptor_type = data[pos + 1];
        if (descriptor_type == type) {
            if (type == kInterface) {
                if (length != 9) {
                    LogMessage(kNoDevice, kLogWarning, kCatGeneral,
                               "CKLVUSBUtilities::GetDescriptor Invalid interface descriptor length encountered for "
                               "interface number(%d)",
                               data[pos + 2]);
                } else if (data[pos + 2] == index || index == 255) {
                    std::memcpy(output, data + pos, 9);
                    return 0;
                }
            } else if (type == kEndpoint) {
                if (length != 7) {
                    LogMessage(kNoDevice, kLogWarning, kCatGeneral,
                               "CKLVUSBUtilities::GetDescriptor Invalid endpoint descriptor length encountered for "
                               "endpoint address (%d)",
                               data[pos + 2]);
                } else if (data[pos + 2] == index) {
                    std::memcpy(output, data + pos, 7);
                    return 0;
                }
            }
        }
        pos += length;
    }
}

std::uint32_t InterfaceNumberFromName(const std::string& name, WithoutMi without) {
    std::size_t pos = name.find("mi", 15);
    if (pos == std::string::npos) return static_cast<std::uint32_t>(without);
    if (pos + 3 > name.size()) return 0;
    // atoi, without its undefined behaviour on overflow.
    long value = std::strtol(name.c_str() + pos + 3, nullptr, 10);
    if (value > 0x7FFFFFFF) value = 0x7FFFFFFF;
    if (value < -0x7FFFFFFF) value = -0x7FFFFFFF;
    return static_cast<std::uint32_t>(static_cast<int>(value));
}

bool StringFromDescriptorText(const std::uint8_t* bytes, std::size_t size, std::string* text) {
    std::vector<char16_t> units;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        char16_t unit = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
        if (unit == 0) break;
        units.push_back(unit);
    }
    // The output holds 255 bytes with the terminating NUL.
    return pf::WideToSystemCodePage(units.data(), units.size(), 254, text);
}

}  // namespace eklv
