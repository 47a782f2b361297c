#include "notify/notification_thread.h"

#include <new>

#include "core/supervisor.h"
#include "log/message_logger.h"
#include "notify/msg_dispatcher.h"
#include "notify/registered_messages.h"
#include "platform/thread.h"

namespace eklv {
namespace {

CNotificationThread* g_instance = nullptr;

// At shutdown the supervisor has given the thread its wait; this last wait
// only covers the few steps after its message loop.
constexpr std::uint32_t kFinalJoinMs = 5000;

}  // namespace

CNotificationThread::~CNotificationThread() {
    if (thread_ != pf::kNullHandle) pf::CloseHandle(thread_);
}

CNotificationThread* CNotificationThread::GetInstance() { return g_instance; }

std::uint32_t CNotificationThread::Initialize(const std::uintptr_t values[2]) {
    if (g_instance != nullptr) {
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CNotificationThread::Initialize - OK");
        return 0;
    }
    auto* self = new (std::nothrow) CNotificationThread;
    if (self == nullptr) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CNotificationThread::Initialize - No memory");
        return 16;
    }
    g_instance = self;
    // The thread reads the pair only after this lock is released.
    pf::ScopedLock lock(self->thread_lock_);
    std::uint32_t id = 0;
    self->thread_ = pf::CreateThread(&CNotificationThread::NotificationThreadProc, self, &id);
    if (self->thread_ == pf::kNullHandle) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CNotificationThread::Initialize - AfxBeginThread() failed with error code %d",
                   static_cast<int>(pf::GetLastError()));
        return 16;
    }
    self->pair_.context = values != nullptr ? values[0] : 0;
    self->pair_.function = values != nullptr ? reinterpret_cast<EKLVNotifyCallback>(values[1]) : nullptr;
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CNotificationThread::Initialize - OK");
    return 0;
}

std::uint32_t CNotificationThread::UnInitialize() {
    CNotificationThread* self = g_instance;
    if (self == nullptr) return 0;
    // The supervisor has stopped the thread; make sure it has left its body
    // before the object it uses goes.
    if (self->thread_ != pf::kNullHandle && pf::WaitForSingleObject(self->thread_, kFinalJoinMs) != pf::kWaitObject0) {
        // Stuck in a host callback: keep the object rather than free it under the thread.
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CNotificationThread::UnInitialize - thread still running");
        g_instance = nullptr;
        return 0;
    }
    g_instance = nullptr;
    delete self;
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CNotificationThread::UnInitialize - OK");
    return 0;
}

int CNotificationThread::StopRoutine() {
    CNotificationThread* self = g_instance;
    if (self != nullptr && self->window_handle_.load() != 0)
        pf::PostMessageA(self->window_handle_.load(), pf::kWmQuit, 0, 0);
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
        auto* window = new (std::nothrow) CNotificationWnd;
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
            while (pf::GetMessageA(&msg, window->hwnd(), 0, 0) > 0 && msg.message != pf::kWmQuit) {
                pf::TranslateMessage(&msg);
                pf::DispatchMessageA(&msg);
            }
            self->window_handle_ = 0;
            self->window_ = nullptr;
            delete window;  // releases the pairs, the queued blocks and the window
        }
    }
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CNotificationThread::NotificationThreadProc - exit");
    if (CKLVSupervisor* supervisor = CKLVSupervisor::GetInstance()) supervisor->OnThreadExit();
    return 1;
}

}  // namespace eklv
