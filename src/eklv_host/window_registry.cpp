#include "eklv_host/window_registry.h"

#include <limits>
#include <utility>

namespace eklv::msgwin {

EKLV_HWND WindowRegistry::Add(EKLVWndProc proc, void* user, std::shared_ptr<ThreadQueue> owner) {
    if (next_ > std::numeric_limits<EKLV_HWND>::max() - 2) return 0;
    EKLV_HWND hwnd = next_;
    windows_.emplace(hwnd, Window{proc, user, std::move(owner)});
    next_ += 2;
    return hwnd;
}

const Window* WindowRegistry::Find(EKLV_HWND hwnd) const {
    auto found = windows_.find(hwnd);
    return found == windows_.end() ? nullptr : &found->second;
}

void WindowRegistry::Remove(EKLV_HWND hwnd) { windows_.erase(hwnd); }

void WindowRegistry::RemoveOwnedBy(const ThreadQueue* owner) {
    std::erase_if(windows_, [owner](const auto& entry) { return entry.second.owner.get() == owner; });
}

}  // namespace eklv::msgwin
