// Threads inside a synchronous ReadFile or WriteFile, by file. CancelIoEx
// ends only the asynchronous requests of some serial drivers (and of Wine),
// so a cancel of every thread's I/O on a file also cancels these threads'
// synchronous transfers, with CancelSynchronousIo.
#pragma once

#include <windows.h>

namespace eklv::pf::w32 {

// Marks the calling thread as inside a synchronous transfer on file for
// its lifetime.
class SyncTransfer {
public:
    explicit SyncTransfer(HANDLE file);
    ~SyncTransfer();
    SyncTransfer(const SyncTransfer&) = delete;
    SyncTransfer& operator=(const SyncTransfer&) = delete;

private:
    const HANDLE file_;
    const DWORD thread_;
};

// Cancels the synchronous transfers on file of every thread now inside one.
// A thread is cancelled only while it is inside its transfer: it cannot
// leave the table while the cancel runs.
void CancelSyncTransfers(HANDLE file);

}  // namespace eklv::pf::w32
