// A window on a thread of its own that registers for device-change
// broadcasts and records what its procedure receives, as the library's
// device-change window does.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/devnotify.h"
#include "platform/module.h"
#include "platform/window.h"

namespace eklv::test {

struct Seen {
    std::uint32_t event;
    std::string interface_class;  // lower case, no braces; empty for node changes
    std::string name;
};

// The class of a rig class text ("{86e0...}").
inline pf::Guid ClassOf(const char* braced) {
    std::string text(braced + 1, std::strlen(braced) - 2);
    pf::Guid guid{};
    pf::UuidFromStringA(text.c_str(), &guid);
    return guid;
}

class Listener {
public:
    // Registers the window for each class once its thread runs.
    explicit Listener(std::vector<pf::Guid> classes) : thread_([this, classes] { Run(classes); }) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return ready_; });
    }

    ~Listener() {
        Quit();
        if (thread_.joinable()) thread_.join();
    }

    pf::Hwnd hwnd() const { return hwnd_; }
    const std::vector<pf::HDevNotify>& handles() const { return handles_; }

    // Releases the registrations from the calling thread.
    void Unregister() {
        for (pf::HDevNotify handle : handles_) pf::UnregisterDeviceNotification(handle);
        handles_.clear();
    }

    // Ends the thread: it unregisters and destroys its window first unless
    // told to leave both behind.
    void Quit(bool leave_registrations = false) {
        leave_ = leave_registrations;
        if (hwnd_ != 0) pf::PostMessageA(hwnd_, pf::kWmQuit, 0, 0);
        if (thread_.joinable()) thread_.join();
    }

    // Keeps the thread from pumping until Resume.
    void Pause() {
        std::lock_guard<std::mutex> lock(mutex_);
        paused_ = true;
        pf::PostMessageA(hwnd_, pf::kWmDeviceChange + 1, 0, 0);  // wakes the loop into the pause
    }
    void Resume() {
        std::lock_guard<std::mutex> lock(mutex_);
        paused_ = false;
        changed_.notify_all();
    }
    // Ends the paused thread without pumping what is queued and without
    // unregistering: its window goes with the thread.
    void Abandon() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            abandon_ = true;
            changed_.notify_all();
        }
        if (thread_.joinable()) thread_.join();
    }
    bool WaitPaused() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return in_pause_; });
    }

    std::vector<Seen> seen() {
        std::lock_guard<std::mutex> lock(mutex_);
        return seen_;
    }

    // Waits up to timeout for the records to satisfy done.
    bool WaitUntil(const std::function<bool(const std::vector<Seen>&)>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return done(seen_); });
    }
    bool WaitCount(std::uint32_t event, std::size_t n) {
        return WaitUntil([&](const std::vector<Seen>& s) { return Count(s, event) >= n; });
    }
    static std::size_t Count(const std::vector<Seen>& s, std::uint32_t event) {
        std::size_t n = 0;
        for (const Seen& x : s) n += x.event == event;
        return n;
    }

private:
    static pf::LResult Proc(pf::Hwnd, std::uint32_t message, pf::WParam wparam, pf::LParam lparam, void* context) {
        if (message != pf::kWmDeviceChange) return 0;
        auto* self = static_cast<Listener*>(context);
        Seen seen{static_cast<std::uint32_t>(wparam), {}, {}};
        if (lparam != 0) {
            const auto* b = reinterpret_cast<const pf::DevBroadcastDeviceInterfaceA*>(lparam);
            EXPECT_EQ(b->dbcc_devicetype, pf::kDbtDevtypDeviceInterface);
            EXPECT_EQ(b->dbcc_size, 28 + std::strlen(b->dbcc_name) + 1);
            seen.interface_class = pf::GuidToString(b->dbcc_classguid);
            seen.name = b->dbcc_name;
        }
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->seen_.push_back(std::move(seen));
        self->changed_.notify_all();
        return 1;
    }

    void Run(const std::vector<pf::Guid>& classes) {
        hwnd_ = pf::CreateMessageWindow(&Proc, this);
        for (const pf::Guid& c : classes) {
            pf::DevBroadcastDeviceInterfaceA filter{};
            filter.dbcc_size = sizeof filter;
            filter.dbcc_devicetype = pf::kDbtDevtypDeviceInterface;
            filter.dbcc_classguid = c;
            handles_.push_back(pf::RegisterDeviceNotificationA(hwnd_, &filter, pf::kDeviceNotifyWindowHandle));
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ready_ = true;
            changed_.notify_all();
        }
        pf::Msg msg{};
        while (pf::GetMessageA(&msg, 0, 0, 0) > 0) {
            if (msg.hwnd == hwnd_ && msg.message == pf::kWmDeviceChange + 1) {
                std::unique_lock<std::mutex> lock(mutex_);
                in_pause_ = true;
                changed_.notify_all();
                changed_.wait(lock, [&] { return !paused_ || abandon_; });
                in_pause_ = false;
                if (abandon_) return;
                continue;
            }
            pf::DispatchMessageA(&msg);
        }
        if (!leave_) {
            Unregister();
            pf::DestroyWindow(hwnd_);
        }
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    bool ready_ = false;
    bool paused_ = false;
    bool in_pause_ = false;
    bool leave_ = false;
    bool abandon_ = false;
    pf::Hwnd hwnd_ = 0;
    std::vector<pf::HDevNotify> handles_;
    std::vector<Seen> seen_;
    std::thread thread_;
};

}  // namespace eklv::test
