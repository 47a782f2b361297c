// Text conversion from UTF-16 (as USB string descriptors and hub driver
// key names carry it) to the system code page, as WideCharToMultiByte
// with CP_ACP and no default character does.
#pragma once

#include <cstddef>
#include <string>

namespace eklv::pf {

// Converts count UTF-16 units. Characters the code page cannot hold become
// the system's default character. False (output unchanged) when the result
// needs more than max_bytes bytes.
bool WideToSystemCodePage(const char16_t* text, std::size_t count, std::size_t max_bytes, std::string* out);

}  // namespace eklv::pf
