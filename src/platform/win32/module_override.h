// Tests point the statically linked core at a module folder of their own
// (eklv.ini and the log files live beside the module). An empty path
// restores the real answer.
#pragma once

#include <string>

namespace eklv::pf::w32 {
void OverrideModuleFileName(const std::string& path);
}
