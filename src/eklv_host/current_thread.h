// The calling thread's message queue.
#pragma once

#include <memory>

#include "eklv_host/thread_queue.h"

namespace eklv::msgwin {

// The calling thread's queue, created on first use. When the thread ends, its
// windows go and waiting senders are released (see MessageSystem::EndThread);
// from then on this answers null.
std::shared_ptr<ThreadQueue> CurrentQueue();

}  // namespace eklv::msgwin
