// The library's message windows on user32 under Wine: the binding of a
// window to its procedure and context, a window destroyed with messages
// queued, and device-change registrations. (Posts and sends across threads
// are user32's own; the notification tests run them through the library's
// windows.)
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/devnotify.h"
#include "platform/sync.h"
#include "platform/window.h"

namespace eklv {
namespace {

// A message window of the calling thread whose procedure records each
// message it is called with.
struct RecordingWindow {
    static pf::LResult Proc(pf::Hwnd, std::uint32_t message, pf::WParam, pf::LParam, void* context) {
        static_cast<RecordingWindow*>(context)->messages.push_back(message);
        return 0;
    }
    RecordingWindow() : hwnd(pf::CreateMessageWindow(&Proc, this)) {}
    ~RecordingWindow() {
        if (pf::IsWindow(hwnd)) pf::DestroyWindow(hwnd);
    }
    const std::uint32_t ping = pf::RegisterWindowMessageA("eklv test ping");
    std::vector<std::uint32_t> messages;
    pf::Hwnd hwnd = 0;
};

TEST(Windows, DestroyedWindowGetsNoQueuedMessagesAndRefusesPosts) {
    RecordingWindow w;
    ASSERT_NE(w.hwnd, 0u);
    for (pf::WParam i = 1; i <= 5; ++i) ASSERT_TRUE(pf::PostMessageA(w.hwnd, w.ping, i, 0));
    pf::DestroyWindow(w.hwnd);
    EXPECT_FALSE(pf::IsWindow(w.hwnd));
    pf::Msg msg;
    while (pf::PeekMessageA(&msg, 0, 0, 0, true)) pf::DispatchMessageA(&msg);
    EXPECT_FALSE(pf::PostMessageA(w.hwnd, w.ping, 9, 0));
    EXPECT_EQ(pf::GetLastError(), pf::kErrorInvalidWindowHandle);
    EXPECT_EQ(pf::SendMessageA(w.hwnd, w.ping, 9, 0), 0);
    EXPECT_EQ(std::count(w.messages.begin(), w.messages.end(), pf::kWmDestroy), 1);
    EXPECT_EQ(std::count(w.messages.begin(), w.messages.end(), w.ping), 0) << "a queued message reached a destroyed window";
}

TEST(Windows, DeviceNotificationsRegisterAndRelease) {
    RecordingWindow w;
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
