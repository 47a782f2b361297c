// The live windows of the process, by handle.
#pragma once

#include <memory>
#include <unordered_map>

#include "eklv/eklv_host.h"

namespace eklv::msgwin {

class ThreadQueue;

struct Window {
    EKLVWndProc proc;
    void* user;
    std::shared_ptr<ThreadQueue> owner;  // the queue of the creating thread
};

// Guarded by the message system's lock.
class WindowRegistry {
public:
    // Registers a window under a handle never used before in the process;
    // 0 when handles are exhausted.
    EKLV_HWND Add(EKLVWndProc proc, void* user, std::shared_ptr<ThreadQueue> owner);
    // Null for an unknown or destroyed window. Valid until the next change.
    const Window* Find(EKLV_HWND hwnd) const;
    void Remove(EKLV_HWND hwnd);
    void RemoveOwnedBy(const ThreadQueue* owner);

private:
    std::unordered_map<EKLV_HWND, Window> windows_;
    // Even values from 0x10000 up: never 0, and never 65535, which callers
    // treat as "every window".
    EKLV_HWND next_ = 0x10000;
};

}  // namespace eklv::msgwin
