// The generic entry: an opcode and a parameter block reach the same
// operations as the exported functions.
#pragma once

#include <cstdint>

#include "eklv/eklv.h"

namespace eklv::api {

// 0 when the operation answered 0, 5 when it answered non-zero (its code
// goes to *result), 3 for an unknown opcode, 6 without a block (opcode 1
// needs none).
std::uint32_t OnCall(std::uint32_t opcode, EKLVCallBlock* block, std::uint32_t* result);

}  // namespace eklv::api
