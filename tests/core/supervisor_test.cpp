// The thread supervisor: registration, ordered stop, bounded waits and the
// terminating flag.
#include "core/supervisor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "core/settings.h"
#include "log/message_logger.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

// A worker that registers with the supervisor and runs until its stop event
// is set (or, when it ignores stops, until the test releases it).
struct Worker {
    pf::Handle stop = pf::CreateEventA(true, false);
    pf::Handle registered = pf::CreateEventA(true, false);
    pf::Handle release = pf::CreateEventA(true, false);  // ends a worker that ignores its stop routine
    bool obeys = true;
    pf::Handle thread = pf::kNullHandle;
    std::uint32_t id = 0;

    ~Worker() {
        pf::SetEvent(release);
        if (thread != pf::kNullHandle) {
            pf::WaitForSingleObject(thread, 10000);
            pf::CloseHandle(thread);
        }
        for (pf::Handle h : {stop, registered, release}) pf::CloseHandle(h);
    }
};

std::mutex g_order_mutex;
std::vector<int> g_stop_order;
Worker* g_workers[3];

template <int N>
int StopRoutine() {
    {
        std::lock_guard<std::mutex> lock(g_order_mutex);
        g_stop_order.push_back(N);
    }
    if (g_workers[N]->obeys) pf::SetEvent(g_workers[N]->stop);
    return 0;
}

ThreadStopRoutine kRoutines[3] = {&StopRoutine<0>, &StopRoutine<1>, &StopRoutine<2>};

std::uint32_t WorkerProc(void* argument) {
    auto* w = static_cast<Worker*>(argument);
    int index = 0;
    while (g_workers[index] != w) ++index;
    CKLVSupervisor::GetInstance()->OnThreadEntrance(kRoutines[index]);
    pf::SetEvent(w->registered);
    pf::Handle waits[2] = {w->stop, w->release};
    pf::WaitForMultipleObjects(2, waits, false, pf::kInfinite);
    CKLVSupervisor::GetInstance()->OnThreadExit();
    return 0;
}

class SupervisorTest : public ::testing::Test {
protected:
    void Start(const std::string& ini) {
        dir_ = std::make_unique<test::ModuleFolder>(test::VerboseLogIni(ini));
        g_stop_order.clear();
        CKLVSupervisor::Initialize();
    }
    void Launch(Worker& w, int index) {
        g_workers[index] = &w;
        w.thread = pf::CreateThread(&WorkerProc, &w, &w.id);
        ASSERT_NE(w.thread, pf::kNullHandle);
        ASSERT_EQ(pf::WaitForSingleObject(w.registered, 5000), pf::kWaitObject0);
    }
    void TearDown() override {
        CKLVSupervisor::UnInitialize();
        CKLVMessageLogger::UnInitialize();
    }
    std::string Log() { return dir_->ReadLogs(); }
    // Whether the log holds the line that format makes of a thread id.
    bool Logged(const char* format, std::uint32_t id) {
        char line[128];
        std::snprintf(line, sizeof line, format, id);
        return Log().find(line) != std::string::npos;
    }

    std::unique_ptr<test::ModuleFolder> dir_;
};

TEST_F(SupervisorTest, StopsThreadsInRegistrationOrder) {
    Start("[Configuration]\nThread_Terminate_Wait=5000\n");
    EXPECT_EQ(CKLVSupervisor::GetInstance()->wait_time(), 5000u);
    Worker a, b, c;
    for (auto [w, index] : {std::pair{&a, 0}, {&b, 1}, {&c, 2}}) Launch(*w, index);
    EXPECT_EQ(CKLVSupervisor::GetInstance()->registered_count(), 3u);
    EXPECT_EQ(CKLVSupervisor::RequestKLVThreadTerminate(), 0u);
    EXPECT_EQ(g_stop_order, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(CKLVSupervisor::GetInstance()->registered_count(), 0u);
    EXPECT_EQ(test::CountOf(Log(), "CKLVSupervisor::OnThreadExit - block"), 3)
        << "threads that end during the pass skip their own deregistration";
    EXPECT_TRUE(Logged("RequestKLVThreadTerminate - [%#010x] terminated", b.id));
    EXPECT_TRUE(Logged("OnThreadEntrance - %#010x created", c.id));

    CKLVSupervisor::UnInitialize();
    EXPECT_EQ(CKLVSupervisor::RequestKLVThreadTerminate(), 13u);
    EXPECT_NE(Log().find("CKLVSupervisor::RequestKLVThreadTerminate - NULL instance"), std::string::npos);
}

// With a wait of 0 no thread gets grace time: threads that ignore their stop
// time out one after the other and the pass goes on. A thread that ends
// before the pass removes its own record.
TEST_F(SupervisorTest, ThreadsThatIgnoreTheirStopTimeOutAndThePassGoesOn) {
    Start("[Configuration]\nThread_Terminate_Wait=0\n");
    Worker early, stubborn, late;
    Launch(early, 2);
    pf::SetEvent(early.stop);
    ASSERT_EQ(pf::WaitForSingleObject(early.thread, 5000), pf::kWaitObject0);
    EXPECT_EQ(CKLVSupervisor::GetInstance()->registered_count(), 0u);
    EXPECT_TRUE(Logged("CKLVSupervisor::OnThreadExit - Thread id: %#x", early.id));

    stubborn.obeys = late.obeys = false;
    Launch(stubborn, 0);
    Launch(late, 1);
    EXPECT_EQ(CKLVSupervisor::RequestKLVThreadTerminate(), 0u);
    EXPECT_EQ(g_stop_order, (std::vector<int>{0, 1}));
    for (const Worker* w : {&stubborn, &late})
        EXPECT_TRUE(Logged("RequestKLVThreadTerminate - [%#010x] wait timeout", w->id));
}

}  // namespace
}  // namespace eklv
