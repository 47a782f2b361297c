// Test seam: makes GetOwnModuleFileName answer the given path, so unit tests
// that link the core statically can put eklv.ini and the log in a folder of
// their own. An empty path restores the real answer.
#pragma once

#include <string>

namespace eklv::pf::lx {
void OverrideModuleFileName(const std::string& path);
}
