// Handle table and last error of the Linux backend.
#include <cerrno>
#include <mutex>
#include <unordered_map>

#include "platform/linux/kernel_object.h"

namespace eklv::pf {
namespace lx {
namespace {

struct Table {
    std::mutex mutex;
    std::unordered_map<Handle, std::shared_ptr<KernelObject>> objects;
    Handle next = 0x1000;
};

// Destroyed when the library is unloaded, with every object still open.
Table& TheTable() {
    static Table table;
    return table;
}

}  // namespace

Handle InsertObject(std::shared_ptr<KernelObject> object) {
    if (!object) return kNullHandle;
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    Handle h = t.next;
    t.next += 4;
    if (t.next == kInvalidHandle || t.next == kNullHandle) t.next = 0x1000;
    t.objects.emplace(h, std::move(object));
    return h;
}

std::shared_ptr<KernelObject> LookupObject(Handle handle) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.objects.find(handle);
    return it == t.objects.end() ? nullptr : it->second;
}

std::size_t ObjectCount() {
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    return t.objects.size();
}

bool RemoveObject(Handle handle) {
    std::shared_ptr<KernelObject> doomed;  // destroyed outside the table lock
    Table& t = TheTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.objects.find(handle);
    if (it == t.objects.end()) return false;
    doomed = std::move(it->second);
    t.objects.erase(it);
    return true;
}

}  // namespace lx

namespace {
thread_local std::uint32_t t_last_error = 0;
}

std::uint32_t GetLastError() { return t_last_error; }
void SetLastError(std::uint32_t code) { t_last_error = code; }

bool CloseHandle(Handle h) {
    if (!lx::RemoveObject(h)) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

}  // namespace eklv::pf
