// The callback thread: a hidden window that receives the host notification
// blocks posted to the library windows and hands each to the host's
// callbacks, in registration order, on this one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>

#include "eklv/eklv.h"
#include "platform/handle.h"
#include "platform/sync.h"
#include "platform/window.h"

namespace eklv {

// The host's context value and callback function.
struct CallbackPair {
    std::uintptr_t context;
    EKLVNotifyCallback function;
};

// Lets host callbacks start until it is closed. A call under way when it
// closes runs to its end; none starts afterwards, so that a host is not
// called back once EKLVUninitialize has returned.
class CallbackGate {
public:
    // True when a callback may be called now; pair with Leave.
    bool Enter() {
        int open = kOpen;
        return state_.compare_exchange_strong(open, kInCall);
    }
    void Leave() {
        int in_call = kInCall;
        state_.compare_exchange_strong(in_call, kOpen);
    }
    void Close() { state_ = kClosed; }

private:
    enum : int { kOpen, kInCall, kClosed };
    std::atomic<int> state_{kOpen};
};

class CNotificationWnd {
public:
    // gate, when given, must outlive the window.
    explicit CNotificationWnd(CallbackGate* gate = nullptr) : gate_(gate) {}
    ~CNotificationWnd();

    // Creates the hidden window on the calling thread; false on failure.
    bool Create();
    void Destroy();
    pf::Hwnd hwnd() const { return hwnd_; }

    // wparam 1 adds a copy of the pair, anything else removes the first
    // equal pair. Answers 0.
    pf::LResult OnRegCallback(pf::WParam wparam, const CallbackPair* pair);
    // Calls every callback with the block, then releases the block.
    pf::LResult OnNotification(EKLVNotificationBlock* block);

    std::size_t callback_count();

private:
    static pf::LResult WindowProc(pf::Hwnd hwnd, std::uint32_t message, pf::WParam wparam, pf::LParam lparam,
                                  void* context);
    void ReleaseQueuedBlocks();

    pf::Hwnd hwnd_ = 0;
    CallbackGate* gate_;
    pf::CriticalSection callback_lock_;
    std::list<CallbackPair*> callbacks_;
};

class CNotificationThread {
public:
    // Starts the thread when the object does not exist; values[0] is the
    // context, values[1] the function. 0, or 16 on failure.
    static std::uint32_t Initialize(const std::uintptr_t values[2]);
    static std::uint32_t UnInitialize();
    static CNotificationThread* GetInstance();

    // The thread's window, or 0 before it exists and after it is gone.
    pf::Hwnd window_handle() const { return window_handle_.load(); }

private:
    CNotificationThread() = default;
    ~CNotificationThread();

    static std::uint32_t NotificationThreadProc(void* argument);
    static int StopRoutine();
    void RequestStop();
    // Drops one of the two references (UnInitialize's and the thread's);
    // the last one deletes the object. Answers whether it did.
    bool Release();

    std::atomic<CNotificationWnd*> window_{nullptr};
    std::atomic<pf::Hwnd> window_handle_{0};
    pf::CriticalSection thread_lock_;
    CallbackPair pair_{0, nullptr};
    pf::Handle thread_ = pf::kNullHandle;
    // A thread stuck in a host callback can outlive UnInitialize: the object
    // then stays until the thread lets go of it.
    std::atomic<int> references_{1};
    std::atomic<bool> stopping_{false};
    CallbackGate gate_;
};

}  // namespace eklv
