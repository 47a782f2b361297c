#include "platform/linux/hub_descriptors.h"

#include <cstring>
#include <string>

namespace eklv::pf::lx {

bool DeviceDescriptorFromImage(const std::vector<std::uint8_t>& image, UsbDeviceDescriptor* out) {
    if (image.size() < sizeof(UsbDeviceDescriptor) || image[0] < sizeof(UsbDeviceDescriptor) ||
        image[1] != kUsbDeviceDescriptorType)
        return false;
    std::memcpy(out, image.data(), sizeof *out);
    out->bLength = sizeof *out;
    return true;
}

bool FindConfiguration(const std::vector<std::uint8_t>& image, int index, std::size_t* offset,
                       std::size_t* length) {
    if (image.size() < 2 || index < 0) return false;
    std::size_t pos = image[0];
    if (pos < sizeof(UsbDeviceDescriptor)) return false;
    for (int i = 0; pos + sizeof(UsbConfigurationDescriptor) <= image.size(); ++i) {
        if (image[pos] < sizeof(UsbConfigurationDescriptor) || image[pos + 1] != kUsbConfigurationDescriptorType)
            return false;
        std::size_t total = image[pos + 2] | (static_cast<std::size_t>(image[pos + 3]) << 8);
        if (total < sizeof(UsbConfigurationDescriptor)) return false;
        std::size_t available = image.size() - pos;
        if (i == index) {
            *offset = pos;
            *length = total < available ? total : available;
            return true;
        }
        if (total >= available) return false;
        pos += total;
    }
    return false;
}

bool InterfaceOfStringIndex(const std::uint8_t* config, std::size_t length, std::uint8_t index, int* interface) {
    bool found = false;
    ForEachDescriptor(config, length, [&](const std::uint8_t* d, std::size_t size) {
        if (d[1] == kUsbInterfaceDescriptorType && size >= sizeof(UsbInterfaceDescriptor) && d[8] == index) {
            *interface = d[2];
            found = true;
            return false;
        }
        return true;
    });
    return found;
}

bool ImageHasConfigurationString(const std::vector<std::uint8_t>& image, std::uint8_t index) {
    std::size_t offset = 0, length = 0;
    for (int i = 0; FindConfiguration(image, i, &offset, &length); ++i)
        if (length >= sizeof(UsbConfigurationDescriptor) && image[offset + 6] == index) return true;
    return false;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    std::size_t i = 0;
    while (i < utf8.size()) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        char32_t cp = 0xFFFD;
        std::size_t extra = 0;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            extra = 3;
        } else {
            ++i;
            out += u'\uFFFD';
            continue;
        }
        bool valid = i + extra < utf8.size();
        for (std::size_t k = 1; valid && k <= extra; ++k) {
            unsigned char next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80) valid = false;
            else cp = (cp << 6) | (next & 0x3F);
        }
        if (!valid || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) ||
            (extra == 1 && cp < 0x80) || (extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000)) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
        i += extra + 1;
    }
    return out;
}

std::vector<std::uint8_t> EncodeStringDescriptor(std::string_view utf8) {
    std::u16string text = Utf8ToUtf16(utf8);
    constexpr std::size_t kMaxUnits = (255 - 2) / 2;
    if (text.size() > kMaxUnits) {
        text.resize(kMaxUnits);
        // Do not leave half of a surrogate pair at the cut.
        if (text.back() >= 0xD800 && text.back() <= 0xDBFF) text.pop_back();
    }
    std::vector<std::uint8_t> descriptor;
    descriptor.reserve(2 + 2 * text.size());
    descriptor.push_back(static_cast<std::uint8_t>(2 + 2 * text.size()));
    descriptor.push_back(kUsbStringDescriptorType);
    for (char16_t unit : text) {
        descriptor.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        descriptor.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return descriptor;
}

std::vector<std::uint8_t> LanguageTableDescriptor() {
    return {4, kUsbStringDescriptorType, kUsbLangEnglishUs & 0xFF, kUsbLangEnglishUs >> 8};
}

}  // namespace eklv::pf::lx
