// Events, waits, threads and UUID text of the platform layer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/module.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace eklv::pf {
namespace {

TEST(Events, ManualAndAutoReset) {
    Handle manual = CreateEventA(true, true);
    Handle automatic = CreateEventA(false, true);
    EXPECT_EQ(WaitForSingleObject(manual, 0), kWaitObject0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), kWaitObject0) << "manual reset stays signalled";
    EXPECT_EQ(WaitForSingleObject(automatic, 0), kWaitObject0);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), kWaitTimeout) << "auto reset released one waiter";
    ResetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 20), kWaitTimeout);
    EXPECT_TRUE(CloseHandle(manual));
    EXPECT_FALSE(CloseHandle(manual));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    EXPECT_EQ(WaitForSingleObject(manual, 0), kWaitFailed) << "a closed handle is never reused";
    CloseHandle(automatic);
}

TEST(Events, WaitForAnyAnswersTheLowestSignalledAndWakesAcrossThreads) {
    Handle a = CreateEventA(true, false), b = CreateEventA(false, false), c = CreateEventA(true, false);
    Handle all[3] = {a, b, c};
    SetEvent(c);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(3, all, false, 0), kWaitObject0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, all, false, 0), kWaitObject0 + 2) << "b was taken, c stays";
    EXPECT_EQ(WaitForMultipleObjects(3, all, true, 0), kWaitTimeout);
    SetEvent(a);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(3, all, true, 0), kWaitObject0);
    ResetEvent(a);
    ResetEvent(c);
    std::thread setter([b] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        SetEvent(b);
    });
    EXPECT_EQ(WaitForMultipleObjects(3, all, false, 5000), kWaitObject0 + 1);
    setter.join();
    EXPECT_EQ(WaitForMultipleObjects(0, all, false, 0), kWaitFailed);
    for (Handle h : all) CloseHandle(h);
}

std::atomic<int> g_ran{0};
std::uint32_t Proc(void* arg) {
    g_ran = 1;
    return WaitForSingleObject(*static_cast<Handle*>(arg), 5000) == kWaitObject0 ? 7 : 8;
}

TEST(Threads, HandlesAreWaitableAndIdsOpenWhileAHandleLives) {
    Handle go = CreateEventA(true, false);
    std::uint32_t id = 0;
    Handle thread = CreateThread(&Proc, &go, &id);
    ASSERT_NE(thread, kNullHandle);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(WaitForSingleObject(thread, 20), kWaitTimeout);
    std::uint32_t code = 0;
    EXPECT_FALSE(GetExitCodeThread(thread, &code)) << "still running";
    Handle opened = OpenThread(id);
    ASSERT_NE(opened, kNullHandle);
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(opened, 5000), kWaitObject0);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_NE(OpenThread(id), kNullHandle) << "ended, but handles are open";
    CloseHandle(opened);
    CloseHandle(thread);
    EXPECT_FALSE(TerminateThread(thread, 9));
    CloseHandle(go);
}

TEST(Threads, CriticalSectionIsRecursive) {
    CriticalSection cs;
    cs.Enter();
    EXPECT_TRUE(cs.TryEnter());
    cs.Leave();
    bool other = true;
    std::thread([&] { other = cs.TryEnter(); }).join();
    EXPECT_FALSE(other);
    cs.Leave();
}

TEST(Uuid, ParsesOnlyTheBracelessForm) {
    Guid g{};
    ASSERT_TRUE(UuidFromStringA("f18a0e88-c30c-11d0-8815-00a0c906bed8", &g));
    EXPECT_TRUE(g == (Guid{0xf18a0e88, 0xc30c, 0x11d0, {0x88, 0x15, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0xd8}}));
    EXPECT_EQ(GuidToString(g), "f18a0e88-c30c-11d0-8815-00a0c906bed8");
    Guid upper{};
    EXPECT_TRUE(UuidFromStringA("F18A0E88-C30C-11D0-8815-00A0C906BED8", &upper) && upper == g);
    for (const char* bad : {"{f18a0e88-c30c-11d0-8815-00a0c906bed8}", "f18a0e88c30c11d0881500a0c906bed8",
                            "f18a0e88-c30c-11d0-8815-00a0c906bedg", "", "f18a0e88-c30c-11d0-8815-00a0c906bed"})
        EXPECT_FALSE(UuidFromStringA(bad, &g)) << bad;
    EXPECT_FALSE(UuidFromStringA(nullptr, &g));
}

}  // namespace
}  // namespace eklv::pf
