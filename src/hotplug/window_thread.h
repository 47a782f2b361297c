// CKLVDeviceChangeWindowThread: the thread of the device-change window in
// self-monitoring mode. Each thread it starts creates a CKLVUSBNotify window
// (which registers for the [GUID] classes), pumps that window's messages
// until WM_QUIT, then unregisters, destroys the window and ends. The
// session manager owns the object: it starts a thread at Initialize and
// joins every thread before it goes; the supervisor stops them through the
// manager's stop routine, which calls RequestStop.
//
// The start-up scan waits until the window has registered (WaitReady), so
// that a phone plugged meanwhile is heard of.
//
// A thread that has not started pumping when the stop comes sees the
// request and ends without pumping; one whose window could not be created
// ends at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "core/supervisor.h"
#include "platform/handle.h"
#include "platform/window.h"

namespace eklv {

class CKLVDeviceChangeWindowThread {
public:
    CKLVDeviceChangeWindowThread();
    // Joins what is still running.
    ~CKLVDeviceChangeWindowThread();
    CKLVDeviceChangeWindowThread(const CKLVDeviceChangeWindowThread&) = delete;
    CKLVDeviceChangeWindowThread& operator=(const CKLVDeviceChangeWindowThread&) = delete;

    // Starts a thread that registers with the supervisor under stop_routine.
    // False (last error set) when it cannot be started.
    bool Start(ThreadStopRoutine stop_routine);
    // Posts WM_QUIT to every pumped window; a thread that has not started
    // pumping yet sees the request and ends.
    void RequestStop();
    // Asks every thread to stop and waits for each.
    void Join();
    // Waits up to ms until the last thread started has registered its
    // window for the broadcasts (or found it cannot); false after the bound.
    bool WaitReady(std::uint32_t ms);
    // The newest device-change window while its thread pumps it, else 0.
    pf::Hwnd window_handle() const { return window_hwnd_.load(); }

private:
    static std::uint32_t Proc(void* self);

    ThreadStopRoutine stop_routine_ = nullptr;
    std::mutex mutex_;             // stopping_ and live_; a thread pumps only when it sees no stop
    bool stopping_ = false;
    std::vector<pf::Hwnd> live_;  // windows being pumped
    std::atomic<pf::Hwnd> window_hwnd_{0};
    std::vector<pf::Handle> threads_;  // owner handles, waited for in Join
    // Manual reset: set once the last thread started has registered its
    // window for the broadcasts, or cannot.
    pf::Handle ready_ = pf::kNullHandle;
};

}  // namespace eklv
