// Serial-port control: the COMM functions of kernel32. DCB, COMMTIMEOUTS
// and COMSTAT of serial.h have the system's layouts.
#include "platform/serial.h"

#include <windows.h>

#include <cstring>

#include "platform/win32/comm_wait.h"

namespace eklv::pf {

static_assert(sizeof(Dcb) == sizeof(DCB));
static_assert(sizeof(CommTimeouts) == sizeof(COMMTIMEOUTS));
static_assert(sizeof(ComStat) == sizeof(COMSTAT));

namespace {
HANDLE H(Handle h) { return reinterpret_cast<HANDLE>(h); }
}  // namespace

bool GetCommState(Handle port, Dcb* dcb) {
    if (dcb == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    dcb->DCBlength = sizeof(DCB);
    return ::GetCommState(H(port), reinterpret_cast<DCB*>(dcb)) != FALSE;
}

bool SetCommState(Handle port, const Dcb* dcb) {
    // The checks every driver makes, made here too so that a lenient one
    // answers as the others do.
    if (dcb == nullptr || dcb->BaudRate == 0 || dcb->ByteSize < 5 || dcb->ByteSize > 8 ||
        dcb->Parity > kSpaceParity || dcb->StopBits > kTwoStopBits) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    DCB copy;
    std::memcpy(&copy, dcb, sizeof copy);
    copy.DCBlength = sizeof copy;
    return ::SetCommState(H(port), &copy) != FALSE;
}

bool GetCommTimeouts(Handle port, CommTimeouts* timeouts) {
    return ::GetCommTimeouts(H(port), reinterpret_cast<COMMTIMEOUTS*>(timeouts)) != FALSE;
}

bool SetCommTimeouts(Handle port, const CommTimeouts* timeouts) {
    return ::SetCommTimeouts(H(port), reinterpret_cast<COMMTIMEOUTS*>(const_cast<CommTimeouts*>(timeouts))) != FALSE;
}

bool PurgeComm(Handle port, std::uint32_t flags) { return ::PurgeComm(H(port), flags) != FALSE; }

bool ClearCommError(Handle port, std::uint32_t* errors, ComStat* status) {
    DWORD e = 0;
    BOOL ok = ::ClearCommError(H(port), &e, reinterpret_cast<COMSTAT*>(status));
    if (errors != nullptr) *errors = e;
    return ok != FALSE;
}

bool SetCommMask(Handle port, std::uint32_t mask) {
    if (!::SetCommMask(H(port), mask)) return false;
    w32::AbortCommWaits(port, w32::CommWaitAbort::kMaskChanged, mask);
    return true;
}

bool GetCommMask(Handle port, std::uint32_t* mask) {
    DWORD m = 0;
    if (!::GetCommMask(H(port), &m)) return false;
    if (mask != nullptr) *mask = m;
    return true;
}

bool WaitCommEvent(Handle port, std::uint32_t* mask, Overlapped* overlapped) {
    DWORD watched = 0;
    if (w32::PortNeedsWatchedWait(port) && ::GetCommMask(H(port), &watched))
        return w32::WatchedWaitCommEvent(port, watched, mask, overlapped);
    DWORD m = 0;
    // The system writes the mask when the wait completes, also when it is
    // pending now: it needs the caller's own variable.
    static_assert(sizeof(DWORD) == sizeof(std::uint32_t));
    DWORD* out = mask != nullptr ? reinterpret_cast<DWORD*>(mask) : &m;
    if (::WaitCommEvent(H(port), out, reinterpret_cast<OVERLAPPED*>(overlapped))) {
        // An empty mask at once, though no SetCommMask ran and events are
        // watched: the driver cannot wait for comm events (comm_wait.h).
        if (*out == 0 && ::GetCommMask(H(port), &watched) && watched != 0) {
            w32::MarkPortNeedsWatchedWait(port, watched);
            return w32::WatchedWaitCommEvent(port, watched, mask, overlapped);
        }
        return true;
    }
    return false;
}

bool EscapeCommFunction(Handle port, std::uint32_t function) {
    return ::EscapeCommFunction(H(port), function) != FALSE;
}

}  // namespace eklv::pf
