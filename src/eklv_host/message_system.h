// The process-wide message system behind eklv_host.h: windows, their
// threads' queues, and post, send and retrieval.
//
// One lock guards every window and queue, as user32 serialises its own
// window manager: messages here are few (device changes, the library's
// notifications), and a single lock leaves no lock order to get wrong.
// Window procedures always run with the lock released.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "eklv/eklv_host.h"
#include "eklv_host/thread_queue.h"
#include "eklv_host/window_registry.h"

namespace eklv::msgwin {

class MessageSystem {
public:
    static MessageSystem& Instance();

    // A window of the calling thread; 0 for a null proc or a thread that is ending.
    EKLV_HWND CreateWindow(EKLVWndProc proc, void* user);
    // Only the owner destroys a window. Its queued messages are dropped and
    // its waiting senders released first, then its procedure gets
    // EKLV_WM_DESTROY, the last call it ever receives.
    bool DestroyWindow(EKLV_HWND hwnd);
    bool IsWindow(EKLV_HWND hwnd);

    bool Post(EKLV_HWND hwnd, std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam);
    bool PostQuit(int exit_code);
    // The procedure's answer; none when the window is unknown, is destroyed or
    // its thread ends before handling the message, the procedure throws, or
    // the deadline passes. Sends to the caller's own windows are handled
    // while it waits, so threads sending to each other do not deadlock.
    std::optional<std::intptr_t> Send(EKLV_HWND hwnd, std::uint32_t message, std::uintptr_t wparam,
                                      std::intptr_t lparam, const Deadline& deadline);
    // 1 message, 0 EKLV_WM_QUIT, -1 error (null msg, filter not a window of the
    // caller), -2 deadline passed. Handles incoming sends while it waits.
    int Get(EKLVMsg* msg, EKLV_HWND filter, std::uint32_t min, std::uint32_t max, const Deadline& deadline);
    // Handles incoming sends, then looks for a message without waiting.
    bool Peek(EKLVMsg* msg, EKLV_HWND filter, std::uint32_t min, std::uint32_t max, bool remove);
    // Calls the procedure of msg.hwnd when it is a window of the caller; else 0.
    std::intptr_t Dispatch(const EKLVMsg& msg);

    // Called once as a thread ends: its windows go without further calls to
    // their procedures (the thread can no longer run them), its queue is
    // emptied and senders waiting on it are released.
    void EndThread(ThreadQueue& queue);

private:
    bool IsWindowOf(EKLV_HWND hwnd, const ThreadQueue& queue) const;
    // Runs every message other threads have sent to queue's windows.
    void RunSentMessages(std::unique_lock<std::mutex>& lock, ThreadQueue& queue);

    std::mutex mutex_;
    WindowRegistry windows_;
};

}  // namespace eklv::msgwin
