// The dispatcher's window sets and deliveries, with real message windows on
// their own threads.
#include "notify/msg_dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "eklv/eklv_host.h"
#include "log/message_logger.h"
#include "notify/registered_messages.h"
#include "platform/sync.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

// A window on a thread of its own that counts the messages it receives and
// answers sends with `answer`.
class WindowThread {
public:
    explicit WindowThread(intptr_t answer = 0) : answer_(answer) {
        ready_ = pf::CreateEventA(true, false);
        thread_ = std::thread([this] { Run(); });
        pf::WaitForSingleObject(ready_, 5000);
    }
    ~WindowThread() {
        if (hwnd_ != 0) EKLVHostPostMessage(hwnd_, EKLV_WM_QUIT, 0, 0);
        thread_.join();
        pf::CloseHandle(ready_);
        pf::CloseHandle(got_);
    }
    EKLV_HWND hwnd() const { return hwnd_; }
    int count(std::uint32_t message) const { return message == last_message_ ? received_.load() : 0; }
    // Waits until n messages arrived, each within timeout_ms.
    bool WaitFor(int n, std::uint32_t timeout_ms = 5000) {
        while (received_ < n)
            if (pf::WaitForSingleObject(got_, timeout_ms) != pf::kWaitObject0) return false;
        return true;
    }
    void Destroy() {
        destroy_ = true;
        EKLVHostSendMessage(hwnd_, EKLV_WM_USER, 0, 0);  // returns once the window is gone
    }

private:
    static intptr_t Proc(EKLV_HWND, uint32_t message, uintptr_t, intptr_t, void* user) {
        auto* self = static_cast<WindowThread*>(user);
        if (message == EKLV_WM_DESTROY) return 0;
        if (message == EKLV_WM_USER && self->destroy_) {
            EKLVHostDestroyWindow(self->hwnd_);
            EKLVHostPostQuitMessage(0);  // the loop ends without a window
            return 0;
        }
        self->last_message_ = message;
        ++self->received_;
        pf::SetEvent(self->got_);
        return self->answer_;
    }
    void Run() {
        hwnd_ = EKLVHostCreateWindow(&Proc, this);
        pf::SetEvent(ready_);
        EKLVMsg msg;
        while (EKLVHostGetMessage(&msg, 0, 0, 0) > 0) EKLVHostDispatchMessage(&msg);
    }
    intptr_t answer_;
    pf::Handle ready_;
    pf::Handle got_ = pf::CreateEventA(false, false);
    std::thread thread_;
    std::atomic<EKLV_HWND> hwnd_{0};
    std::atomic<std::uint32_t> last_message_{0};
    std::atomic<int> received_{0};
    std::atomic<bool> destroy_{false};
};

class DispatcherTest : public ::testing::Test {
protected:
    void TearDown() override {
        CKLVMsgDispatcher::UnInitialize();
        CKLVMessageLogger::UnInitialize();
    }
    test::ModuleFolder dir_{test::VerboseLogIni()};
};

TEST_F(DispatcherTest, MessagesAreRegisteredOnceByName) {
    const RegisteredMessages& m = Messages();
    EXPECT_GE(m.interface_arrival, 0xC000u);
    EXPECT_EQ(m.interface_arrival, EKLVHostRegisterWindowMessage("WM_ZORVAN_INTERFACE_ARRIVAL"));
    EXPECT_EQ(m.regcallback, EKLVHostRegisterWindowMessage("WM_EKLV_REGCALLBACK"));
    std::uint32_t ids[] = {m.interface_arrival, m.interface_removal, m.progress, m.status, m.notification,
                           m.regcallback};
    for (auto a : ids)
        EXPECT_EQ(std::count(std::begin(ids), std::end(ids), a), 1);
}

TEST_F(DispatcherTest, ClientWindowReceivesPostsOnce) {
    WindowThread host;
    EXPECT_EQ(CKLVMsgDispatcher::Initialize(65535), 1u);
    EXPECT_EQ(CKLVMsgDispatcher::Initialize(host.hwnd()), 0u);
    EXPECT_EQ(CKLVMsgDispatcher::GetInstance()->AddClientWindow(host.hwnd(), kClientWindows), 0u);
    EXPECT_EQ(CKLVMsgDispatcher::GetInstance()->AddClientWindow(0, kClientWindows), 1u);
    EXPECT_EQ(CKLVMsgDispatcher::GetInstance()->WindowsOf(kClientWindows).size(), 1u);
    const std::uint32_t arrival = Messages().interface_arrival;
    EXPECT_TRUE(CKLVMsgDispatcher::PostToWindows(arrival, 3, INF_UART, 0));
    ASSERT_TRUE(host.WaitFor(1));
    EXPECT_FALSE(host.WaitFor(2, 100)) << "a window added twice receives a message once";
    EXPECT_NE(dir_.ReadLogs().find("MSG = WM_ZORVAN_INTERFACE_ARRIVAL (w = 3, l = 32771), [b = 0, i = 0]"),
              std::string::npos);
}

TEST_F(DispatcherTest, EmptySetDropsAndAnswersTrue) {
    ASSERT_EQ(CKLVMsgDispatcher::Initialize(0), 0u);
    EXPECT_TRUE(CKLVMsgDispatcher::PostToWindows(Messages().interface_removal, 1, 2, 0));
    EXPECT_TRUE(CKLVMsgDispatcher::GetInstance()->DispatchCommonSend(Messages().interface_removal, 1, 2, 0, 2));
    EXPECT_EQ(test::CountOf(dir_.ReadLogs(), "DispatchCommonSend - No Client Handle, Block Message"), 2);
}

TEST_F(DispatcherTest, DestroyedLibraryWindowFailsThePostButOthersReceive) {
    WindowThread alive, doomed;
    auto* d = CKLVMsgDispatcher::GetInstance();
    d->AddClientWindow(alive.hwnd(), kLibraryWindows);
    d->AddClientWindow(doomed.hwnd(), kLibraryWindows);
    doomed.Destroy();
    const std::uint32_t progress = Messages().progress;
    EXPECT_FALSE(CKLVMsgDispatcher::PostToWindows(progress, 0, 0, 1));
    EXPECT_TRUE(alive.WaitFor(1));
    EXPECT_EQ(dir_.ReadLogs().find("MSG = WM_ZORVAN_PROGRESS"), std::string::npos) << "not in the name map";
}

TEST_F(DispatcherTest, SendWaitsForTheAnswer) {
    WindowThread zero(0), one(1);
    auto* d = CKLVMsgDispatcher::GetInstance();
    d->AddClientWindow(zero.hwnd(), kLibraryWindows);
    EXPECT_TRUE(CKLVMsgDispatcher::SendToWindows(Messages().status, 0, 0, 1));
    EXPECT_EQ(zero.count(Messages().status), 1) << "the procedure ran before the send returned";
    d->AddClientWindow(one.hwnd(), kLibraryWindows);
    EXPECT_FALSE(CKLVMsgDispatcher::SendToWindows(Messages().status, 0, 0, 1)) << "a non-zero answer fails";
}

}  // namespace
}  // namespace eklv
