// eklv.dll's entry point: a window class registered by a DLL outlives it,
// so the library's message-window class goes when the DLL unloads.
#include <windows.h>

namespace eklv::pf::w32 {
void UnregisterWindowClass();
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    // At process exit (reserved non-null) the process tears everything down.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) eklv::pf::w32::UnregisterWindowClass();
    return TRUE;
}
