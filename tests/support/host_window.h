// A host window on a thread of its own that records the interface arrival
// and removal messages it receives, as a host program would see them, and
// counts them with the time of the latest (for the benchmarks). A test can
// destroy it early, as a host closing its window while the library still
// posts to it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "eklv/eklv_host.h"
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
        EKLVHostPostMessage(hwnd_, EKLV_WM_QUIT, 0, 0);
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
        EKLVHostPostMessage(hwnd_, kDestroyRequest, 0, 0);
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
    static intptr_t Proc(EKLV_HWND, uint32_t message, uintptr_t wparam, intptr_t lparam, void* user) {
        auto* self = static_cast<HostWindow*>(user);
        const bool arrival = message == self->arrival_;
        if (!arrival && message != self->removal_) return 0;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            self->messages_.push_back({arrival, static_cast<std::uint32_t>(wparam), static_cast<std::uint32_t>(lparam)});
            self->changed_.notify_all();
        }
        (arrival ? self->arrivals : self->removals).Add();
        return 0;
    }
    void Run() {
        EKLV_HWND hwnd = EKLVHostCreateWindow(&Proc, this);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            hwnd_ = hwnd;
            changed_.notify_all();
        }
        EKLVMsg msg;
        while (EKLVHostGetMessage(&msg, hwnd, 0, 0) > 0 && msg.message != EKLV_WM_QUIT &&
               msg.message != kDestroyRequest)
            EKLVHostDispatchMessage(&msg);
        EKLVHostDestroyWindow(hwnd);
        std::lock_guard<std::mutex> lock(mutex_);
        destroyed_ = true;
        changed_.notify_all();
    }
    static constexpr std::uint32_t kDestroyRequest = EKLV_WM_USER + 1;
    const std::uint32_t arrival_ = EKLVHostRegisterWindowMessage(EKLV_MSG_INTERFACE_ARRIVAL);
    const std::uint32_t removal_ = EKLVHostRegisterWindowMessage(EKLV_MSG_INTERFACE_REMOVAL);
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    EKLV_HWND hwnd_ = 0;
    bool destroyed_ = false;
    std::vector<HostMessage> messages_;
};

}  // namespace eklv::test
