// EventPool: the manual-reset events of the host calls' overlapped reads and
// writes. A call borrows one for its duration (PooledEvent) and gives it
// back, so that no event is made per call, and no host thread keeps one
// between calls: an object with a destructor kept per thread would make the
// DLL's runtime pin the DLL on every such thread and run the destructor
// from the thread's exit, under the loader lock (a host's FreeLibrary then
// leaves the DLL loaded, and a thread's exit can hang). EKLVUninitialize
// closes the pooled events once no device call is inside.
#pragma once

#include <cstddef>

#include "platform/handle.h"

namespace eklv {

class EventPool {
public:
    // A manual-reset event, not signalled; kNullHandle when none can be made.
    static pf::Handle Take();
    // Back to the pool (reset), once nothing can signal it any more.
    static void Give(pf::Handle event);
    // Closes every pooled event. Only while no call has one borrowed (the
    // call gate is drained).
    static void ReleaseAll();
    // Events in the pool, not borrowed: kept for the next calls, not leaked.
    static std::size_t IdleCount();
};

// An event borrowed for the scope.
class PooledEvent {
public:
    PooledEvent() : event_(EventPool::Take()) {}
    ~PooledEvent() {
        if (event_ != pf::kNullHandle) EventPool::Give(event_);
    }
    PooledEvent(const PooledEvent&) = delete;
    PooledEvent& operator=(const PooledEvent&) = delete;
    pf::Handle Get() const { return event_; }

private:
    const pf::Handle event_;
};

}  // namespace eklv
