// The backend's sysfs lock: one device-tree question at a time in the
// process (see udev_tree.h for why).
//
// A plain recursive mutex lets threads that ask device questions in a loop
// take it again and again while the device monitor waits to receive the
// next uevent; under umockdev, whose uevent queue holds only ten messages,
// a monitor that falls that far behind loses uevents. So the lock has an
// urgent way in: an urgent waiter goes before every ordinary one. No
// standard mutex offers that precedence, hence this small class.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

namespace eklv::pf::lx {

class SysfsMutex {
public:
    // Recursive, as std::recursive_mutex; usable with std::lock_guard.
    void lock() { Acquire(false); }
    void unlock();
    // Waits ahead of every ordinary lock() caller.
    void lock_urgent() { Acquire(true); }

private:
    void Acquire(bool urgent);

    std::mutex mutex_;
    std::condition_variable released_;
    std::thread::id owner_;
    int depth_ = 0;
    int urgent_waiting_ = 0;
};

SysfsMutex& SysfsLock();

// Holds the sysfs lock, taken the urgent way, for a scope.
class UrgentSysfsLock {
public:
    UrgentSysfsLock() : mutex_(SysfsLock()) { mutex_.lock_urgent(); }
    ~UrgentSysfsLock() { mutex_.unlock(); }
    UrgentSysfsLock(const UrgentSysfsLock&) = delete;
    UrgentSysfsLock& operator=(const UrgentSysfsLock&) = delete;

private:
    SysfsMutex& mutex_;
};

}  // namespace eklv::pf::lx
