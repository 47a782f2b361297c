#include "notify/msg_dispatcher.h"

#include <map>
#include <new>
#include <string>

#include "log/message_logger.h"
#include "notify/registered_messages.h"
#include "platform/sync.h"

namespace eklv {
namespace {

pf::CriticalSection& DispatcherLock() {
    static pf::CriticalSection lock;
    return lock;
}

CKLVMsgDispatcher* g_instance = nullptr;

struct DispatcherReaper {
    ~DispatcherReaper() {
        delete g_instance;
        g_instance = nullptr;
    }
} g_reaper;

// Names of the messages whose dispatch is logged; the two that nothing sends
// are left out on purpose.
std::map<std::uint32_t, std::string>& NameMap() {
    static std::map<std::uint32_t, std::string> names;
    return names;
}

}  // namespace

bool WindowSet::Contains(pf::Hwnd hwnd) const {
    for (pf::Hwnd member : buckets_[(hwnd >> 4) % kBuckets])
        if (member == hwnd) return true;
    return false;
}

void WindowSet::Add(pf::Hwnd hwnd) {
    if (Contains(hwnd)) return;
    auto& bucket = buckets_[(hwnd >> 4) % kBuckets];
    bucket.insert(bucket.begin(), hwnd);
    ++size_;
}

std::vector<pf::Hwnd> WindowSet::Members() const {
    std::vector<pf::Hwnd> members;
    members.reserve(size_);
    for (const auto& bucket : buckets_) members.insert(members.end(), bucket.begin(), bucket.end());
    return members;
}

CKLVMsgDispatcher::~CKLVMsgDispatcher() = default;

CKLVMsgDispatcher* CKLVMsgDispatcher::GetInstance() {
    pf::ScopedLock lock(DispatcherLock());
    if (g_instance != nullptr) return g_instance;
    g_instance = new (std::nothrow) CKLVMsgDispatcher;
    const RegisteredMessages& m = Messages();
    auto& names = NameMap();
    names[m.interface_arrival] = "WM_ZORVAN_INTERFACE_ARRIVAL";
    names[m.interface_removal] = "WM_ZORVAN_INTERFACE_REMOVAL";
    names[m.notification] = "WM_EKLV_NOTIFICATION";
    names[m.regcallback] = "WM_EKLV_REGCALLBACK";
    return g_instance;
}

CKLVMsgDispatcher* CKLVMsgDispatcher::PeekInstance() {
    pf::ScopedLock lock(DispatcherLock());
    return g_instance;
}

std::uint32_t CKLVMsgDispatcher::Initialize(pf::Hwnd client_window) {
    CKLVMsgDispatcher* dispatcher = GetInstance();
    if (dispatcher == nullptr) return 1;
    if (client_window == 0) return 0;
    return dispatcher->AddClientWindow(client_window, kClientWindows);
}

std::uint32_t CKLVMsgDispatcher::UnInitialize() {
    CKLVMsgDispatcher* doomed;
    {
        pf::ScopedLock lock(DispatcherLock());
        doomed = g_instance;
        g_instance = nullptr;
    }
    if (doomed != nullptr) {
        delete doomed;
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVMsgDispatcher::UnInitialize - OK");
    }
    return 0;
}

std::uint32_t CKLVMsgDispatcher::AddClientWindow(pf::Hwnd hwnd, std::uint32_t index) {
    if (hwnd == 0 || hwnd == 65535) return 1;
    pf::ScopedLock lock(DispatcherLock());
    if (index < 2) sets_[index].Add(hwnd);
    return 0;
}

std::vector<pf::Hwnd> CKLVMsgDispatcher::WindowsOf(std::uint32_t index) {
    pf::ScopedLock lock(DispatcherLock());
    return index < 2 ? sets_[index].Members() : std::vector<pf::Hwnd>{};
}

bool CKLVMsgDispatcher::DispatchMessage(std::uint32_t message, pf::WParam wparam, pf::LParam lparam, std::uint32_t b,
                                        std::uint32_t i, std::vector<pf::Hwnd>* delivered) {
    std::string name;
    {
        pf::ScopedLock lock(DispatcherLock());
        auto it = NameMap().find(message);
        if (it != NameMap().end()) name = it->second;
    }
    if (!name.empty())
        LogMessage(kNoDevice, kLogInfo, kCatMessage,
                   "CKLVMsgDispatcher::DispatchMessage - MSG = %s (w = %d, l = %d), [b = %d, i = %d]", name.c_str(),
                   static_cast<int>(wparam), static_cast<int>(lparam), static_cast<int>(b), static_cast<int>(i));
    CKLVMsgDispatcher* dispatcher = GetInstance();
    if (dispatcher == nullptr) return false;
    return dispatcher->DispatchCommonSend(message, wparam, lparam, b, i != 0 ? kLibraryWindows : kClientWindows,
                                          delivered);
}

bool CKLVMsgDispatcher::DispatchCommonSend(std::uint32_t message, pf::WParam wparam, pf::LParam lparam,
                                           std::uint32_t b, std::uint32_t index, std::vector<pf::Hwnd>* delivered) {
    std::vector<pf::Hwnd> windows;
    {
        pf::ScopedLock lock(DispatcherLock());
        if (index < 2) windows = sets_[index].Members();
    }
    if (windows.empty()) {
        LogMessage(kNoDevice, kLogError, kCatMessage, "CKLVMsgDispatcher::DispatchCommonSend - No Client Handle, Block Message");
        return true;
    }
    // Delivered after the lock is released, so a window procedure that
    // dispatches in turn cannot dead-lock on it.
    bool all = true;
    for (pf::Hwnd hwnd : windows) {
        bool ok = b != 0 ? pf::SendMessageA(hwnd, message, wparam, lparam) == 0
                         : pf::PostMessageA(hwnd, message, wparam, lparam);
        all = all && ok;
        if (ok && delivered != nullptr) delivered->push_back(hwnd);
        // Windows are never taken out of a set, so a host window destroyed
        // early keeps failing here; each failure is logged.
        if (!ok)
            LogMessage(kNoDevice, kLogWarning, kCatMessage, "CKLVMsgDispatcher::DispatchCommonSend - %s to window %#llx failed",
                       b != 0 ? "send" : "post", static_cast<unsigned long long>(hwnd));
    }
    return all;
}

}  // namespace eklv
