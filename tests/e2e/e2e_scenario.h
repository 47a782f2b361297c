// What the end-to-end tests share on every OS, on the Linux rigs and on the
// Wine rig (tests/windows_rig): a host callback that records the blocks it
// is handed (and can be held in the call or made to throw, as a misbehaving
// host would), the initialisation parameters of a host window, the ini of
// the standard phones in self-monitoring mode, a bounded wait for log lines
// and an AT exchange.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "eklv/eklv.h"
#include "support/eventually.h"
#include "support/lib_folder.h"
#include "support/standard_phones.h"

namespace eklv::test {

// The system id of the calling thread.
inline std::uint32_t SystemThreadId() {
#ifdef _WIN32
    return ::GetCurrentThreadId();
#else
    return static_cast<std::uint32_t>(syscall(SYS_gettid));
#endif
}

struct Delivered {
    std::uint16_t device_id;
    std::uint32_t event;
};

// What a callback does after recording a block.
enum class CallbackFault { kNone, kThrowStd, kThrowOther };

class CallbackLog {
public:
    static void EKLV_CALLBACK Call(std::uintptr_t context, const void* data) {
        auto* self = reinterpret_cast<CallbackLog*>(context);
        const auto* block = static_cast<const EKLVNotificationBlock*>(data);
        CallbackFault fault = CallbackFault::kNone;
        {
            std::unique_lock<std::mutex> lock(self->mutex_);
            self->blocks_.push_back({block->device_id, block->event});
            self->thread_id_ = SystemThreadId();
            for (const auto& f : self->faults_)
                if (f.device_id == block->device_id && f.event == block->event) fault = f.fault;
            ++self->held_;
            self->changed_.notify_all();
            self->changed_.wait(lock, [self] { return !self->holding_; });
            --self->held_;
        }
        if (fault == CallbackFault::kThrowStd) throw std::runtime_error("host callback failed");
        if (fault == CallbackFault::kThrowOther) throw 7;
    }

    // From Hold on, every call waits in the callback until Release.
    void Hold(bool on = true) {
        std::lock_guard<std::mutex> lock(mutex_);
        holding_ = on;
        changed_.notify_all();
    }
    void Release() { Hold(false); }
    // Every block with this device id and event makes the call throw.
    void FailOn(std::uint16_t device_id, std::uint32_t event, CallbackFault fault) {
        std::lock_guard<std::mutex> lock(mutex_);
        faults_.push_back({{device_id, event}, fault});
    }
    // Each waits up to 10 s: until a call waits in the callback, until n
    // blocks have come, until a block with this device id and event has come.
    bool WaitHeld() { return WaitUntil([this] { return held_ > 0; }); }
    bool WaitCount(std::size_t n) { return WaitUntil([&] { return blocks_.size() >= n; }); }
    bool WaitBlock(std::uint16_t device_id, std::uint32_t event) {
        return WaitUntil([&] {
            return std::any_of(blocks_.begin(), blocks_.end(),
                               [&](const Delivered& b) { return b.device_id == device_id && b.event == event; });
        });
    }
    std::vector<Delivered> Snapshot() {
        std::lock_guard<std::mutex> lock(mutex_);
        return blocks_;
    }
    // The system id of the thread that made the last call.
    std::uint32_t thread_id() {
        std::lock_guard<std::mutex> lock(mutex_);
        return thread_id_;
    }

private:
    template <class Predicate>
    bool WaitUntil(Predicate what) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), what);
    }
    struct Fault : Delivered {
        CallbackFault fault;
    };
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Delivered> blocks_;
    std::vector<Fault> faults_;
    bool holding_ = false;
    int held_ = 0;
    std::uint32_t thread_id_ = 0;
};

// Parameters for a host window, in self-monitoring mode unless told, with
// the callback of callbacks when given.
inline EKLVInitParams HostParams(EKLV_HWND host_window, CallbackLog* callbacks = nullptr, bool self_monitoring = true) {
    EKLVInitParams params{};
    params.client_window = host_window;
    params.self_monitoring = self_monitoring;
    if (callbacks != nullptr) {
        params.callback_context = reinterpret_cast<std::uintptr_t>(callbacks);
        params.callback = &CallbackLog::Call;
    }
    return params;
}

// Waits up to 10 s until the library's log holds text count times.
inline bool WaitLog(const LoadedLibrary& lib, const std::string& text, int count) {
    return Eventually([&] { return CountOf(lib.ReadLogs(), text) >= count; });
}

// The standard rig's ini for self-monitoring with the modem's interface
// classes, a modem that needs no retries, and extra sections appended.
inline std::string RoadIni(const std::string& extra = "") {
    return std::string(kStandardIni) +
           "[GUID]\nGUID_0=86e0d1e0-8089-11d0-9ce4-08003e301f73\n"
           "GUID_1=f18a0e88-c30c-11d0-8815-00a0c906bed8\n"
           "[INF_SETTINGS]\nINF_UART=Gadget CDC VCOM Port\n"
           "[MODEM_PARAMS]\nMODEM_CREATE_RETRY=2\nMODEM_WAIT=100\n" +
           extra;
}

// The same with verbose logging.
inline std::string SelfMonitoringIni(const std::string& extra = "") { return VerboseLogIni(RoadIni(extra)); }

// Sends one command through an opened interface and reads until the
// modem's final OK or ERROR (the port's read time-outs bound each read).
// Library is a LoadedLibrary or the StaticCore.
template <class Library>
std::string Transact(Library& lib, std::uint32_t id, EKLV_HANDLE h, const std::string& command) {
    EXPECT_EQ(lib.WriteData(id, h, command.data(), static_cast<std::uint32_t>(command.size())), 0u);
    std::string answer;
    for (int i = 0; i < 50 && answer.find("OK") == std::string::npos && answer.find("ERROR") == std::string::npos;
         ++i) {
        char buffer[256];
        std::uint32_t length = sizeof buffer;
        if (lib.ReadData(id, h, buffer, &length) != 0u) break;
        answer.append(buffer, length);
    }
    return answer;
}

// An interface opened blocking answers AT with OK and takes a baud rate of
// 115200; it is closed again.
template <class Library>
void ExpectBlockingAtAndBaud(Library& lib, std::uint32_t id, std::uint32_t type) {
    EKLV_HANDLE h = 0;
    ASSERT_EQ(lib.OpenDevice(id, type, &h, 1), 0u);
    EXPECT_NE(Transact(lib, id, h, "AT\r").find("OK"), std::string::npos);
    std::uint32_t rate = 115200;
    EXPECT_EQ(lib.SetBaudRate(id, type, &rate), 0u);
    EXPECT_EQ(lib.CloseDevice(id, type), 0u);
}

}  // namespace eklv::test
