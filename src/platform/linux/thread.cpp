// Threads of the Linux backend: std::thread with gettid() ids.
//
// A thread object stays alive while its body runs (the body holds a
// reference) and while any handle names it. Its std::thread is joined by
// whoever drops the last reference; when that is the ending thread itself,
// the std::thread goes to a list that the next CreateThread or
// ReapEndedThreads joins, so no thread is ever detached.
#include "platform/thread.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <map>
#include <mutex>
#include <new>
#include <semaphore>
#include <thread>
#include <vector>

#include "platform/linux/event.h"
#include "platform/linux/thread_internal.h"

namespace eklv::pf {
namespace lx {
namespace {

class ThreadObject;

struct Registry {
    std::mutex mutex;
    std::map<std::uint32_t, std::weak_ptr<ThreadObject>> live;  // by system id, while the object lives
    std::vector<std::thread> ended;                                 // to be joined
    // Threads between signalling their end and handing their std::thread
    // to a joiner: a reaper waits for them, or the library could be
    // unloaded under their last instructions.
    int finishing = 0;
    std::condition_variable handed_over;

    // Under mutex: waits (bounded) until no thread is finishing.
    void AwaitHandOver(std::unique_lock<std::mutex>& lock) {
        handed_over.wait_for(lock, std::chrono::seconds(5), [this] { return finishing == 0; });
    }
};

// Plain flag, valid during static destruction: thread objects held by the
// handle table may be destroyed after the registry at unload.
std::atomic<bool> g_registry_alive{false};

struct RegistryHolder {
    Registry registry;
    RegistryHolder() { g_registry_alive = true; }
    ~RegistryHolder() {
        std::vector<std::thread> ended;
        {
            std::unique_lock<std::mutex> lock(registry.mutex);
            registry.AwaitHandOver(lock);
            g_registry_alive = false;
            ended.swap(registry.ended);
        }
        for (auto& t : ended) t.join();
    }
};

Registry& TheRegistry() {
    static RegistryHolder holder;
    return holder.registry;
}

class ThreadObject : public KernelObject {
public:
    ThreadObject() : done_(true, false) {}
    ~ThreadObject() override {
        if (!g_registry_alive) {
            if (thread_.joinable()) {
                if (thread_.get_id() == std::this_thread::get_id())
                    thread_.detach();  // the process is ending on this very thread
                else
                    thread_.join();
            }
            return;
        }
        {
            // The id stays openable while the object lives, as a Windows
            // thread id does while a handle on the thread is open.
            Registry& r = TheRegistry();
            std::lock_guard<std::mutex> lock(r.mutex);
            auto it = r.live.find(id_);
            if (it != r.live.end() && it->second.expired()) r.live.erase(it);
        }
        if (!thread_.joinable()) return;
        if (thread_.get_id() == std::this_thread::get_id()) {
            Registry& r = TheRegistry();
            std::lock_guard<std::mutex> lock(r.mutex);
            r.ended.push_back(std::move(thread_));
        } else {
            thread_.join();
        }
    }

    int WaitFd() override { return done_.WaitFd(); }
    bool Acquire() override { return done_.IsSignalled(); }
    bool IsSignalled() override { return done_.IsSignalled(); }

    std::thread thread_;
    Event done_;
    std::atomic<std::uint32_t> id_{0};
    std::atomic<std::uint32_t> exit_code_{0};
    std::atomic<bool> ended_{false};
};

void Body(std::shared_ptr<ThreadObject> self, ThreadProc proc, void* argument, std::binary_semaphore* started,
          std::uint32_t* id_out) {
    std::uint32_t id = static_cast<std::uint32_t>(syscall(SYS_gettid));
    self->id_ = id;
    {
        Registry& r = TheRegistry();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.live[id] = self;
    }
    *id_out = id;
    started->release();  // CreateThread may return now
    std::uint32_t code = proc(argument);
    self->exit_code_ = code;
    self->ended_ = true;
    Registry& r = TheRegistry();
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        ++r.finishing;
    }
    self->done_.Set();
    self.reset();  // may run the destructor on this thread; see above
    // From here on a join covers the rest: the std::thread is in the ended
    // list or still in an object whose last owner will join it.
    std::lock_guard<std::mutex> lock(r.mutex);
    if (--r.finishing == 0) r.handed_over.notify_all();
}

}  // namespace

void ReapEndedThreads() {
    std::vector<std::thread> ended;
    {
        Registry& r = TheRegistry();
        std::unique_lock<std::mutex> lock(r.mutex);
        r.AwaitHandOver(lock);
        ended.swap(r.ended);
    }
    for (auto& t : ended) t.join();
}

std::size_t RunningThreadCount() {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::size_t n = 0;
    for (auto& [id, weak] : r.live)
        if (auto object = weak.lock(); object && !object->ended_) ++n;
    return n;
}

}  // namespace lx

Handle CreateThread(ThreadProc proc, void* argument, std::uint32_t* thread_id) {
    lx::ReapEndedThreads();
    std::shared_ptr<lx::ThreadObject> object(new (std::nothrow) lx::ThreadObject);
    if (!object || proc == nullptr) {
        SetLastError(proc == nullptr ? kErrorInvalidParameter : kErrorNotEnoughMemory);
        return kNullHandle;
    }
    Handle h = lx::InsertObject(object);
    std::binary_semaphore started(0);
    std::uint32_t id = 0;
    try {
        object->thread_ = std::thread(lx::Body, object, proc, argument, &started, &id);
    } catch (...) {
        lx::RemoveObject(h);
        SetLastError(kErrorNotEnoughMemory);
        return kNullHandle;
    }
    started.acquire();  // the body has published its id
    if (thread_id) *thread_id = id;
    return h;
}

std::uint32_t GetCurrentThreadId() {
    static thread_local std::uint32_t id = static_cast<std::uint32_t>(syscall(SYS_gettid));
    return id;
}

Handle OpenThread(std::uint32_t thread_id) {
    std::shared_ptr<lx::ThreadObject> object;
    {
        lx::Registry& r = lx::TheRegistry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.live.find(thread_id);
        if (it != r.live.end()) object = it->second.lock();
    }
    if (!object) {
        SetLastError(kErrorInvalidParameter);
        return kNullHandle;
    }
    return lx::InsertObject(object);
}

bool TerminateThread(Handle thread, std::uint32_t exit_code) {
    (void)thread;
    (void)exit_code;
    SetLastError(kErrorNotSupported);  // no safe forced termination on Linux
    return false;
}

bool GetExitCodeThread(Handle thread, std::uint32_t* exit_code) {
    auto object = lx::Lookup<lx::ThreadObject>(thread);
    if (!object || !object->ended_) {
        SetLastError(object ? kErrorInvalidParameter : kErrorInvalidHandle);
        return false;
    }
    if (exit_code) *exit_code = object->exit_code_;
    return true;
}

void ReapEndedThreads() { lx::ReapEndedThreads(); }

void Sleep(std::uint32_t ms) {
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

}  // namespace eklv::pf
