// The library's message windows on user32 under Wine: registered ids shared
// with the host, posts and sends across threads, a window destroyed with
// messages queued, and device-change registrations.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <mutex>
#include <thread>
#include <vector>

#include "eklv/eklv.h"
#include "notify/registered_messages.h"
#include "platform/devnotify.h"
#include "platform/sync.h"
#include "platform/window.h"
#include "support/eventually.h"

namespace eklv {
namespace {

TEST(Windows, RegisteredIdsAreSharedWithTheHost) {
    const RegisteredMessages& m = Messages();
    EXPECT_EQ(m.interface_arrival, ::RegisterWindowMessageA(EKLV_MSG_INTERFACE_ARRIVAL));
    EXPECT_EQ(m.interface_removal, ::RegisterWindowMessageA("wm_zorvan_interface_removal"));  // any case
    EXPECT_EQ(m.notification, pf::RegisterWindowMessageA(EKLV_MSG_NOTIFICATION));
}

// A window on a thread of its own that pumps until WM_QUIT; its procedure
// records each message with the thread it ran on.
struct WindowThread {
    struct Call { std::uint32_t message; pf::WParam wparam; DWORD thread; };
    static pf::LResult Proc(pf::Hwnd, std::uint32_t message, pf::WParam wparam, pf::LParam, void* context) {
        auto* self = static_cast<WindowThread*>(context);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->calls.push_back({message, wparam, ::GetCurrentThreadId()});
        if (message == self->quit) ::PostQuitMessage(0);
        return static_cast<pf::LResult>(wparam * 2);
    }
    // Without a thread of its own: the window belongs to the calling thread.
    explicit WindowThread(bool own_thread = true) {
        if (!own_thread) {
            hwnd = pf::CreateMessageWindow(&Proc, this);
            return;
        }
        thread = std::thread([this] {
            hwnd = pf::CreateMessageWindow(&Proc, this);
            owner = ::GetCurrentThreadId();
            pf::SetEvent(created);
            pf::Msg msg;
            while (pf::GetMessageA(&msg, 0, 0, 0) > 0) pf::DispatchMessageA(&msg);
        });
        pf::WaitForSingleObject(created, 5000);
    }
    ~WindowThread() {
        if (thread.joinable()) {
            pf::PostMessageA(hwnd, quit, 0, 0);
            thread.join();
        }
        pf::CloseHandle(created);
    }
    std::vector<Call> Calls() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
    const std::uint32_t quit = pf::RegisterWindowMessageA("eklv test quit");
    const std::uint32_t ping = pf::RegisterWindowMessageA("eklv test ping");
    pf::Handle created = pf::CreateEventA(true, false);
    pf::Hwnd hwnd = 0;
    DWORD owner = 0;
    std::mutex mutex;
    std::vector<Call> calls;
    std::thread thread;
};

TEST(Windows, PostsAndSendsRunOnTheOwnerThreadInOrder) {
    WindowThread w;
    ASSERT_TRUE(pf::IsWindow(w.hwnd));
    // A send returns the procedure's answer once it has run on the owner.
    EXPECT_EQ(pf::SendMessageA(w.hwnd, w.ping, 21, 0), 42);
    ASSERT_EQ(w.Calls().size(), 1u);
    for (pf::WParam i = 1; i <= 3; ++i) ASSERT_TRUE(pf::PostMessageA(w.hwnd, w.ping, i, 0));
    test::Eventually([&] { return w.Calls().size() == 4; });
    std::vector<pf::WParam> order;
    for (const auto& c : w.Calls()) {
        EXPECT_EQ(c.thread, w.owner);
        order.push_back(c.wparam);
    }
    EXPECT_EQ(order, (std::vector<pf::WParam>{21, 1, 2, 3}));
}

TEST(Windows, DestroyedWindowGetsNoQueuedMessagesAndRefusesPosts) {
    WindowThread w(false);
    ASSERT_NE(w.hwnd, 0u);
    for (pf::WParam i = 1; i <= 5; ++i) ASSERT_TRUE(pf::PostMessageA(w.hwnd, w.ping, i, 0));
    pf::DestroyWindow(w.hwnd);
    EXPECT_FALSE(pf::IsWindow(w.hwnd));
    pf::Msg msg;
    while (pf::PeekMessageA(&msg, 0, 0, 0, true)) pf::DispatchMessageA(&msg);
    EXPECT_FALSE(pf::PostMessageA(w.hwnd, w.ping, 9, 0));
    EXPECT_EQ(pf::GetLastError(), pf::kErrorInvalidWindowHandle);
    EXPECT_EQ(pf::SendMessageA(w.hwnd, w.ping, 9, 0), 0);
    std::vector<std::uint32_t> messages;
    for (const auto& c : w.Calls()) messages.push_back(c.message);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), pf::kWmDestroy), 1);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), w.ping), 0) << "a queued message reached a destroyed window";
}

TEST(Windows, DeviceNotificationsRegisterAndRelease) {
    WindowThread w;
    pf::DevBroadcastDeviceInterfaceA filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = pf::kDbtDevtypDeviceInterface;
    ASSERT_TRUE(pf::UuidFromStringA("86e0d1e0-8089-11d0-9ce4-08003e301f73", &filter.dbcc_classguid));  // COM ports
    pf::HDevNotify registration = pf::RegisterDeviceNotificationA(w.hwnd, &filter, pf::kDeviceNotifyWindowHandle);
    ASSERT_NE(registration, nullptr) << pf::GetLastError();
    EXPECT_TRUE(pf::UnregisterDeviceNotification(registration));
}

}  // namespace
}  // namespace eklv
