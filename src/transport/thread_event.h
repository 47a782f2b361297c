// ThreadEvent: an event that a host thread keeps between its overlapped
// reads and writes, so that no event is made per call. Every such event is
// listed process-wide, so that EKLVUninitialize can close them all once no
// device call is inside; the thread's next call makes its event again.
#pragma once

#include <atomic>

#include "platform/handle.h"

namespace eklv {

class ThreadEvent {
public:
    explicit ThreadEvent(bool manual_reset);
    ~ThreadEvent();
    ThreadEvent(const ThreadEvent&) = delete;
    ThreadEvent& operator=(const ThreadEvent&) = delete;

    // The event, made when the thread has none; null when it cannot be made.
    // Only the owning thread calls it.
    pf::Handle Get();

    // Closes the event of every thread. Only while no thread is in a call
    // that uses its event (the call gate is drained).
    static void ReleaseAll();

private:
    const bool manual_reset_;
    std::atomic<pf::Handle> handle_{pf::kNullHandle};
};

}  // namespace eklv
