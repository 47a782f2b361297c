// Backend-internal thread bookkeeping, for shutdown and leak checks.
#pragma once

#include <cstddef>

namespace eklv::pf::lx {

// Joins every thread that has ended but was not joined yet.
void ReapEndedThreads();
// Threads started through CreateThread that have not ended.
std::size_t RunningThreadCount();

}  // namespace eklv::pf::lx
