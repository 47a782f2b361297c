// Test seam: how long after its last change a profile file's parse may be
// reused on an unchanged stat (3 s). Zero lets tests reach the reuse at
// once; a negative value restores the default.
#pragma once

#include <cstdint>

namespace eklv::pf::lx {
void OverrideProfileSettleTime(std::int64_t nanoseconds);
}
