// The callback thread: callbacks added and removed by message get every
// block in order on one thread, a throwing callback does not stop the others
// (blocks without a callback, and a host's throwing callback through the
// exported functions, are the end-to-end tests').
#include "notify/notification_thread.h"

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/settings.h"
#include "core/supervisor.h"
#include "log/message_logger.h"
#include "notify/msg_dispatcher.h"
#include "notify/registered_messages.h"
#include "platform/thread.h"
#include "support/eventually.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

struct Recorder {
    std::mutex mutex;
    std::vector<std::string> calls;  // "<who>:<device id>"
    std::uint32_t thread_id = 0;
    void Add(const char* who, const void* block) {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(std::string(who) + ":" + std::to_string(static_cast<const EKLVNotificationBlock*>(block)->device_id));
        thread_id = pf::GetCurrentThreadId();
    }
    bool WaitCalls(std::size_t n) {
        return test::Eventually([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return calls.size() >= n;
        });
    }
};

void EKLV_CALLBACK First(std::uintptr_t context, const void* block) {
    reinterpret_cast<Recorder*>(context)->Add("first", block);
}
void EKLV_CALLBACK Thrower(std::uintptr_t context, const void* block) {
    reinterpret_cast<Recorder*>(context)->Add("thrower", block);
    throw std::runtime_error("host failure");
}

EKLVNotificationBlock* Block(std::uint16_t id) {
    auto* block = new EKLVNotificationBlock{};
    block->device_id = id;
    return block;
}

class NotificationThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitSettings();
        CKLVMsgDispatcher::Initialize(0);
        CKLVSupervisor::Initialize();
    }
    void TearDown() override {
        CKLVSupervisor::RequestKLVThreadTerminate();
        CKLVSupervisor::UnInitialize();
        CNotificationThread::UnInitialize();
        CKLVMsgDispatcher::UnInitialize();
        CKLVMessageLogger::UnInitialize();
    }
    // The window joins the library windows once the thread runs.
    static bool WaitWindow() {
        return test::Eventually([] { return CNotificationThread::GetInstance()->window_handle() != 0; });
    }
    void Post(EKLVNotificationBlock* block) {
        ASSERT_TRUE(CKLVMsgDispatcher::PostToWindows(Messages().notification, reinterpret_cast<pf::WParam>(block), 0, 1));
    }
    test::ModuleFolder dir_{test::VerboseLogIni()};
};

TEST_F(NotificationThreadTest, CallbacksRunInOrderOnTheCallbackThreadAndSurviveThrows) {
    Recorder recorder;
    const std::uintptr_t values[2] = {reinterpret_cast<std::uintptr_t>(&recorder),
                                      reinterpret_cast<std::uintptr_t>(&Thrower)};
    ASSERT_EQ(CNotificationThread::Initialize(values), 0u);
    EXPECT_EQ(CNotificationThread::Initialize(values), 0u) << "a second call keeps the thread";
    ASSERT_TRUE(WaitWindow());
    // Registration is posted before the loop runs, so it precedes these.
    CallbackPair second{reinterpret_cast<std::uintptr_t>(&recorder), &First};
    Post(Block(1));
    ASSERT_TRUE(recorder.WaitCalls(1));
    CKLVMsgDispatcher::PostToWindows(Messages().regcallback, 1, reinterpret_cast<pf::LParam>(&second), 1);
    Post(Block(2));
    Post(Block(3));
    ASSERT_TRUE(recorder.WaitCalls(5));
    EXPECT_EQ(recorder.calls, (std::vector<std::string>{"thrower:1", "thrower:2", "first:2", "thrower:3", "first:3"}));
    EXPECT_NE(recorder.thread_id, pf::GetCurrentThreadId());

    CKLVMsgDispatcher::PostToWindows(Messages().regcallback, 0, reinterpret_cast<pf::LParam>(&second), 1);
    Post(Block(4));
    ASSERT_TRUE(recorder.WaitCalls(6));
    EXPECT_EQ(recorder.calls.back(), "thrower:4") << "the removed callback is not called";
    // A send is handled once the thread is back in its loop: after the last
    // callback's failure was logged.
    pf::SendMessageA(CNotificationThread::GetInstance()->window_handle(), 0, 0, 0);

    std::string log = dir_.ReadLogs();
    EXPECT_EQ(test::CountOf(log, "Catch Callback error host failure"), 4);
    EXPECT_EQ(test::CountOf(log, "NotificationThreadProc entrance"), 1);
    EXPECT_NE(log.find("[DID 2] Callback returned"), std::string::npos);
    EXPECT_NE(log.find("Callback removed"), std::string::npos);
}

}  // namespace
}  // namespace eklv
