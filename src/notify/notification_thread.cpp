#include "notify/notification_thread.h"

#include <new>

#include "core/supervisor.h"
#include "eklv/eklv.h"
#include "log/message_logger.h"
#include "notify/msg_dispatcher.h"
#include "notify/registered_messages.h"
#include "platform/thread.h"

namespace eklv {
namespace {

CNotificationThread* g_instance = nullptr;

}  // namespace

CNotificationThread::~CNotificationThread() {
    if (thread_ != pf::kNullHandle) pf::CloseHandle(thread_);
}

CNotificationThread* CNotificationThread::GetInstance() { return g_instance; }

std::uint32_t CNotificationThread::Initialize(const std::uintptr_t values[2]) {
    if (g_instance != nullptr) {
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CNotificationThread::Initialize - OK");
        return EKLV_OK;
    }
    auto* self = new (std::nothrow) CNotificationThread;
    if (self == nullptr) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CNotificationThread::Initialize - No memory");
        return EKLV_NO_RESOURCES;
    }
    g_instance = self;
    // The thread reads the pair only after this lock is released.
    pf::ScopedLock lock(self->thread_lock_);
    std::uint32_t id = 0;
    self->references_ = 2;  // the thread's reference
    self->thread_ = pf::CreateThread(&CNotificationThread::NotificationThreadProc, self, &id);
    if (self->thread_ == pf::kNullHandle) {
        self->references_ = 1;
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CNotificationThread::Initialize - AfxBeginThread() failed with error code %d",
                   static_cast<int>(pf::GetLastError()));
        return EKLV_NO_RESOURCES;
    }
    self->pair_.context = values != nullptr ? values[0] : 0;
    self->pair_.function = values != nullptr ? reinterpret_cast<EKLVNotifyCallback>(values[1]) : nullptr;
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CNotificationThread::Initialize - OK");
    return EKLV_OK;
}

// The supervisor has stopped the thread and given it its wait, so normally
// the thread has ended and this releases the object. A thread the supervisor
// did not stop (not registered yet) is stopped here. One still stuck in a
// host callback after its wait cannot be ended on every platform: it is left
// to end on its own, no callback starts any more, and it deletes the object
// when it lets go of it; its system thread is joined by the next thread start
// or ReapEndedThreads.
std::uint32_t CNotificationThread::UnInitialize() {
    CNotificationThread* self = g_instance;
    if (self == nullptr) return 0;
    g_instance = nullptr;
    self->RequestStop();
    self->gate_.Close();
    if (!self->Release()) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CNotificationThread::UnInitialize - thread still running");
        return 0;
    }
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CNotificationThread::UnInitialize - OK");
    return 0;
}

bool CNotificationThread::Release() {
    if (references_.fetch_sub(1) != 1) return false;
    delete this;
    return true;
}

// A stop that comes before the window exists finds no window to post to; the
// thread then sees stopping_ before it pumps (both sides write, then read).
void CNotificationThread::RequestStop() {
    stopping_ = true;
    const pf::Hwnd hwnd = window_handle_.load();
    if (hwnd != 0) pf::PostMessageA(hwnd, pf::kWmQuit, 0, 0);
}

int CNotificationThread::StopRoutine() {
    if (CNotificationThread* self = g_instance) self->RequestStop();
    return 0;
}

std::uint32_t CNotificationThread::NotificationThreadProc(void* argument) {
    if (CKLVSupervisor* supervisor = CKLVSupervisor::GetInstance())
        supervisor->OnThreadEntrance(&CNotificationThread::StopRoutine);
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CNotificationThread::NotificationThreadProc entrance");
    auto* self = static_cast<CNotificationThread*>(argument);
    if (self == nullptr || g_instance == nullptr) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CNotificationThread::NotificationThreadProc - m_pInstance is NULL");
    } else {
        pf::ScopedLock lock(self->thread_lock_);
        auto* window = new (std::nothrow) CNotificationWnd(&self->gate_);
        if (window == nullptr || !window->Create()) {
            LogMessage(kNoDevice, kLogError, kCatGeneral, "CNotificationWnd init failed");
            delete window;
        } else {
            self->window_ = window;
            self->window_handle_ = window->hwnd();
            if (CKLVMsgDispatcher* dispatcher = CKLVMsgDispatcher::GetInstance())
                dispatcher->AddClientWindow(window->hwnd(), kLibraryWindows);
            if (self->pair_.context != 0 && self->pair_.function != nullptr)
                CKLVMsgDispatcher::DispatchMessage(Messages().regcallback, 1,
                                                   reinterpret_cast<pf::LParam>(&self->pair_), 0, 1);
            pf::Msg msg;
            if (!self->stopping_) {
                while (pf::GetMessageA(&msg, window->hwnd(), 0, 0) > 0 && msg.message != pf::kWmQuit) {
                    pf::TranslateMessage(&msg);
                    pf::DispatchMessageA(&msg);
                }
            }
            self->window_handle_ = 0;
            self->window_ = nullptr;
            delete window;  // releases the pairs, the queued blocks and the window
        }
    }
    if (self != nullptr) self->Release();  // may delete the object: not used below
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CNotificationThread::NotificationThreadProc - exit");
    CKLVSupervisor::ThreadExit();
    return 1;
}

}  // namespace eklv
