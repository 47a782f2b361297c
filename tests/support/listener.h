// A window on a thread of its own, registered for device-change broadcasts,
// that records what its procedure receives ("+name" arrival, "-name"
// removal, "*" node change); it can be paused (not pumping) and abandoned
// (its thread ends with broadcasts queued). It counts the arrivals with the
// time of the latest, for the benchmarks.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/devnotify.h"
#include "platform/window.h"
#include "support/event_counter.h"

namespace eklv::test {

// The class of a rig class text ("{86e0...}").
inline pf::Guid ClassOf(const char* braced) {
    pf::Guid guid{};
    pf::UuidFromStringA(std::string(braced + 1, std::strlen(braced) - 2).c_str(), &guid);
    return guid;
}

class Listener {
public:
    explicit Listener(const char* class_text) : class_(ClassOf(class_text)), thread_([this] { Run(); }) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return hwnd_ != 0; });
    }
    ~Listener() {
        pf::PostMessageA(hwnd_, pf::kWmQuit, 0, 0);
        Abandon();
    }

    pf::HDevNotify handle() const { return handle_; }
    void Unregister() { EXPECT_TRUE(pf::UnregisterDeviceNotification(std::exchange(handle_, nullptr))); }

    // Pause: the thread stops pumping until Resume; Abandon ends it there,
    // leaving window and registration to the end of the thread.
    void Pause() {
        pf::PostMessageA(hwnd_, kPauseMessage, 0, 0);
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return paused_; });
    }
    void Resume() { Set(paused_, false); }
    void Abandon() {
        Set(abandoned_, true);
        if (thread_.joinable()) thread_.join();
    }

    // The records once n of them start with mark ('+', '-', '*'), or after 10 s.
    std::vector<std::string> Wait(char mark, int n) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [&] {
            return std::ranges::count(seen_, mark, [](const std::string& s) { return s[0]; }) >= n;
        });
        return seen_;
    }
    // Arrivals and removals only.
    std::vector<std::string> Interfaces() {
        std::vector<std::string> out = Wait('+', 0);
        std::erase(out, "*");
        return out;
    }
    EventCounter arrivals;

private:
    static constexpr std::uint32_t kPauseMessage = 0x0401;

    void Set(bool& flag, bool value) {
        std::lock_guard<std::mutex> lock(mutex_);
        flag = value;
        changed_.notify_all();
    }

    static pf::LResult Proc(pf::Hwnd, std::uint32_t message, pf::WParam wparam, pf::LParam lparam, void* context) {
        if (message != pf::kWmDeviceChange) return 0;
        auto* self = static_cast<Listener*>(context);
        std::string seen = "*";
        if (lparam != 0) {
            const auto* b = reinterpret_cast<const pf::DevBroadcastDeviceInterfaceA*>(lparam);
            EXPECT_EQ(b->dbcc_devicetype, pf::kDbtDevtypDeviceInterface);
            EXPECT_EQ(b->dbcc_size, 28 + std::strlen(b->dbcc_name) + 1);
            EXPECT_EQ(b->dbcc_classguid, self->class_);
            seen = (wparam == pf::kDbtDeviceArrival ? "+" : wparam == pf::kDbtDeviceRemoveComplete ? "-" : "?") +
                   std::string(b->dbcc_name);
        }
        if (seen[0] == '+') self->arrivals.Add();
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->seen_.push_back(std::move(seen));
        self->changed_.notify_all();
        return 1;
    }

    void Run() {
        pf::Hwnd hwnd = pf::CreateMessageWindow(&Proc, this);
        pf::DevBroadcastDeviceInterfaceA filter{sizeof filter, pf::kDbtDevtypDeviceInterface, 0, class_, {}};
        handle_ = pf::RegisterDeviceNotificationA(hwnd, &filter, pf::kDeviceNotifyWindowHandle);
        EXPECT_NE(handle_, nullptr);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            hwnd_ = hwnd;
            changed_.notify_all();
        }
        pf::Msg msg{};
        while (pf::GetMessageA(&msg, 0, 0, 0) > 0) {
            if (msg.message != kPauseMessage) {
                pf::DispatchMessageA(&msg);
                continue;
            }
            std::unique_lock<std::mutex> lock(mutex_);
            paused_ = true;
            changed_.notify_all();
            changed_.wait(lock, [&] { return !paused_ || abandoned_; });
            if (abandoned_) return;
        }
        if (handle_ != nullptr) pf::UnregisterDeviceNotification(handle_);
        pf::DestroyWindow(hwnd);
    }

    pf::Guid class_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool paused_ = false, abandoned_ = false;
    pf::Hwnd hwnd_ = 0;
    pf::HDevNotify handle_ = nullptr;
    std::vector<std::string> seen_;
    std::thread thread_;
};

}  // namespace eklv::test
