#include "platform/linux/sysfs_lock.h"

#include <new>

namespace eklv::pf::lx {

void SysfsMutex::Acquire(bool urgent) {
    const std::thread::id me = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(mutex_);
    if (depth_ > 0 && owner_ == me) {
        ++depth_;
        return;
    }
    if (urgent) ++urgent_waiting_;
    released_.wait(lock, [&] { return depth_ == 0 && (urgent || urgent_waiting_ == 0); });
    if (urgent) --urgent_waiting_;
    owner_ = me;
    depth_ = 1;
}

void SysfsMutex::unlock() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (--depth_ > 0) return;
    owner_ = std::thread::id();
    lock.unlock();
    released_.notify_all();
}

SysfsMutex& SysfsLock() {
    // Never destroyed: threads may still ask device questions while static
    // objects are torn down at unload.
    alignas(SysfsMutex) static unsigned char storage[sizeof(SysfsMutex)];
    static auto* lock = new (storage) SysfsMutex;
    return *lock;
}

}  // namespace eklv::pf::lx
