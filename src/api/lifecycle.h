// The order in which the library's singletons start and stop.
#pragma once

#include <cstdint>

#include "eklv/eklv.h"

namespace eklv {

std::uint32_t InitializeLibrary(const EKLVInitParams* params);
std::uint32_t UninitializeLibrary();

}  // namespace eklv
