// The message-window system through its C interface, as hosts and the
// library's own loops use it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <latch>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "eklv/eklv_host.h"

namespace {

constexpr uint32_t kUser = EKLV_WM_USER;

// Records the calls of a window procedure; answers wparam * 2 unless `answer` is set.
struct ProcLog {
    std::mutex mutex;
    std::vector<uint32_t> messages;
    std::thread::id thread;
    std::function<intptr_t(EKLV_HWND, uint32_t, uintptr_t)> answer;

    std::vector<uint32_t> Messages() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }
};

intptr_t LogProc(EKLV_HWND hwnd, uint32_t message, uintptr_t wparam, intptr_t, void* user) {
    auto* log = static_cast<ProcLog*>(user);
    {
        std::lock_guard<std::mutex> lock(log->mutex);
        log->messages.push_back(message);
        log->thread = std::this_thread::get_id();
    }
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
    WindowThread(ProcLog& log, std::function<void(EKLV_HWND)> body) {
        std::promise<EKLV_HWND> created;
        std::future<EKLV_HWND> hwnd = created.get_future();
        thread_ = std::thread([&log, body = std::move(body), created = std::move(created)]() mutable {
            EKLV_HWND hwnd = EKLVHostCreateWindow(&LogProc, &log);
            created.set_value(hwnd);
            body(hwnd);
        });
        hwnd_ = hwnd.get();
    }
    ~WindowThread() { Join(); }
    EKLV_HWND hwnd() const { return hwnd_; }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
    EKLV_HWND hwnd_;
};

TEST(MsgwinTest, RegisteredMessageIds) {
    uint32_t a = EKLVHostRegisterWindowMessage("WM_EKLV_TEST_A");
    EXPECT_GE(a, 0xC000u);
    EXPECT_LE(a, 0xFFFFu);
    EXPECT_EQ(EKLVHostRegisterWindowMessage("wm_eklv_Test_a"), a);
    EXPECT_NE(EKLVHostRegisterWindowMessage("WM_EKLV_TEST_B"), a);
    EXPECT_EQ(EKLVHostRegisterWindowMessage(nullptr), 0u);
    EXPECT_EQ(EKLVHostRegisterWindowMessage(""), 0u);
    EXPECT_EQ(EKLVHostRegisterWindowMessage(std::string(256, 'x').c_str()), 0u);

    // Threads registering the same new names at once all get the same ids.
    constexpr int kThreads = 6, kNames = 20;
    std::vector<std::vector<uint32_t>> ids(kThreads, std::vector<uint32_t>(kNames));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&ids, t] {
            for (int i = 0; i < kNames; ++i)
                ids[t][i] = EKLVHostRegisterWindowMessage(("WM_EKLV_RACE_" + std::to_string(i)).c_str());
        });
    }
    for (auto& t : threads) t.join();
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(ids[t], ids[0]);
    EXPECT_EQ(std::set<uint32_t>(ids[0].begin(), ids[0].end()).size(), static_cast<size_t>(kNames));
}

TEST(MsgwinTest, WindowLifetime) {
    ProcLog log;
    EKLV_HWND a = EKLVHostCreateWindow(&LogProc, &log);
    EKLV_HWND b = EKLVHostCreateWindow(&LogProc, &log);
    ASSERT_NE(a, 0u);
    EXPECT_NE(a, b);
    EXPECT_NE(b, 0xFFFFu);
    EXPECT_EQ(EKLVHostCreateWindow(nullptr, nullptr), 0u);
    EXPECT_EQ(EKLVHostSendMessage(a, kUser, 4, 0), 8);  // own window: called directly

    // Only the owner may destroy, dispatch to or filter on a window.
    EKLVMsg foreign{a, kUser, 1, 0, 0};
    std::thread([&] {
        EKLVMsg msg;
        EXPECT_EQ(EKLVHostDestroyWindow(a), 0);
        EXPECT_EQ(EKLVHostDispatchMessage(&foreign), 0);
        EXPECT_EQ(EKLVHostGetMessage(&msg, a, 0, 0), -1);
    }).join();
    EXPECT_EQ(EKLVHostDispatchMessage(&foreign), 2);
    EXPECT_EQ(EKLVHostTranslateMessage(&foreign), 0);

    // Destroying drops queued messages: WM_DESTROY is the last call, posts then fail.
    ASSERT_EQ(EKLVHostPostMessage(a, kUser + 1, 0, 0), 1);
    EXPECT_EQ(EKLVHostDestroyWindow(a), 1);
    EXPECT_EQ(log.Messages(), (std::vector<uint32_t>{kUser, kUser, EKLV_WM_DESTROY}));
    EKLVMsg msg;
    EXPECT_EQ(EKLVHostPeekMessage(&msg, 0, 0, 0, 1), 0);
    EXPECT_EQ(EKLVHostIsWindow(a), 0);
    EXPECT_EQ(EKLVHostPostMessage(a, kUser, 0, 0), 0);
    EXPECT_EQ(EKLVHostSendMessage(a, kUser, 1, 0), 0);
    EXPECT_EQ(EKLVHostDestroyWindow(a), 0);
    EXPECT_EQ(EKLVHostDispatchMessage(&foreign), 0);
    EXPECT_EQ(EKLVHostGetMessage(&msg, a, 0, 0), -1);
    EXPECT_EQ(EKLVHostGetMessage(nullptr, 0, 0, 0), -1);

    // A loop filtered on a window ends with -1 when a message destroys that window.
    log.answer = [](EKLV_HWND hwnd, uint32_t, uintptr_t) { return EKLVHostDestroyWindow(hwnd); };
    ASSERT_EQ(EKLVHostPostMessage(b, kUser, 0, 0), 1);
    EXPECT_EQ(Pump(b), -1);
    EXPECT_EQ(EKLVHostIsWindow(b), 0);
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
    EXPECT_EQ(msg.hwnd, w2);
    EXPECT_EQ(msg.message, kUser + 3);
    EXPECT_EQ(msg.lparam, -3);
    ASSERT_EQ(EKLVHostGetMessage(&msg, 0, kUser + 2, kUser + 2), 1);
    EXPECT_EQ(msg.wparam, 12u);
    ASSERT_EQ(EKLVHostPeekMessage(&msg, 0, 0, 0, 0), 1);  // left in place
    ASSERT_EQ(EKLVHostGetMessage(&msg, w1, 0, 0), 1);
    EXPECT_EQ(msg.message, kUser + 1);
    EXPECT_EQ(EKLVHostPeekMessage(&msg, 0, 0, 0, 1), 0);

    // PostQuitMessage is a thread message: hidden by a window filter, not by a range.
    EKLVHostPostQuitMessage(7);
    EXPECT_EQ(EKLVHostGetMessageTimeout(&msg, w1, 0, 0, 0), -2);
    ASSERT_EQ(EKLVHostGetMessage(&msg, 0, kUser, kUser), 0);
    EXPECT_EQ(msg.hwnd, 0u);
    EXPECT_EQ(msg.wparam, 7u);
    // WM_QUIT posted to a window ends that window's loop.
    ASSERT_EQ(EKLVHostPostMessage(w1, EKLV_WM_QUIT, 0, 0), 1);
    EXPECT_EQ(Pump(w1), 0);

    // A timed wait times out, and a post from another thread ends it early.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(EKLVHostGetMessageTimeout(&msg, 0, 0, 0, 30), -2);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    std::thread poster([&] { EKLVHostPostMessage(w2, kUser, 0, 0); });
    EXPECT_EQ(EKLVHostGetMessageTimeout(&msg, 0, 0, 0, 60000), 1);
    poster.join();

    // Each queue holds at most 10000 posted messages.
    int accepted = 0;
    while (accepted < 20000 && EKLVHostPostMessage(w1, kUser, 0, 0) == 1) ++accepted;
    EXPECT_EQ(accepted, 10000);
    ASSERT_EQ(EKLVHostGetMessage(&msg, 0, 0, 0), 1);
    EXPECT_EQ(EKLVHostPostMessage(w2, kUser, 0, 0), 1);
    EXPECT_TRUE(log.Messages().empty());
    EKLVHostDestroyWindow(w1);
    EKLVHostDestroyWindow(w2);
    ASSERT_EQ(EKLVHostPeekMessage(&msg, 0, 0, 0, 1), 0);  // destroyed windows took their messages
}

TEST(MsgwinTest, SendAcrossThreads) {
    ProcLog log;
    log.answer = [](EKLV_HWND, uint32_t message, uintptr_t wparam) -> intptr_t {
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
    {
        std::lock_guard<std::mutex> lock(log.mutex);
        EXPECT_NE(log.thread, std::this_thread::get_id());
    }
    intptr_t result = 0;
    EXPECT_EQ(EKLVHostSendMessageTimeout(receiver.hwnd(), kUser + 1, 5, 0, 60000, &result), 1);
    EXPECT_EQ(result, 10);
    EXPECT_EQ(EKLVHostSendMessage(receiver.hwnd(), kUser + 3, 1, 0), 0);  // a throwing procedure fails the send
    EXPECT_EQ(EKLVHostPostMessage(receiver.hwnd(), kUser + 9, 0, 0), 1);
    EXPECT_EQ(EKLVHostSendMessage(receiver.hwnd(), kUser + 4, 1, 0), 2);  // the loop survived
    EXPECT_EQ(EKLVHostPostMessage(receiver.hwnd(), EKLV_WM_QUIT, 0, 0), 1);
    receiver.Join();
    EXPECT_EQ(filtered_wait, 1);
    EXPECT_EQ(log.Messages(), (std::vector<uint32_t>{kUser, kUser + 1, kUser + 3, kUser + 4, EKLV_WM_DESTROY}));
}

// A sender blocked in its send still runs sends to its own window, so a
// send to that window returns only once the sender is waiting.
TEST(MsgwinTest, SentMessagesComeBeforePostedOnes) {
    ProcLog log, sender_log;
    EKLV_HWND target = EKLVHostCreateWindow(&LogProc, &log);
    intptr_t answer = 0;
    WindowThread sender(sender_log, [&](EKLV_HWND) {
        EKLVHostPostMessage(target, kUser + 1, 0, 0);
        answer = EKLVHostSendMessage(target, kUser + 2, 3, 0);
    });
    std::thread([&] { EKLVHostSendMessage(sender.hwnd(), EKLV_WM_NULL, 0, 0); }).join();

    EKLVMsg msg;
    ASSERT_EQ(EKLVHostGetMessage(&msg, 0, 0, 0), 1);
    EXPECT_EQ(msg.message, kUser + 1);
    EXPECT_EQ(log.Messages(), std::vector<uint32_t>{kUser + 2});
    sender.Join();
    EXPECT_EQ(answer, 6);
    EKLVHostDestroyWindow(target);
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
                EXPECT_EQ(EKLVHostPeekMessage(&msg, 0, 0, 0, 1), 0);
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
        if (end != End::kSenderTimesOut) EKLVHostSendMessage(sender.hwnd(), EKLV_WM_NULL, 0, 0);
        else sender.Join();
        release.count_down();
        owner.Join();
        sender.Join();
        EXPECT_EQ(answer, 0);
        // The sent message never reached the procedure.
        EXPECT_EQ(log.Messages(), end == End::kThreadExits ? std::vector<uint32_t>{}
                                                           : std::vector<uint32_t>{EKLV_WM_DESTROY});
        EXPECT_EQ(EKLVHostIsWindow(owner.hwnd()), 0);
        EXPECT_EQ(EKLVHostPostMessage(owner.hwnd(), kUser, 0, 0), 0);
    }
}

// Both threads send to each other's window at once; every other message makes
// the receiver send back while its sender is still waiting.
TEST(MsgwinTest, ThreadsSendingToEachOtherDoNotDeadlock) {
    constexpr int kRounds = 300;
    ProcLog log_a, log_b;
    std::atomic<EKLV_HWND> hwnd_a{0}, hwnd_b{0};
    log_a.answer = log_b.answer = [&](EKLV_HWND self, uint32_t message, uintptr_t wparam) -> intptr_t {
        if (message != kUser + 1) return static_cast<intptr_t>(wparam * 2);
        return EKLVHostSendMessage(self == hwnd_a ? hwnd_b.load() : hwnd_a.load(), kUser, wparam, 0) + 1;
    };
    std::latch both_created(2);
    auto body = [&](EKLV_HWND self) {
        both_created.arrive_and_wait();
        EKLV_HWND peer = self == hwnd_a ? hwnd_b.load() : hwnd_a.load();
        for (int i = 0; i < kRounds; ++i) {
            EXPECT_EQ(EKLVHostSendMessage(peer, kUser + (i % 2), i, 0), 2 * i + (i % 2));
        }
        // Keep answering the peer until it has finished too.
        EKLVHostPostMessage(peer, EKLV_WM_QUIT, 0, 0);
        EXPECT_EQ(Pump(self), 0);
        EKLVHostDestroyWindow(self);
    };
    std::function<void(EKLV_HWND)> run_a = [&](EKLV_HWND self) { hwnd_a = self; body(self); };
    std::function<void(EKLV_HWND)> run_b = [&](EKLV_HWND self) { hwnd_b = self; body(self); };
    WindowThread a(log_a, run_a), b(log_b, run_b);
}

}  // namespace
