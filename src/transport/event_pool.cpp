#include "transport/event_pool.h"

#include <mutex>
#include <new>
#include <vector>

#include "platform/sync.h"

namespace eklv {
namespace {

struct Pool {
    std::mutex mutex;
    std::vector<pf::Handle> idle;
};

// Never destroyed, and not on the heap (the library may be unloaded):
// a call may give its event back after static destruction has begun.
Pool& ThePool() {
    alignas(Pool) static unsigned char storage[sizeof(Pool)];
    static Pool* pool = new (storage) Pool;
    return *pool;
}

}  // namespace

pf::Handle EventPool::Take() {
    Pool& p = ThePool();
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        if (!p.idle.empty()) {
            pf::Handle event = p.idle.back();
            p.idle.pop_back();
            return event;
        }
    }
    return pf::CreateEventA(true, false);
}

void EventPool::Give(pf::Handle event) {
    pf::ResetEvent(event);
    Pool& p = ThePool();
    std::lock_guard<std::mutex> lock(p.mutex);
    try {
        p.idle.push_back(event);
    } catch (...) {
        pf::CloseHandle(event);
    }
}

std::size_t EventPool::IdleCount() {
    Pool& p = ThePool();
    std::lock_guard<std::mutex> lock(p.mutex);
    return p.idle.size();
}

void EventPool::ReleaseAll() {
    std::vector<pf::Handle> idle;
    Pool& p = ThePool();
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        idle.swap(p.idle);
    }
    for (pf::Handle event : idle) pf::CloseHandle(event);
}

}  // namespace eklv
