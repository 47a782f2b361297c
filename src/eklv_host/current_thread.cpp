#include "eklv_host/current_thread.h"

#include "eklv_host/message_system.h"

namespace eklv::msgwin {
namespace {

// Trivially destructible, so still readable from thread-exit code that runs
// after the slot below is gone.
thread_local bool thread_ending = false;

struct QueueSlot {
    std::shared_ptr<ThreadQueue> queue;

    ~QueueSlot() {
        thread_ending = true;
        if (queue) MessageSystem::Instance().EndThread(*queue);
    }
};

thread_local QueueSlot slot;

}  // namespace

std::shared_ptr<ThreadQueue> CurrentQueue() {
    if (thread_ending) return nullptr;
    if (!slot.queue) slot.queue = std::make_shared<ThreadQueue>();
    return slot.queue;
}

}  // namespace eklv::msgwin
