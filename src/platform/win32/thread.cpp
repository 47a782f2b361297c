// Threads: kernel32's own, with a __stdcall start routine in between.
#include "platform/thread.h"

#include <windows.h>

#include <new>

#include "platform/win32/comm_wait.h"

namespace eklv::pf {
namespace {

struct Start {
    ThreadProc proc;
    void* argument;
};

DWORD WINAPI StartRoutine(LPVOID parameter) {
    Start start = *static_cast<Start*>(parameter);
    delete static_cast<Start*>(parameter);
    try {
        return start.proc(start.argument);
    } catch (...) {
        return ERROR_GEN_FAILURE;  // nothing leaves a thread by exception
    }
}

}  // namespace

Handle CreateThread(ThreadProc proc, void* argument, std::uint32_t* thread_id) {
    auto* start = new (std::nothrow) Start{proc, argument};
    if (proc == nullptr || start == nullptr) {
        delete start;
        ::SetLastError(proc == nullptr ? ERROR_INVALID_PARAMETER : ERROR_NOT_ENOUGH_MEMORY);
        return kNullHandle;
    }
    DWORD id = 0;
    HANDLE thread = ::CreateThread(nullptr, 0, &StartRoutine, start, 0, &id);
    if (thread == nullptr) {
        DWORD error = ::GetLastError();
        delete start;
        ::SetLastError(error);
        return kNullHandle;
    }
    if (thread_id != nullptr) *thread_id = id;
    return reinterpret_cast<Handle>(thread);
}

std::uint32_t GetCurrentThreadId() { return ::GetCurrentThreadId(); }

Handle OpenThread(std::uint32_t thread_id) {
    return reinterpret_cast<Handle>(::OpenThread(SYNCHRONIZE | THREAD_QUERY_INFORMATION | THREAD_TERMINATE, FALSE,
                                                 thread_id));
}

bool TerminateThread(Handle thread, std::uint32_t exit_code) {
    return ::TerminateThread(reinterpret_cast<HANDLE>(thread), exit_code) != FALSE;
}

bool GetExitCodeThread(Handle thread, std::uint32_t* exit_code) {
    DWORD code = 0;
    if (!::GetExitCodeThread(reinterpret_cast<HANDLE>(thread), &code)) return false;
    if (code == STILL_ACTIVE) return false;
    if (exit_code != nullptr) *exit_code = code;
    return true;
}

void Sleep(std::uint32_t ms) { ::Sleep(ms); }

// Windows keeps nothing of an ended thread once its handles are closed; only
// the backend's own COM-port watcher (comm_wait.cpp) may still be ending.
void ReapEndedThreads() { w32::JoinCommWatcher(); }

}  // namespace eklv::pf
