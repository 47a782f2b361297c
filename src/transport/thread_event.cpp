#include "transport/thread_event.h"

#include <mutex>
#include <new>
#include <set>

#include "platform/sync.h"

namespace eklv {
namespace {

struct Registry {
    std::mutex mutex;
    std::set<ThreadEvent*> events;
};

// Never destroyed, and not on the heap (the library may be unloaded):
// threads may end after static destruction has begun.
Registry& Events() {
    alignas(Registry) static unsigned char storage[sizeof(Registry)];
    static Registry* registry = new (storage) Registry;
    return *registry;
}

}  // namespace

ThreadEvent::ThreadEvent(bool manual_reset) : manual_reset_(manual_reset) {
    Registry& r = Events();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.events.insert(this);
}

ThreadEvent::~ThreadEvent() {
    Registry& r = Events();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.events.erase(this);
    if (pf::Handle h = handle_.exchange(pf::kNullHandle); h != pf::kNullHandle) pf::CloseHandle(h);
}

pf::Handle ThreadEvent::Get() {
    pf::Handle h = handle_.load();
    if (h == pf::kNullHandle) {
        h = pf::CreateEventA(manual_reset_, false);
        handle_.store(h);
    }
    return h;
}

void ThreadEvent::ReleaseAll() {
    Registry& r = Events();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (ThreadEvent* event : r.events)
        if (pf::Handle h = event->handle_.exchange(pf::kNullHandle); h != pf::kNullHandle) pf::CloseHandle(h);
}

}  // namespace eklv
