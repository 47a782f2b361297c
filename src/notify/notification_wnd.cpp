#include <exception>
#include <new>
#include <string>

#include "log/message_logger.h"
#include "notify/notification_thread.h"
#include "notify/registered_messages.h"

namespace eklv {

CNotificationWnd::~CNotificationWnd() {
    Destroy();
    for (CallbackPair* pair : callbacks_) delete pair;
}

bool CNotificationWnd::Create() {
    hwnd_ = pf::CreateMessageWindow(&CNotificationWnd::WindowProc, this);
    return hwnd_ != 0;
}

void CNotificationWnd::Destroy() {
    if (hwnd_ == 0) return;
    ReleaseQueuedBlocks();
    pf::DestroyWindow(hwnd_);
    hwnd_ = 0;
}

// Blocks still queued when the window goes would be dropped with the queue;
// this window is the only one that releases blocks, so it takes them out.
void CNotificationWnd::ReleaseQueuedBlocks() {
    const std::uint32_t notification = Messages().notification;
    pf::Msg msg;
    while (pf::PeekMessageA(&msg, hwnd_, notification, notification, true))
        delete reinterpret_cast<EKLVNotificationBlock*>(msg.wparam);
}

pf::LResult CNotificationWnd::WindowProc(pf::Hwnd, std::uint32_t message, pf::WParam wparam, pf::LParam lparam,
                                         void* context) {
    auto* self = static_cast<CNotificationWnd*>(context);
    const RegisteredMessages& m = Messages();
    if (message == m.notification) return self->OnNotification(reinterpret_cast<EKLVNotificationBlock*>(wparam));
    if (message == m.regcallback) return self->OnRegCallback(wparam, reinterpret_cast<const CallbackPair*>(lparam));
    return 0;
}

pf::LResult CNotificationWnd::OnRegCallback(pf::WParam wparam, const CallbackPair* pair) {
    if (pair == nullptr) return 0;
    pf::ScopedLock lock(callback_lock_);
    if (wparam == 1) {
        auto* copy = new (std::nothrow) CallbackPair(*pair);
        if (copy == nullptr) return 0;
        callbacks_.push_back(copy);
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "Callback added, obj = (%#010x), func = (%#010x)",
                   static_cast<unsigned>(pair->context), static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(pair->function)));
        return 0;
    }
    for (auto it = callbacks_.begin(); it != callbacks_.end(); ++it) {
        if ((*it)->function == pair->function && (*it)->context == pair->context) {
            delete *it;
            callbacks_.erase(it);
            LogMessage(kNoDevice, kLogInfo, kCatGeneral, "Callback removed, obj = (%#010x), func = (%#010x)",
                       static_cast<unsigned>(pair->context),
                       static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(pair->function)));
            break;
        }
    }
    return 0;
}

pf::LResult CNotificationWnd::OnNotification(EKLVNotificationBlock* block) {
    pf::ScopedLock lock(callback_lock_);
    if (block == nullptr) {
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "OnNotification - NULL device data");
        return 0;
    }
    for (CallbackPair* pair : callbacks_) {
        // Closed at shutdown: the block is released without further calls.
        if (gate_ != nullptr && !gate_->Enter()) break;
        const unsigned obj = static_cast<unsigned>(pair->context);
        const unsigned func = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(pair->function));
        try {
            pair->function(pair->context, block);
            LogMessage(block->device_id, kLogInfo, kCatGeneral, "Callback returned, obj = (%#010x), func = (%#010x)",
                       obj, func);
        } catch (const std::exception& error) {
            std::string text = std::string(error.what()).substr(0, 255);
            LogMessage(block->device_id, kLogError, kCatGeneral, "Catch Callback error %s", text.c_str());
        } catch (...) {
            LogMessage(block->device_id, kLogError, kCatGeneral, "Catch Callback error %s", "unknown exception");
        }
        if (gate_ != nullptr) gate_->Leave();
    }
    delete block;
    return 0;
}

std::size_t CNotificationWnd::callback_count() {
    pf::ScopedLock lock(callback_lock_);
    return callbacks_.size();
}

}  // namespace eklv
