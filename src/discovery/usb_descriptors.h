// Pure parts of the descriptor requests: the walk of a configuration's
// descriptors and the interface number in a symbolic name. No I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace eklv {

// Walks total bytes of configuration data for the descriptor of type
// (4 interface, 5 endpoint) that matches index: an interface by
// bInterfaceNumber (255: the first interface), an endpoint by
// bEndpointAddress. Copies it (9 or 7 bytes) to output and answers 0;
// answers 1 when the data ends without a match or a descriptor's length
// cannot be walked. Interface and endpoint descriptors of the wrong length
// are logged and stepped over.
std::uint32_t FindDescriptorInConfiguration(const std::uint8_t* data, std::size_t total, std::uint32_t type,
                                            std::uint32_t index, void* output);

// How a name without "mi" (a device of one function) is numbered. The hub
// queries ask for the first interface there (255, as the walk above takes
// it); a session records its interface's descriptor by interface 0, as it
// always has. On every device seen the two are the same interface.
enum class WithoutMi : std::uint32_t { kFirstInterface = 255, kInterfaceZero = 0 };

// The interface number a symbolic name names: the decimal value of the
// text three characters after the first "mi" at or after character 15, or
// what without says when there is none.
std::uint32_t InterfaceNumberFromName(const std::string& name, WithoutMi without = WithoutMi::kFirstInterface);

// UTF-16LE text at bytes (up to its terminating zero or the end of size
// bytes) converted to the system code page, at most 254 bytes; false when
// it does not fit.
bool StringFromDescriptorText(const std::uint8_t* bytes, std::size_t size, std::string* text);

}  // namespace eklv
