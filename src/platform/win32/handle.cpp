// Kernel handles and the last error: the system's own.
#include "platform/handle.h"

#include <windows.h>

#include "platform/win32/comm_wait.h"

namespace eklv::pf {

bool CloseHandle(Handle h) {
    // A COM-port wait the backend serves itself ends as the system's own
    // pending I/O does when its handle is closed.
    w32::AbortCommWaits(h, w32::CommWaitAbort::kClose);
    return ::CloseHandle(reinterpret_cast<HANDLE>(h)) != FALSE;
}

std::uint32_t GetLastError() { return ::GetLastError(); }
void SetLastError(std::uint32_t code) { ::SetLastError(code); }

}  // namespace eklv::pf
