// Windows: eklv.dll through LoadLibraryA and GetProcAddress, a user32
// message-only window (HWND_MESSAGE: no display needed) with a message loop
// that waits with MsgWaitForMultipleObjects, and Ctrl-C, Ctrl-Break and the
// console's closing through SetConsoleCtrlHandler.
#include "system.h"

#include <windows.h>
#include <winioctl.h>
#include <usbioctl.h>

#include <filesystem>

namespace eklvctl {

const char* const kLibraryFileName = "eklv.dll";
const bool kListenReusesAddress = false;

namespace {

std::string ErrorText(DWORD code) {
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = n != 0 && text != nullptr ? std::string(text, n) : "unknown reason";
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message + " (error " + std::to_string(code) + ")";
}

std::string ModuleFile(HMODULE module) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(module, path, sizeof path);
    return n == 0 || n >= sizeof path ? std::string() : std::string(path, n);
}

}  // namespace

std::string ProgramFolder() {
    std::string self = ModuleFile(nullptr);
    return self.empty() ? self : std::filesystem::path(self).parent_path().string();
}

int HubPortCount(const std::string& hub_name) {
    HANDLE hub = CreateFileA(hub_name.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (hub == INVALID_HANDLE_VALUE) return -1;
    USB_NODE_INFORMATION info{};
    info.NodeType = UsbHub;
    DWORD bytes = 0;
    BOOL ok = DeviceIoControl(hub, IOCTL_USB_GET_NODE_INFORMATION, &info, sizeof info, &info, sizeof info, &bytes,
                              nullptr);
    CloseHandle(hub);
    if (!ok || bytes < sizeof info) return -1;
    return info.u.HubInformation.HubDescriptor.bNumberOfPorts;
}

std::tm LocalTime(std::time_t seconds) {
    std::tm local{};
    localtime_s(&local, &seconds);
    return local;
}

std::unique_ptr<Module> Module::Load(const std::string& path, std::string* error) {
    HMODULE handle = LoadLibraryA(path.c_str());
    if (handle == nullptr) {
        *error = "cannot load " + path + ": " + ErrorText(GetLastError());
        return nullptr;
    }
    return std::unique_ptr<Module>(new Module(handle));
}

Module::~Module() { FreeLibrary(static_cast<HMODULE>(handle_)); }

void* Module::Symbol(const char* name) const {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

std::string Module::FileName() const { return ModuleFile(static_cast<HMODULE>(handle_)); }

namespace {

constexpr const char* kWindowClass = "eklvctl message window";

ATOM RegisterWindowClass() {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kWindowClass;
    return RegisterClassExA(&wc);
}

}  // namespace

MessageWindow::MessageWindow() {
    static const ATOM window_class = RegisterWindowClass();
    if (window_class == 0) return;
    HWND hwnd = CreateWindowExA(0, kWindowClass, "eklvctl", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
    handle_ = reinterpret_cast<EKLV_HWND>(hwnd);
}

MessageWindow::~MessageWindow() {
    if (handle_ != 0) DestroyWindow(reinterpret_cast<HWND>(handle_));
}

std::uint32_t MessageWindow::Register(const char* name) { return RegisterWindowMessageA(name); }

bool MessageWindow::Post(EKLV_HWND window, std::uint32_t message) {
    return PostMessageA(reinterpret_cast<HWND>(window), message, 0, 0) != 0;
}

MessageWindow::Got MessageWindow::Next(WindowMessage* message, std::uint32_t timeout_ms) {
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) return Got::kBroken;
            if (msg.hwnd == reinterpret_cast<HWND>(handle_) && msg.message >= kFirstPrivateMessage) {
                message->message = msg.message;
                message->wparam = msg.wParam;
                message->lparam = msg.lParam;
                return Got::kMessage;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) return Got::kTimeout;
        DWORD r = MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
        if (r == WAIT_FAILED) return Got::kBroken;
    }
}

namespace {

enum Request { kCtrlC = 1, kCtrlBreak = 2, kConsoleClosing = 3 };

// The console handler runs on a thread of the system's; it reaches the one
// Interrupts object through this pointer, under its lock.
CRITICAL_SECTION* HandlerLock() {
    static CRITICAL_SECTION* lock = [] {
        static CRITICAL_SECTION cs;
        InitializeCriticalSection(&cs);
        return &cs;
    }();
    return lock;
}
Interrupts* g_interrupts = nullptr;

// Set when the Interrupts object is gone, so that a closing console waits
// for the library's uninitialisation before the system ends the process.
// It lives as long as the process.
HANDLE Finished() {
    static HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
}

BOOL WINAPI OnConsoleEvent(DWORD type) {
    int request = type == CTRL_C_EVENT ? kCtrlC : type == CTRL_BREAK_EVENT ? kCtrlBreak : kConsoleClosing;
    EnterCriticalSection(HandlerLock());
    bool handled = g_interrupts != nullptr;
    if (handled) g_interrupts->Raise(request);
    LeaveCriticalSection(HandlerLock());
    // After a close, logoff or shutdown event the system ends the process
    // once the handler returns, or after about 5 seconds.
    if (handled && request == kConsoleClosing) WaitForSingleObject(Finished(), 4500);
    return handled ? TRUE : FALSE;
}

}  // namespace

struct Interrupts::Watcher {
    explicit Watcher(Interrupts& owner) {
        Finished();
        EnterCriticalSection(HandlerLock());
        g_interrupts = &owner;
        LeaveCriticalSection(HandlerLock());
        SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    }

    ~Watcher() {
        SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
        EnterCriticalSection(HandlerLock());
        g_interrupts = nullptr;
        LeaveCriticalSection(HandlerLock());
        SetEvent(Finished());
    }
};

// The console handler is registered per process and runs on a thread of its
// own, so no thread needs preparing.
void Interrupts::Prepare() {}

Interrupts::Interrupts() : watcher_(std::make_unique<Watcher>(*this)) {}

Interrupts::~Interrupts() { watcher_.reset(); }

std::string Interrupts::name() const {
    switch (request_.load()) {
        case kCtrlC:
            return "Ctrl-C";
        case kCtrlBreak:
            return "Ctrl-Break";
        default:
            return "the console closing";
    }
}

}  // namespace eklvctl
