// Registry of the library's long-lived worker threads, so that shutdown can
// stop each of them (its stop routine, then a bounded wait) before the
// objects they use are destroyed.
#pragma once

#include <cstdint>
#include <atomic>
#include <list>

namespace eklv {

using ThreadStopRoutine = int (*)();

struct ThreadRecord {
    std::uint32_t thread_id;
    ThreadStopRoutine stop_routine;  // may be null
};

class CKLVSupervisor {
public:
    virtual ~CKLVSupervisor();

    static std::uint32_t Initialize();
    static std::uint32_t UnInitialize();
    static CKLVSupervisor* GetInstance();

    // Called by a worker thread when it starts and when it ends.
    void OnThreadEntrance(ThreadStopRoutine stop_routine);
    void OnThreadExit();
    // OnThreadExit on the supervisor of the moment, if any, under the
    // instance lock: a thread that ends late (stuck in a host callback past
    // its wait) may end while EKLVUninitialize destroys the supervisor.
    static void ThreadExit();

    // Stops every registered thread in registration order: its stop routine,
    // then a wait of up to the configured time. 0, or 13 without supervisor.
    static std::uint32_t RequestKLVThreadTerminate();

    std::uint32_t wait_time() const { return wait_time_; }
    std::size_t registered_count();

private:
    CKLVSupervisor() = default;

    std::atomic<std::uint32_t> terminating_{0};
    std::list<ThreadRecord*> registry_;
    std::uint32_t wait_time_ = 15000;
};

}  // namespace eklv
