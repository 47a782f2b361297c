#include "platform/win32/sync_transfers.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace eklv::pf::w32 {

namespace {

struct Table {
    std::mutex mutex;
    std::vector<std::pair<HANDLE, DWORD>> inside;  // file, thread
};

Table& TheTable() {
    static Table* table = new Table;  // used by host threads that may outlive static destruction
    return *table;
}

}  // namespace

SyncTransfer::SyncTransfer(HANDLE file) : file_(file), thread_(::GetCurrentThreadId()) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.inside.emplace_back(file_, thread_);
}

SyncTransfer::~SyncTransfer() {
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = std::find(t.inside.begin(), t.inside.end(), std::make_pair(file_, thread_));
    if (it != t.inside.end()) t.inside.erase(it);
}

void CancelSyncTransfers(HANDLE file) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    for (const auto& [f, thread_id] : t.inside) {
        if (f != file || thread_id == ::GetCurrentThreadId()) continue;
        HANDLE thread = ::OpenThread(THREAD_TERMINATE, FALSE, thread_id);
        if (thread == nullptr) continue;
        ::CancelSynchronousIo(thread);  // fails with ERROR_NOT_FOUND between two waits: the next cancel catches it
        ::CloseHandle(thread);
    }
}

}  // namespace eklv::pf::w32
