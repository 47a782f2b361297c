// Message windows and registered messages: user32's own. The library's
// windows are message-only windows (HWND_MESSAGE) of one window class whose
// procedure calls the core's procedure with its context.
#include "platform/window.h"

#include <windows.h>

#include <new>

namespace eklv::pf {
namespace {

constexpr char kClassName[] = "EKLVMessageWindow";

struct Binding {
    WindowProc proc;
    void* context;
};

LRESULT CALLBACK ClassProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTA*>(lparam);
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* binding = reinterpret_cast<Binding*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (binding == nullptr) return ::DefWindowProcA(hwnd, message, wparam, lparam);
    if (message == WM_NCDESTROY) {  // the last message a window receives
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
        delete binding;
        return ::DefWindowProcA(hwnd, message, wparam, lparam);
    }
    if (message == WM_NCCREATE || message == WM_CREATE || message == WM_GETMINMAXINFO || message == WM_NCCALCSIZE)
        return ::DefWindowProcA(hwnd, message, wparam, lparam);
    try {
        return binding->proc(reinterpret_cast<Hwnd>(hwnd), message, wparam, lparam, binding->context);
    } catch (...) {
        return 0;  // nothing leaves a window procedure by exception
    }
}

HINSTANCE OwnModule() {
    HMODULE module = nullptr;
    ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCSTR>(&ClassProc), &module);
    return module;
}

bool RegisterClassOnce() {
    // A class registered by an earlier load of the DLL at another address
    // would call a procedure that is gone; the class is unregistered when
    // the module unloads (dll_main.cpp) and registered again here.
    WNDCLASSEXA existing{};
    existing.cbSize = sizeof existing;
    if (::GetClassInfoExA(OwnModule(), kClassName, &existing)) return true;
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &ClassProc;
    wc.hInstance = OwnModule();
    wc.lpszClassName = kClassName;
    return ::RegisterClassExA(&wc) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

namespace w32 {
void UnregisterWindowClass() { ::UnregisterClassA(kClassName, OwnModule()); }
}  // namespace w32

std::uint32_t RegisterWindowMessageA(const char* name) { return ::RegisterWindowMessageA(name); }

Hwnd CreateMessageWindow(WindowProc proc, void* context) {
    if (proc == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!RegisterClassOnce()) return 0;
    auto* binding = new (std::nothrow) Binding{proc, context};
    if (binding == nullptr) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    HWND hwnd = ::CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, OwnModule(), binding);
    if (hwnd == nullptr) {
        DWORD error = ::GetLastError();
        delete binding;
        ::SetLastError(error);
        return 0;
    }
    return reinterpret_cast<Hwnd>(hwnd);
}

bool DestroyWindow(Hwnd hwnd) { return ::DestroyWindow(reinterpret_cast<HWND>(hwnd)) != FALSE; }
bool IsWindow(Hwnd hwnd) { return ::IsWindow(reinterpret_cast<HWND>(hwnd)) != FALSE; }

bool PostMessageA(Hwnd hwnd, std::uint32_t message, WParam wparam, LParam lparam) {
    return ::PostMessageA(reinterpret_cast<HWND>(hwnd), message, wparam, lparam) != FALSE;
}

LResult SendMessageA(Hwnd hwnd, std::uint32_t message, WParam wparam, LParam lparam) {
    return ::SendMessageA(reinterpret_cast<HWND>(hwnd), message, wparam, lparam);
}

namespace {
void ToMsg(const MSG& in, Msg* out) {
    out->hwnd = reinterpret_cast<Hwnd>(in.hwnd);
    out->message = in.message;
    out->wparam = in.wParam;
    out->lparam = in.lParam;
    out->time = in.time;
}
MSG FromMsg(const Msg& in) {
    MSG m{};
    m.hwnd = reinterpret_cast<HWND>(in.hwnd);
    m.message = in.message;
    m.wParam = in.wparam;
    m.lParam = in.lparam;
    m.time = in.time;
    return m;
}
}  // namespace

int GetMessageA(Msg* msg, Hwnd hwnd, std::uint32_t min, std::uint32_t max) {
    MSG m{};
    BOOL r = ::GetMessageA(&m, reinterpret_cast<HWND>(hwnd), min, max);
    if (r == -1) return -1;
    if (msg != nullptr) ToMsg(m, msg);
    return r == 0 ? 0 : 1;
}

bool PeekMessageA(Msg* msg, Hwnd hwnd, std::uint32_t min, std::uint32_t max, bool remove) {
    MSG m{};
    if (!::PeekMessageA(&m, reinterpret_cast<HWND>(hwnd), min, max, remove ? PM_REMOVE : PM_NOREMOVE)) return false;
    if (msg != nullptr) ToMsg(m, msg);
    return true;
}

bool TranslateMessage(const Msg* msg) {
    if (msg == nullptr) return false;
    MSG m = FromMsg(*msg);
    return ::TranslateMessage(&m) != FALSE;
}

LResult DispatchMessageA(const Msg* msg) {
    if (msg == nullptr) return 0;
    MSG m = FromMsg(*msg);
    return ::DispatchMessageA(&m);
}

}  // namespace eklv::pf
