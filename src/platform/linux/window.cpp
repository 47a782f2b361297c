// Message windows: the backend forwards to libeklv_host, which the host
// shares, so the library's windows and the host's live in one message space.
#include "platform/window.h"

#include <unordered_set>

#include "eklv/eklv_host.h"
#include "platform/handle.h"
#include "platform/linux/devnotify.h"

namespace eklv::pf {
namespace {

struct ProcBinding {
    WindowProc proc;
    void* context;
};

// The bindings of the calling thread's windows. A window is freed by its
// WM_DESTROY; one that ends with its thread gets none, so what is left goes
// when the thread ends (procedures run only on the owning thread, which no
// longer pumps then).
struct ThreadBindings {
    std::unordered_set<ProcBinding*> live;
    ~ThreadBindings() {
        for (ProcBinding* binding : live) delete binding;
    }
};
thread_local ThreadBindings t_bindings;

intptr_t Trampoline(EKLV_HWND hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam, void* user) {
    auto* binding = static_cast<ProcBinding*>(user);
    // Device-change broadcasts arrive as a private message with a token; the
    // procedure sees WM_DEVICECHANGE with the payload (devnotify.h).
    LResult result = 0;
    if (lx::DeliverDeviceBroadcast(hwnd, message, lparam, binding->proc, binding->context, &result)) return result;
    result = binding->proc(hwnd, message, wparam, lparam, binding->context);
    if (message == kWmDestroy) {  // the last message a window receives
        t_bindings.live.erase(binding);
        delete binding;
    }
    return result;
}

void ToMsg(const EKLVMsg& in, Msg* out) {
    out->hwnd = in.hwnd;
    out->message = in.message;
    out->wparam = in.wparam;
    out->lparam = in.lparam;
    out->time = in.time;
}

EKLVMsg FromMsg(const Msg& in) { return EKLVMsg{in.hwnd, in.message, in.wparam, in.lparam, in.time}; }

}  // namespace

std::uint32_t RegisterWindowMessageA(const char* name) { return EKLVHostRegisterWindowMessage(name); }

Hwnd CreateMessageWindow(WindowProc proc, void* context) {
    if (proc == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    auto* binding = new ProcBinding{proc, context};
    Hwnd hwnd = EKLVHostCreateWindow(&Trampoline, binding);
    if (hwnd == 0) {
        delete binding;
        SetLastError(kErrorNotEnoughMemory);
        return 0;
    }
    t_bindings.live.insert(binding);
    return hwnd;
}

bool DestroyWindow(Hwnd hwnd) { return EKLVHostDestroyWindow(hwnd) != 0; }
bool IsWindow(Hwnd hwnd) { return EKLVHostIsWindow(hwnd) != 0; }

bool PostMessageA(Hwnd hwnd, std::uint32_t message, WParam wparam, LParam lparam) {
    if (EKLVHostPostMessage(hwnd, message, wparam, lparam) != 0) return true;
    SetLastError(1400);  // ERROR_INVALID_WINDOW_HANDLE
    return false;
}

LResult SendMessageA(Hwnd hwnd, std::uint32_t message, WParam wparam, LParam lparam) {
    return EKLVHostSendMessage(hwnd, message, wparam, lparam);
}

int GetMessageA(Msg* msg, Hwnd hwnd, std::uint32_t min, std::uint32_t max) {
    EKLVMsg m{};
    int r = EKLVHostGetMessage(&m, hwnd, min, max);
    if (r >= 0 && msg != nullptr) ToMsg(m, msg);
    return r;
}

bool PeekMessageA(Msg* msg, Hwnd hwnd, std::uint32_t min, std::uint32_t max, bool remove) {
    EKLVMsg m{};
    if (EKLVHostPeekMessage(&m, hwnd, min, max, remove ? 1 : 0) != 1) return false;
    if (msg != nullptr) ToMsg(m, msg);
    return true;
}

bool TranslateMessage(const Msg* msg) {
    if (msg == nullptr) return false;
    EKLVMsg m = FromMsg(*msg);
    return EKLVHostTranslateMessage(&m) != 0;
}

LResult DispatchMessageA(const Msg* msg) {
    if (msg == nullptr) return 0;
    EKLVMsg m = FromMsg(*msg);
    return EKLVHostDispatchMessage(&m);
}

}  // namespace eklv::pf
