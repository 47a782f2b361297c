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

bool PurgeComm(Handle port, std::uint32_t flags) {
    w32::ForgetSystemWait(port);
    return ::PurgeComm(H(port), flags) != FALSE;
}

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

namespace {

// The first wait on a port probes its driver (comm_wait.h): a wait of our
// own, cancelled at once. A driver that honours cancels has ended it by the
// time CancelIoEx returns (the system completes the calling thread's
// cancelled I/O before it returns to it), so the probe costs such a driver
// nothing. Wine 8 on a port with modem lines waits on a thread of its own
// that no cancel ends, only an event or a mask change: the session's reader
// could never be stopped there, so such a port is watched; its probe ends
// with the first event or, after a short bound, by setting the same mask
// again. A driver that cannot wait at all ends the wait at once without an
// event, though the port is fine (Wine 8 on a pty without modem lines: its
// modem-status query fails); so does a driver that cancels waits on its own
// (comm_wait.h catches that at a later wait). An event the probe sees is
// the caller's: *event gets it. A wait the driver refuses at once (a port
// that is gone, or one with another wait pending: a driver takes one wait
// per handle) says nothing of the driver: it is the caller's answer.
bool ProbeDriver(Handle port, DWORD watched, DWORD* event) {
    // How long a cancel may take on a driver that does not end it before
    // CancelIoEx returns, before the driver counts as not ending it.
    constexpr DWORD kCancelWaitMs = 10;
    *event = 0;
    OVERLAPPED probe{};
    probe.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (probe.hEvent == nullptr) {
        w32::EndProbe(port, w32::CommDriver::kUnknown, watched);
        return false;
    }
    DWORD mask = 0;
    DWORD ignored = 0;
    const bool at_once = ::WaitCommEvent(H(port), &mask, &probe) != FALSE;
    DWORD error = at_once ? 0 : ::GetLastError();
    if (!at_once && error != ERROR_IO_PENDING) {
        ::CloseHandle(probe.hEvent);
        w32::EndProbe(port, w32::CommDriver::kUnknown, watched);
        ::SetLastError(error);
        return false;
    }
    bool cancellable = true;
    bool done = at_once;
    if (!at_once) {
        ::CancelIoEx(H(port), &probe);
        if (::WaitForSingleObject(probe.hEvent, 0) != WAIT_OBJECT_0) {
            // Not ended by the cancel: by an event, a late cancel, or the
            // mask change that ends it after the bound.
            bool mask_set = false;
            if (::WaitForSingleObject(probe.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
                ::SetCommMask(H(port), watched);
                mask_set = true;
            }
            done = ::GetOverlappedResult(H(port), &probe, &ignored, TRUE) != FALSE;
            cancellable = !done && !mask_set && ::GetLastError() == ERROR_OPERATION_ABORTED;
        } else {
            done = ::GetOverlappedResult(H(port), &probe, &ignored, FALSE) != FALSE;
        }
    }
    ::CloseHandle(probe.hEvent);
    if (done && mask != 0) {
        // The caller's event. Before the cancel it says nothing of the
        // driver (the next wait probes again); after it, the driver did not
        // end the cancelled wait.
        if (cancellable)
            w32::EndProbe(port, w32::CommDriver::kUnknown, watched);
        else
            w32::EndProbe(port, w32::CommDriver::kCannotWait, watched, "does not end a cancelled wait");
        *event = mask;
        return true;
    }
    if (!cancellable) {
        w32::EndProbe(port, w32::CommDriver::kCannotWait, watched, "does not end a cancelled wait");
        return true;
    }
    if (!done && ::GetLastError() == ERROR_OPERATION_ABORTED) {  // our cancel ended it: the driver waits
        w32::EndProbe(port, w32::CommDriver::kWaits, watched);
        return true;
    }
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(H(port), &errors, &status)) {  // the port itself has failed
        error = ::GetLastError();
        w32::EndProbe(port, w32::CommDriver::kUnknown, watched);
        ::SetLastError(error);
        return false;
    }
    w32::EndProbe(port, w32::CommDriver::kCannotWait, watched, "answered an empty event mask at once");
    return true;
}

}  // namespace

bool WaitCommEvent(Handle port, std::uint32_t* mask, Overlapped* overlapped) {
    DWORD watched = 0;
    if (!::GetCommMask(H(port), &watched)) return false;
    w32::CommDriver driver = w32::PortDriver(port);
    // One thread probes; a wait of another thread meanwhile waits for its
    // finding (at most about half a second), as the driver would refuse it
    // as a second pending wait.
    while (driver == w32::CommDriver::kProbing) {
        ::Sleep(1);
        driver = w32::PortDriver(port);
    }
    if (driver == w32::CommDriver::kUnknown && watched != 0 && overlapped != nullptr && w32::BeginProbe(port)) {
        DWORD event = 0;
        if (!ProbeDriver(port, watched, &event)) return false;
        driver = w32::PortDriver(port);
        if (event != 0) {  // the probe saw the caller's event: it completes now
            if (mask != nullptr) *mask = event;
            overlapped->internal = 0;
            overlapped->internal_high = 0;
            ::SetEvent(H(overlapped->event));
            return true;
        }
    }
    if (driver == w32::CommDriver::kWaits && overlapped != nullptr && w32::DriverCancelledLastWait(port, overlapped)) {
        w32::MarkCannotWait(port, watched);
        driver = w32::PortDriver(port);
    }
    if (driver == w32::CommDriver::kCannotWait) return w32::WatchedWaitCommEvent(port, watched, mask, overlapped);
    // The system writes the mask when the wait completes, also when it is
    // pending now: it needs the caller's own variable.
    static_assert(sizeof(DWORD) == sizeof(std::uint32_t));
    DWORD ignored = 0;
    DWORD* out = mask != nullptr ? reinterpret_cast<DWORD*>(mask) : &ignored;
    bool ok = ::WaitCommEvent(H(port), out, reinterpret_cast<OVERLAPPED*>(overlapped)) != FALSE;
    if (overlapped != nullptr && (ok || ::GetLastError() == ERROR_IO_PENDING)) w32::NoteSystemWait(port, overlapped);
    return ok;
}

// Until the first wait has probed the driver nothing is known; a driver
// that waits itself rules its port.
bool CommWaitsShared(Handle port) { return w32::PortDriver(port) == w32::CommDriver::kCannotWait; }

bool EscapeCommFunction(Handle port, std::uint32_t function) {
    return ::EscapeCommFunction(H(port), function) != FALSE;
}

}  // namespace eklv::pf
