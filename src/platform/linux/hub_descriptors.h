// Pure helpers of the hub backend: reading a sysfs "descriptors" image and
// building the descriptors a hub request answers. No I/O; every function
// bounds its reads by the sizes it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "platform/usb_hub.h"

namespace eklv::pf::lx {

// The device descriptor at the start of the image; false when the image is
// shorter than 18 bytes or does not start with one.
bool DeviceDescriptorFromImage(const std::vector<std::uint8_t>& image, UsbDeviceDescriptor* out);

// The bytes of configuration number index (0-based, in image order): the
// image holds the device descriptor, then each configuration's
// wTotalLength bytes. A configuration whose header is not a configuration
// descriptor, whose wTotalLength is below 9, or that runs past the image,
// ends the walk; the last one may be cut short by the image, and then only
// the bytes present are answered.
bool FindConfiguration(const std::vector<std::uint8_t>& image, int index, std::size_t* offset,
                       std::size_t* length);

// Visits the descriptors inside one configuration's bytes in order, until
// visit answers false or a descriptor's bLength is below 2 or runs past
// the end. visit gets the descriptor's bytes and its own bLength.
template <class Visit>
void ForEachDescriptor(const std::uint8_t* data, std::size_t length, Visit visit) {
    std::size_t pos = 0;
    while (pos + 2 <= length) {
        std::size_t size = data[pos];
        if (size < 2 || pos + size > length) return;
        if (!visit(data + pos, size)) return;
        pos += size;
    }
}

// The interface number whose interface descriptor names string index; false
// when none does.
bool InterfaceOfStringIndex(const std::uint8_t* config, std::size_t length, std::uint8_t index, int* interface);
// True when some configuration descriptor in the image names string index.
bool ImageHasConfigurationString(const std::vector<std::uint8_t>& image, std::uint8_t index);

// A string descriptor (bLength, 3, UTF-16LE text) for UTF-8 text; invalid
// UTF-8 becomes U+FFFD, and the text is cut to the 126 units a descriptor
// can hold.
std::vector<std::uint8_t> EncodeStringDescriptor(std::string_view utf8);
// String descriptor 0: the language table, English (US) only.
std::vector<std::uint8_t> LanguageTableDescriptor();

// UTF-8 to UTF-16 with the same replacement rule.
std::u16string Utf8ToUtf16(std::string_view utf8);

}  // namespace eklv::pf::lx
