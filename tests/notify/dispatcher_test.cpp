// The dispatcher's window sets and deliveries, with host windows on their
// own threads (a host window destroyed under the library's posts is the
// end-to-end tests').
#include "notify/msg_dispatcher.h"

#include <gtest/gtest.h>

#include "log/message_logger.h"
#include "notify/registered_messages.h"
#include "support/host_window.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

using test::HostMessage;
using test::HostWindow;

class DispatcherTest : public ::testing::Test {
protected:
    void TearDown() override {
        CKLVMsgDispatcher::UnInitialize();
        CKLVMessageLogger::UnInitialize();
    }
    test::ModuleFolder dir_{test::VerboseLogIni()};
};

TEST_F(DispatcherTest, ClientWindowReceivesPostsOnce) {
    HostWindow host;
    EXPECT_EQ(CKLVMsgDispatcher::Initialize(65535), 1u);
    EXPECT_EQ(CKLVMsgDispatcher::Initialize(host.hwnd()), 0u);
    auto* d = CKLVMsgDispatcher::GetInstance();
    EXPECT_EQ(d->AddClientWindow(host.hwnd(), kClientWindows), 0u);
    EXPECT_EQ(d->AddClientWindow(0, kClientWindows), 1u);
    EXPECT_EQ(d->WindowsOf(kClientWindows).size(), 1u);
    EXPECT_TRUE(CKLVMsgDispatcher::PostToWindows(Messages().interface_arrival, 3, INF_UART, 0));
    EXPECT_TRUE(CKLVMsgDispatcher::PostToWindows(Messages().interface_removal, 3, INF_UART, 0));
    // A window added twice receives each message once: the removal follows
    // the single arrival.
    EXPECT_EQ(host.WaitFor(2), (std::vector<HostMessage>{{true, 3, INF_UART}, {false, 3, INF_UART}}));
    EXPECT_NE(dir_.ReadLogs().find("MSG = WM_ZORVAN_INTERFACE_ARRIVAL (w = 3, l = 32771), [b = 0, i = 0]"),
              std::string::npos);
}

TEST_F(DispatcherTest, EmptySetDropsAndAnswersTrue) {
    ASSERT_EQ(CKLVMsgDispatcher::Initialize(0), 0u);
    EXPECT_TRUE(CKLVMsgDispatcher::PostToWindows(Messages().interface_removal, 1, 2, 0));
    EXPECT_TRUE(CKLVMsgDispatcher::GetInstance()->DispatchCommonSend(Messages().interface_removal, 1, 2, 0, 2));
    EXPECT_EQ(test::CountOf(dir_.ReadLogs(), "DispatchCommonSend - No Client Handle, Block Message"), 2);
}

intptr_t AnswerOne(EKLV_HWND, uint32_t, uintptr_t, intptr_t, void*) { return 1; }

TEST_F(DispatcherTest, SendWaitsForTheAnswer) {
    HostWindow zero;
    auto* d = CKLVMsgDispatcher::GetInstance();
    d->AddClientWindow(zero.hwnd(), kLibraryWindows);
    EXPECT_TRUE(CKLVMsgDispatcher::SendToWindows(Messages().interface_arrival, 4, 0, 1));
    EXPECT_EQ(zero.Messages().size(), 1u) << "the procedure ran before the send returned";
    // A window of this thread answering 1: a non-zero answer fails the send.
    EKLV_HWND one = EKLVHostCreateWindow(&AnswerOne, nullptr);
    d->AddClientWindow(one, kLibraryWindows);
    EXPECT_FALSE(CKLVMsgDispatcher::SendToWindows(Messages().interface_arrival, 5, 0, 1));
    EKLVHostDestroyWindow(one);
}

}  // namespace
}  // namespace eklv
