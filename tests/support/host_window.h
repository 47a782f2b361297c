// A host window on a thread of its own that records the interface arrival
// and removal messages it receives, as a host program would see them, and
// counts them with the time of the latest (for the benchmarks). A test can
// destroy it early, as a host closing its window while the library still
// posts to it. On Linux it is a window of eklv_host, on Windows a
// message-only window of user32.
#pragma once

#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#ifdef _WIN32
#include "eklv/eklv.h"
#else
#include "eklv/eklv_host.h"
#endif
#include "support/event_counter.h"

namespace eklv::test {

struct HostMessage {
    bool arrival;
    std::uint32_t device_id;
    std::uint32_t type;
    bool operator==(const HostMessage&) const = default;
};

class HostWindow {
public:
    HostWindow() {
        thread_ = std::thread([this] { Run(); });
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return hwnd_ != 0; });
    }
    ~HostWindow() {
        Post(kQuit);
        thread_.join();
    }
    EKLV_HWND hwnd() const { return hwnd_; }
    // Waits up to 10 s until n messages have come; answers them all.
    std::vector<HostMessage> WaitFor(std::size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return messages_.size() >= n; });
        return messages_;
    }
    // Destroys the window on its thread (EKLVHostDestroyWindow) and waits
    // until it is gone; the messages still queued for it are dropped.
    void Destroy() {
        Post(kDestroyRequest);
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return destroyed_; });
    }
    std::vector<HostMessage> Messages() { return WaitFor(0); }
    // Device ids of the arrivals so far, in order.
    std::vector<std::uint32_t> ArrivedIds() {
        std::vector<std::uint32_t> ids;
        for (const auto& m : Messages())
            if (m.arrival) ids.push_back(m.device_id);
        return ids;
    }
    EventCounter arrivals;
    EventCounter removals;

private:
    void Record(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
        const bool arrival = message == arrival_;
        if (!arrival && message != removal_) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.push_back({arrival, static_cast<std::uint32_t>(wparam), static_cast<std::uint32_t>(lparam)});
            changed_.notify_all();
        }
        (arrival ? arrivals : removals).Add();
    }
    void Created(EKLV_HWND hwnd) {
        std::lock_guard<std::mutex> lock(mutex_);
        hwnd_ = hwnd;
        changed_.notify_all();
    }
    void Ended() {
        std::lock_guard<std::mutex> lock(mutex_);
        destroyed_ = true;
        changed_.notify_all();
    }
#ifdef _WIN32
    static constexpr std::uint32_t kQuit = WM_QUIT;
    static constexpr std::uint32_t kDestroyRequest = WM_USER + 1;
    static std::uint32_t RegisterMessage(const char* name) { return ::RegisterWindowMessageA(name); }
    void Post(std::uint32_t message) { ::PostMessageA(reinterpret_cast<HWND>(hwnd_), message, 0, 0); }
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
        if (auto* self = reinterpret_cast<HostWindow*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA)))
            self->Record(message, wparam, lparam);
        return ::DefWindowProcA(hwnd, message, wparam, lparam);
    }
    void Run() {
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &Proc;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.lpszClassName = "EKLVTestHostWindow";
        ::RegisterClassExA(&wc);  // fails harmlessly once it exists
        HWND hwnd = ::CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                                      nullptr);
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        Created(reinterpret_cast<EKLV_HWND>(hwnd));
        MSG msg;
        while (::GetMessageA(&msg, nullptr, 0, 0) > 0 && msg.message != kDestroyRequest) ::DispatchMessageA(&msg);
        ::DestroyWindow(hwnd);
        Ended();
    }
#else
    static constexpr std::uint32_t kQuit = EKLV_WM_QUIT;
    static constexpr std::uint32_t kDestroyRequest = EKLV_WM_USER + 1;
    static std::uint32_t RegisterMessage(const char* name) { return EKLVHostRegisterWindowMessage(name); }
    void Post(std::uint32_t message) { EKLVHostPostMessage(hwnd_, message, 0, 0); }
    static intptr_t Proc(EKLV_HWND, uint32_t message, uintptr_t wparam, intptr_t lparam, void* user) {
        static_cast<HostWindow*>(user)->Record(message, wparam, lparam);
        return 0;
    }
    void Run() {
        EKLV_HWND hwnd = EKLVHostCreateWindow(&Proc, this);
        Created(hwnd);
        EKLVMsg msg;
        while (EKLVHostGetMessage(&msg, hwnd, 0, 0) > 0 && msg.message != EKLV_WM_QUIT &&
               msg.message != kDestroyRequest)
            EKLVHostDispatchMessage(&msg);
        EKLVHostDestroyWindow(hwnd);
        Ended();
    }
#endif
    const std::uint32_t arrival_ = RegisterMessage(EKLV_MSG_INTERFACE_ARRIVAL);
    const std::uint32_t removal_ = RegisterMessage(EKLV_MSG_INTERFACE_REMOVAL);
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    EKLV_HWND hwnd_ = 0;
    bool destroyed_ = false;
    std::vector<HostMessage> messages_;
};

}  // namespace eklv::test
