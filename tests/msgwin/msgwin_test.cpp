// The message-window system through its C interface, as hosts and the
// library's own loops use it.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <latch>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "eklv/eklv_host.h"

namespace {

constexpr uint32_t kUser = EKLV_WM_USER;
using Ids = std::vector<uint32_t>;

// Records the messages a window procedure gets (always on the window's own
// thread); answers wparam * 2 unless `answer` is set.
struct ProcLog {
    Ids messages;
    std::function<intptr_t(EKLV_HWND, uint32_t, uintptr_t)> answer;
};

intptr_t LogProc(EKLV_HWND hwnd, uint32_t message, uintptr_t wparam, intptr_t, void* user) {
    auto* log = static_cast<ProcLog*>(user);
    log->messages.push_back(message);
    return log->answer ? log->answer(hwnd, message, wparam) : static_cast<intptr_t>(wparam * 2);
}

// The library's loop: a window's messages until WM_QUIT (0) or an error (-1).
int Pump(EKLV_HWND hwnd) {
    EKLVMsg msg;
    int r;
    while ((r = EKLVHostGetMessage(&msg, hwnd, 0, 0)) > 0) EKLVHostDispatchMessage(&msg);
    return r;
}

// A thread that creates a window logging to `log`, then runs body with it.
class WindowThread {
public:
    WindowThread(ProcLog& log, std::function<void(EKLV_HWND)> body)
        : thread_([this, &log, body = std::move(body)] {
              hwnd_ = EKLVHostCreateWindow(&LogProc, &log);
              created_.count_down();
              body(hwnd_);
          }) {
        created_.wait();
    }
    ~WindowThread() { Join(); }
    EKLV_HWND hwnd() const { return hwnd_; }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::latch created_{1};
    EKLV_HWND hwnd_ = 0;
    std::thread thread_;  // last: it starts once the members above exist
};

TEST(MsgwinTest, RegisteredMessageIds) {
    uint32_t a = EKLVHostRegisterWindowMessage("WM_EKLV_TEST_A");
    EXPECT_GE(a, 0xC000u);
    EXPECT_EQ(EKLVHostRegisterWindowMessage("wm_eklv_Test_a"), a);
    EXPECT_NE(EKLVHostRegisterWindowMessage("WM_EKLV_TEST_B"), a);
    EXPECT_EQ(EKLVHostRegisterWindowMessage(""), 0u);

    // Threads registering the same new names at once all get the same ids.
    constexpr int kThreads = 6, kNames = 20;
    std::vector<Ids> ids(kThreads, Ids(kNames));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&ids, t] {
            for (int i = 0; i < kNames; ++i)
                ids[t][i] = EKLVHostRegisterWindowMessage(("WM_EKLV_RACE_" + std::to_string(i)).c_str());
        });
    }
    for (int t = 0; t < kThreads; ++t) threads[t].join();
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(ids[t], ids[0]);
}

TEST(MsgwinTest, WindowLifetime) {
    ProcLog log;
    EKLV_HWND a = EKLVHostCreateWindow(&LogProc, &log);
    EKLV_HWND b = EKLVHostCreateWindow(&LogProc, &log);
    ASSERT_NE(a, 0u);
    EXPECT_EQ(EKLVHostSendMessage(a, kUser, 4, 0), 8);  // own window: called directly

    // Only the owner may destroy, dispatch to or filter on a window.
    EKLVMsg msg{a, kUser, 1, 0, 0};
    std::thread([&] {
        EKLVMsg got;
        EXPECT_EQ(EKLVHostDestroyWindow(a), 0);
        EXPECT_EQ(EKLVHostDispatchMessage(&msg), 0);
        EXPECT_EQ(EKLVHostGetMessage(&got, a, 0, 0), -1);
    }).join();
    EXPECT_EQ(EKLVHostDispatchMessage(&msg), 2);

    // Destroying drops queued messages; WM_DESTROY is the last call; the handle is dead.
    ASSERT_EQ(EKLVHostPostMessage(a, kUser + 1, 0, 0), 1);
    EXPECT_EQ(EKLVHostDestroyWindow(a), 1);
    EXPECT_EQ(EKLVHostPeekMessage(&msg, 0, 0, 0, 1), 0);
    EXPECT_EQ(EKLVHostPostMessage(a, kUser, 0, 0), 0);
    EXPECT_EQ(EKLVHostSendMessage(a, kUser, 1, 0), 0);
    EXPECT_EQ(EKLVHostGetMessage(&msg, a, 0, 0), -1);
    EXPECT_EQ(log.messages, (Ids{kUser, kUser, EKLV_WM_DESTROY}));

    // A loop filtered on a window ends with -1 when a message destroys that window.
    log.answer = [](EKLV_HWND hwnd, uint32_t, uintptr_t) { return EKLVHostDestroyWindow(hwnd); };
    ASSERT_EQ(EKLVHostPostMessage(b, kUser, 0, 0), 1);
    EXPECT_EQ(Pump(b), -1);
}

TEST(MsgwinTest, PostAndGetWithFilters) {
    ProcLog log;
    EKLV_HWND w1 = EKLVHostCreateWindow(&LogProc, &log);
    EKLV_HWND w2 = EKLVHostCreateWindow(&LogProc, &log);
    std::thread([&] {
        EXPECT_EQ(EKLVHostPostMessage(w1, kUser + 1, 11, -1), 1);
        EXPECT_EQ(EKLVHostPostMessage(w1, kUser + 2, 12, -2), 1);
        EXPECT_EQ(EKLVHostPostMessage(w2, kUser + 3, 13, -3), 1);
    }).join();

    EKLVMsg msg;
    ASSERT_EQ(EKLVHostGetMessage(&msg, w2, 0, 0), 1);
    EXPECT_EQ(msg.lparam, -3);
    ASSERT_EQ(EKLVHostGetMessage(&msg, 0, kUser + 2, kUser + 2), 1);
    EXPECT_EQ(msg.wparam, 12u);
    ASSERT_EQ(EKLVHostPeekMessage(&msg, 0, 0, 0, 0), 1);  // left in place
    ASSERT_EQ(EKLVHostGetMessage(&msg, w1, 0, 0), 1);
    EXPECT_EQ(msg.message, kUser + 1);
    EXPECT_EQ(EKLVHostGetMessageTimeout(&msg, 0, 0, 0, 30), -2);

    // PostQuitMessage is a thread message: hidden by a window filter, not by a range.
    EKLVHostPostQuitMessage(7);
    EXPECT_EQ(EKLVHostGetMessageTimeout(&msg, w1, 0, 0, 0), -2);
    ASSERT_EQ(EKLVHostGetMessage(&msg, 0, kUser, kUser), 0);
    EXPECT_EQ(msg.wparam, 7u);
    // WM_QUIT posted to a window ends that window's loop.
    ASSERT_EQ(EKLVHostPostMessage(w1, EKLV_WM_QUIT, 0, 0), 1);
    EXPECT_EQ(Pump(w1), 0);

    // Each queue holds at most 10000 posted messages; destroying windows drops theirs.
    int accepted = 0;
    while (accepted < 20000 && EKLVHostPostMessage(w1, kUser, 0, 0) == 1) ++accepted;
    EXPECT_EQ(accepted, 10000);
    ASSERT_EQ(EKLVHostGetMessage(&msg, 0, 0, 0), 1);
    EXPECT_EQ(EKLVHostPostMessage(w2, kUser, 0, 0), 1);
    EKLVHostDestroyWindow(w1);
    EKLVHostDestroyWindow(w2);
    EXPECT_EQ(EKLVHostPeekMessage(&msg, 0, 0, 0, 1), 0);
    EXPECT_EQ(log.messages, (Ids{EKLV_WM_DESTROY, EKLV_WM_DESTROY}));
}

TEST(MsgwinTest, SendAcrossThreads) {
    ProcLog log;
    const std::thread::id sender_thread = std::this_thread::get_id();
    log.answer = [&](EKLV_HWND, uint32_t message, uintptr_t wparam) -> intptr_t {
        EXPECT_NE(std::this_thread::get_id(), sender_thread);
        if (message == kUser + 3) throw std::runtime_error("procedure failure");
        return static_cast<intptr_t>(wparam * 2);
    };
    int filtered_wait = -3;
    WindowThread receiver(log, [&](EKLV_HWND hwnd) {
        EKLVMsg msg;
        // Sends are handled during any wait, whatever its range.
        filtered_wait = EKLVHostGetMessage(&msg, hwnd, kUser + 9, kUser + 9);
        Pump(hwnd);
        EKLVHostDestroyWindow(hwnd);
    });
    EXPECT_EQ(EKLVHostSendMessage(receiver.hwnd(), kUser, 21, 0), 42);
    intptr_t result = 0;
    EXPECT_EQ(EKLVHostSendMessageTimeout(receiver.hwnd(), kUser + 1, 5, 0, 60000, &result), 1);
    EXPECT_EQ(result, 10);
    EXPECT_EQ(EKLVHostSendMessage(receiver.hwnd(), kUser + 3, 1, 0), 0);  // a throwing procedure fails the send
    EXPECT_EQ(EKLVHostPostMessage(receiver.hwnd(), kUser + 9, 0, 0), 1);
    EXPECT_EQ(EKLVHostSendMessage(receiver.hwnd(), kUser + 4, 1, 0), 2);  // the loop survived
    EXPECT_EQ(EKLVHostPostMessage(receiver.hwnd(), EKLV_WM_QUIT, 0, 0), 1);
    receiver.Join();
    EXPECT_EQ(filtered_wait, 1);
    EXPECT_EQ(log.messages, (Ids{kUser, kUser + 1, kUser + 3, kUser + 4, EKLV_WM_DESTROY}));
}

TEST(MsgwinTest, PendingSendIsReleasedWhenTheWindowGoes) {
    enum class End { kThreadExits, kDestroyed, kSenderTimesOut };
    for (End end : {End::kThreadExits, End::kDestroyed, End::kSenderTimesOut}) {
        SCOPED_TRACE(static_cast<int>(end));
        ProcLog log, sender_log;
        std::latch release(1);
        // The owner handles no message until released.
        WindowThread owner(log, [&](EKLV_HWND hwnd) {
            release.wait();
            EKLVMsg msg;
            if (end == End::kSenderTimesOut) {
                EXPECT_EQ(EKLVHostPeekMessage(&msg, 0, 0, 0, 1), 0);  // the abandoned send is skipped
            }
            if (end != End::kThreadExits) {
                EXPECT_EQ(EKLVHostDestroyWindow(hwnd), 1);
            }
        });
        intptr_t answer = -1;
        WindowThread sender(sender_log, [&](EKLV_HWND) {
            if (end == End::kSenderTimesOut) {
                EXPECT_EQ(EKLVHostSendMessageTimeout(owner.hwnd(), kUser, 1, 0, 20, &answer), 0);
            } else {
                answer = EKLVHostSendMessage(owner.hwnd(), kUser, 1, 0);
            }
        });
        // A sender runs sends to its own window only while waiting in its own
        // send: once this returns, the send to the owner is pending.
        if (end != End::kSenderTimesOut) {
            EKLVHostSendMessage(sender.hwnd(), EKLV_WM_NULL, 0, 0);
        } else {
            sender.Join();
        }
        release.count_down();
        owner.Join();
        sender.Join();
        EXPECT_EQ(answer, 0);
        EXPECT_EQ(log.messages, end == End::kThreadExits ? Ids{} : Ids{EKLV_WM_DESTROY});
        EXPECT_EQ(EKLVHostPostMessage(owner.hwnd(), kUser, 0, 0), 0);
    }
}

// Both threads send to each other's window at once; every other message makes
// the receiver send back while its sender is still waiting.
TEST(MsgwinTest, ThreadsSendingToEachOtherDoNotDeadlock) {
    constexpr int kRounds = 300;
    ProcLog log_a, log_b;
    std::atomic<EKLV_HWND> hwnd_a{0}, hwnd_b{0};
    auto peer_of = [&](EKLV_HWND self) { return self == hwnd_a ? hwnd_b.load() : hwnd_a.load(); };
    log_a.answer = log_b.answer = [&](EKLV_HWND self, uint32_t message, uintptr_t wparam) -> intptr_t {
        if (message != kUser + 1) return static_cast<intptr_t>(wparam * 2);
        return EKLVHostSendMessage(peer_of(self), kUser, wparam, 0) + 1;
    };
    std::latch both_created(2);
    auto body = [&](EKLV_HWND self) {
        both_created.arrive_and_wait();
        for (int i = 0; i < kRounds; ++i) {
            EXPECT_EQ(EKLVHostSendMessage(peer_of(self), kUser + (i % 2), i, 0), 2 * i + (i % 2));
        }
        // Keep answering the peer until it has finished too.
        EKLVHostPostMessage(peer_of(self), EKLV_WM_QUIT, 0, 0);
        EXPECT_EQ(Pump(self), 0);
        EKLVHostDestroyWindow(self);
    };
    WindowThread a(log_a, [&](EKLV_HWND self) { hwnd_a = self; body(self); });
    WindowThread b(log_b, [&](EKLV_HWND self) { hwnd_b = self; body(self); });
}

}  // namespace
