// A host that misbehaves, through a copy of libeklv.so on the standard rig:
// a callback that blocks (while phones come and go, and through
// EKLVUninitialize), a callback that throws, and a host window destroyed
// while the library still posts to it.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e/e2e_helpers.h"
#include "rig/modem_emulator.h"

namespace eklv {
namespace {

using test::CountOf;
using test::HostMessage;
using test::ThreadCount;

constexpr std::uint32_t kArrival = EKLV_DBT_DEVICEARRIVAL;
constexpr std::uint32_t kRemoval = EKLV_DBT_DEVICEREMOVECOMPLETE;

// A host program on the standard rig: the loaded library, the host window
// and the host callback.
struct Host {
    explicit Host(const std::string& extra_ini = "") : lib(test::SelfMonitoringIni(extra_ini)) {
        setenv("EKLV_COMMON_APPDATA", lib.path().c_str(), 1);
    }
    // A test that failed half-way may leave a call held or the library up.
    ~Host() {
        callbacks.Release();
        if (lib.ok()) lib.Uninitialize();
        unsetenv("EKLV_COMMON_APPDATA");
    }

    // Initialises the library and waits for the start-up scan's two
    // arrivals; notes the threads running before.
    void Start() {
        ASSERT_TRUE(modem.ok());
        ASSERT_TRUE(lib.ok());
        threads_before = ThreadCount();
        EKLVInitParams params = test::HostParams(window.hwnd(), &callbacks);
        ASSERT_EQ(lib.Initialize(&params), 0u);
        auto messages = window.WaitFor(2);
        ASSERT_EQ(messages.size(), 2u);
        for (const auto& m : messages) {
            EXPECT_TRUE(m.arrival);
            (m.type == INF_DATA ? composite : single) = m.device_id;
            if (m.type != INF_DATA) single_type = m.type;
        }
        ASSERT_TRUE(composite != EKLV_NO_DEVICE && single != EKLV_NO_DEVICE);
    }

    // Unplugs the single phone and waits until the callback has its
    // removal: the start-up blocks are through by then (some may have gone
    // before the callback window existed). Answers the blocks so far.
    std::size_t Settle() {
        s.rig.Unplug(s.single);
        EXPECT_TRUE(callbacks.WaitBlock(static_cast<std::uint16_t>(single), kRemoval));
        return callbacks.Snapshot().size();
    }

    // The (arrival, device id) pairs the callback got from block first on,
    // and those of the messages the window got from message first on.
    std::vector<HostMessage> CallbackEvents(std::size_t first) {
        std::vector<HostMessage> events;
        for (const auto& b : callbacks.Snapshot())
            first > 0 ? void(--first) : events.push_back({b.event == kArrival, b.device_id, 0});
        return events;
    }
    std::vector<HostMessage> WindowEvents(std::size_t first) {
        std::vector<HostMessage> events;
        for (const auto& m : window.Messages())
            first > 0 ? void(--first) : events.push_back({m.arrival, m.device_id, 0});
        return events;
    }

    // The i-th of the changes the callback tests make: the single phone in,
    // out and in again, then the composite phone out.
    void Change(int i) { i == 3 ? s.rig.Unplug(s.phone) : i == 1 ? s.rig.Unplug(s.single) : s.rig.Plug(s.single); }
    // The messages they lead to, with interface types or without.
    std::vector<HostMessage> Changes(bool typed) const {
        const std::uint32_t t = typed ? single_type : 0, c = typed ? INF_DATA : 0;
        return {{true, single, t}, {false, single, t}, {true, single, t}, {false, composite, c}};
    }

    test::StandardRig s;
    test::ModemEmulator modem{s.rig.TtyFd("ttyACM0")};
    test::LoadedLibrary lib;
    test::HostWindow window;
    test::CallbackLog callbacks;
    int threads_before = 0;
    std::uint32_t composite = EKLV_NO_DEVICE, single = EKLV_NO_DEVICE, single_type = 0;
};

TEST(HostMisbehaviour, CallbackThatBlocksOrThrowsHoldsUpNothingElse) {
    Host host;
    ASSERT_NO_FATAL_FAILURE(host.Start());
    const auto single = static_cast<std::uint16_t>(host.single);
    host.callbacks.FailOn(single, kRemoval, test::CallbackFault::kThrowStd);
    host.callbacks.FailOn(single, kArrival, test::CallbackFault::kThrowOther);
    const std::size_t first_block = host.Settle();
    ASSERT_EQ(host.window.WaitFor(3).size(), 3u);

    // The callback gets stuck in the single phone's arrival.
    host.callbacks.Hold();
    host.Change(0);
    ASSERT_TRUE(host.callbacks.WaitHeld());

    // Meanwhile the modem answers and phones come and go, and the window
    // hears of it: neither the host's calls nor the device-change thread
    // wait for the callback thread. (Only the single phone is plugged again:
    // the rig adds a composite phone's nodes while the library already reads
    // the first ones.)
    EKLV_HANDLE h = 0;
    ASSERT_EQ(host.lib.OpenDevice(host.composite, INF_DATA, &h, 1), 0u);
    EXPECT_NE(test::Transact(host.lib, host.composite, h, "AT\r").find("OK"), std::string::npos);
    EXPECT_EQ(host.lib.CloseDevice(host.composite, INF_DATA), 0u);
    for (int i = 1; i <= 4; ++i) {
        ASSERT_EQ(host.window.WaitFor(3u + i).size(), 3u + i);
        if (i < 4) host.Change(i);
    }
    const auto messages = host.window.Messages();
    EXPECT_EQ(std::vector<HostMessage>(messages.begin() + 3, messages.end()), host.Changes(true));
    EXPECT_EQ(host.callbacks.Snapshot().size(), first_block + 1) << "the callback thread was stuck all along";

    // Released, the queued blocks reach the callback in the order of the
    // window's messages, each once; the throwing calls are logged and the
    // thread goes on.
    host.callbacks.Release();
    ASSERT_TRUE(host.callbacks.WaitCount(first_block + 4));
    EXPECT_EQ(host.CallbackEvents(first_block), host.WindowEvents(3));
    EXPECT_EQ(host.lib.Uninitialize(), 0u);
    EXPECT_EQ(host.callbacks.Snapshot().size(), first_block + 4);
    EXPECT_TRUE(test::WaitThreadCount(host.threads_before));

    const std::string log = host.lib.ReadLogs();
    EXPECT_EQ(CountOf(log, "Catch Callback error host callback failed"), 2);
    EXPECT_GE(CountOf(log, "Catch Callback error unknown exception"), 2);
    EXPECT_EQ(CountOf(log, "wait timeout"), 0);
}

TEST(HostMisbehaviour, CallbackBlockedThroughShutdown) {
    constexpr int kTerminateWaitMs = 2000;
    Host host("[Configuration]\nThread_Terminate_Wait=" + std::to_string(kTerminateWaitMs) + "\n");
    host.callbacks.Hold();
    ASSERT_NO_FATAL_FAILURE(host.Start());

    // One call stuck in the callback, at least one block queued behind it.
    host.s.rig.Unplug(host.s.single);
    ASSERT_TRUE(host.callbacks.WaitHeld());
    ASSERT_EQ(host.window.WaitFor(3).size(), 3u);
    host.s.rig.Unplug(host.s.phone);
    ASSERT_TRUE(test::WaitLog(host.lib, "DeviceRemoval - All interfaces removed", 2));
    const std::size_t calls = host.callbacks.Snapshot().size();
    ASSERT_EQ(calls, 1u);

    // Shutdown gives the callback thread its wait and goes on; everything
    // else is stopped. No hang: well within the waits of three threads.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(host.lib.Uninitialize(), 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3 * kTerminateWaitMs + 7000));
    char timeout[96];
    std::snprintf(timeout, sizeof timeout, "[%#010x] wait timeout", host.callbacks.thread_id());
    const std::string log = host.lib.ReadLogs();
    EXPECT_EQ(CountOf(log, timeout), 1) << timeout;
    EXPECT_EQ(CountOf(log, "wait timeout"), 1) << "only the callback thread was late";
    EXPECT_EQ(CountOf(log, "CNotificationThread::UnInitialize - thread still running"), 1);
    EXPECT_TRUE(test::WaitThreadCount(host.threads_before + 1)) << "only the callback thread is left";

    // Released, the late thread ends on its own without calling the host
    // again: the blocks still queued are released unread (LeakSanitizer
    // and AddressSanitizer see to "once").
    host.callbacks.Release();
    ASSERT_TRUE(test::WaitThreadCount(host.threads_before));
    EXPECT_EQ(host.callbacks.Snapshot().size(), calls) << "no callback after EKLVUninitialize returned";

    // The library starts again and works (with both phones gone, the ids
    // start afresh).
    EKLVInitParams params = test::HostParams(host.window.hwnd(), &host.callbacks);
    ASSERT_EQ(host.lib.Initialize(&params), 0u);
    host.s.rig.Plug(host.s.single);
    auto messages = host.window.WaitFor(5);
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_TRUE(messages[4].arrival);
    ASSERT_TRUE(host.callbacks.WaitCount(calls + 1));
    EXPECT_EQ(host.CallbackEvents(calls), host.WindowEvents(4));
    EXPECT_EQ(host.lib.Uninitialize(), 0u);
    EXPECT_TRUE(test::WaitThreadCount(host.threads_before));
    EXPECT_EQ(CountOf(host.lib.ReadLogs(), "wait timeout"), 1);
}

TEST(HostMisbehaviour, HostWindowDestroyedWhilePhonesComeAndGo) {
    Host host;
    ASSERT_NO_FATAL_FAILURE(host.Start());
    const std::size_t first_block = host.Settle();

    // The window goes while the arrival is posted to it; later posts fail.
    // Each change is through before the rig makes the next.
    for (int i = 0; i < 4; ++i) {
        host.Change(i);
        if (i == 0) host.window.Destroy();
        ASSERT_TRUE(host.callbacks.WaitCount(first_block + 1 + i));
    }

    // Sessions still come and go, and the callback got every block once.
    ASSERT_TRUE(test::WaitLog(host.lib, "DeviceRemoval - All interfaces removed", 3));
    EXPECT_EQ(host.CallbackEvents(first_block), host.Changes(false));

    EXPECT_EQ(host.lib.Uninitialize(), 0u);
    EXPECT_EQ(host.callbacks.Snapshot().size(), first_block + 4);
    EXPECT_TRUE(test::WaitThreadCount(host.threads_before - 1)) << "the host window's thread ended with it";
    EXPECT_GE(CountOf(host.lib.ReadLogs(), "CKLVMsgDispatcher::DispatchCommonSend - post to window"), 1);
}

}  // namespace
}  // namespace eklv
