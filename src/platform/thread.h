// Threads with system thread ids.
#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace eklv::pf {

using ThreadProc = std::uint32_t (*)(void* argument);

// Starts a thread running proc(argument). Answers its handle (waitable:
// signalled when the thread has ended) and stores its system id, or answers
// kNullHandle with the last error set.
Handle CreateThread(ThreadProc proc, void* argument, std::uint32_t* thread_id);

// The calling thread's system id (gettid on Linux).
std::uint32_t GetCurrentThreadId();

// A new handle on a running thread of this process, or kNullHandle (last
// error set) when no such thread runs any more.
Handle OpenThread(std::uint32_t thread_id);

// Forced termination. Not available on every platform: answers false with
// kErrorNotSupported there, and the caller carries on without it.
bool TerminateThread(Handle thread, std::uint32_t exit_code);

// Exit code of an ended thread; false while it runs.
bool GetExitCodeThread(Handle thread, std::uint32_t* exit_code);

void Sleep(std::uint32_t ms);

// Releases what the platform keeps of threads that have ended (joins them
// where the platform requires it). Called at shutdown.
void ReapEndedThreads();

}  // namespace eklv::pf
