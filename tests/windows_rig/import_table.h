// Rebinds entries of a loaded module's import address table, so that the
// module's calls of an imported function reach a replacement. The module
// itself is not changed on disk, and calls from any other module still
// reach the system's function.
#pragma once

#include <windows.h>

namespace eklv::test {

// Points the module's import of function from dll (names compared without
// regard to case) at replacement. Answers the address it replaced, or null
// when the module does not import that function.
void* RebindImport(HMODULE module, const char* dll, const char* function, const void* replacement);

}  // namespace eklv::test
