#include "hotplug/window_thread.h"

#include <algorithm>
#include <new>

#include "hotplug/usb_notify.h"
#include "log/message_logger.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace eklv {

CKLVDeviceChangeWindowThread::CKLVDeviceChangeWindowThread() : ready_(pf::CreateEventA(true, false)) {}

CKLVDeviceChangeWindowThread::~CKLVDeviceChangeWindowThread() {
    Join();
    if (ready_ != pf::kNullHandle) pf::CloseHandle(ready_);
}

bool CKLVDeviceChangeWindowThread::WaitReady(std::uint32_t ms) {
    return ready_ != pf::kNullHandle && pf::WaitForSingleObject(ready_, ms) == pf::kWaitObject0;
}

bool CKLVDeviceChangeWindowThread::Start(ThreadStopRoutine stop_routine) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
        stop_routine_ = stop_routine;
    }
    pf::ResetEvent(ready_);
    std::uint32_t id = 0;
    pf::Handle thread = pf::CreateThread(&CKLVDeviceChangeWindowThread::Proc, this, &id);
    if (thread == pf::kNullHandle) return false;
    threads_.push_back(thread);
    return true;
}

std::uint32_t CKLVDeviceChangeWindowThread::Proc(void* argument) {
    auto* self = static_cast<CKLVDeviceChangeWindowThread*>(argument);
    if (CKLVSupervisor* supervisor = CKLVSupervisor::GetInstance()) supervisor->OnThreadEntrance(self->stop_routine_);
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSessionMgr::WindowThreadProc entrance");
    auto* window = new (std::nothrow) CKLVUSBNotify;  // registers for the broadcasts
    pf::SetEvent(self->ready_);
    if (window != nullptr) {
        const pf::Hwnd hwnd = window->GetSafeHwnd();
        // Without a window there is nothing to pump and nothing a stop could
        // reach: the thread ends at once.
        bool pump = false;
        if (hwnd != 0) {
            std::lock_guard<std::mutex> lock(self->mutex_);
            pump = !self->stopping_;
            if (pump) {
                self->live_.push_back(hwnd);
                self->window_hwnd_ = hwnd;
            }
        }
        if (pump) {
            pf::Msg msg;
            while (pf::GetMessageA(&msg, hwnd, 0, 0) > 0 && msg.message != pf::kWmQuit) {
                pf::TranslateMessage(&msg);
                pf::DispatchMessageA(&msg);
            }
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->live_.erase(std::remove(self->live_.begin(), self->live_.end(), hwnd), self->live_.end());
            if (self->window_hwnd_ == hwnd) self->window_hwnd_ = 0;
        }
        window->UnregisterNotification();
        window->DestroyWindow();
        delete window;
    }
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSessionMgr::WindowThreadProc exit");
    CKLVSupervisor::ThreadExit();
    return 1;
}

void CKLVDeviceChangeWindowThread::RequestStop() {
    std::vector<pf::Hwnd> windows;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        windows = live_;
    }
    // To the window, not the thread: the loop retrieves its window's
    // messages only.
    for (pf::Hwnd hwnd : windows) pf::PostMessageA(hwnd, pf::kWmQuit, 0, 0);
}

void CKLVDeviceChangeWindowThread::Join() {
    if (threads_.empty()) return;
    RequestStop();
    for (pf::Handle thread : threads_) {
        // The loop ends on the quit message; a thread still creating its
        // window sees the stop request before it pumps.
        pf::WaitForSingleObject(thread, pf::kInfinite);
        pf::CloseHandle(thread);
    }
    threads_.clear();
}

}  // namespace eklv
