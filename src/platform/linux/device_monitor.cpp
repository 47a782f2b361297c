#include "platform/linux/device_monitor.h"

#include <libudev.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <thread>
#include <unordered_map>

#include "platform/handle.h"
#include "platform/linux/event.h"
#include "platform/linux/uevent_socket.h"

namespace eklv::pf {
namespace lx {
namespace {

// Big enough for the uevents of dozens of phones plugged through one hub
// at once (a composite phone raises about ten, each up to a few KiB in
// udev's format) while the monitor thread is still busy with the first.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
// Uevents handled under one hold of the sysfs lock.
constexpr int kMaxEventsPerBatch = 64;
// How long after a USB node it could not name the monitor looks again.
constexpr int kRecheckDelayMs = 50;
// Uevents taken off the socket and not handled yet.
constexpr std::size_t kMaxBacklog = 4096;

const char* PropertyOf(void* uevent, const char* key) { return static_cast<Uevent*>(uevent)->Property(key); }

std::uint32_t BroadcastMessage() {
    static const std::uint32_t id = RegisterWindowMessageA("EKLV_DEVICE_BROADCAST");
    return id;
}

bool HasPrefix(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool IsBelow(const std::string& path, const std::string& ancestor) {
    return path.size() > ancestor.size() && HasPrefix(path, ancestor) && path[ancestor.size()] == '/';
}

bool SameNames(const PresentInterfaces::Names& a, const PresentInterfaces::Names& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!(a[i].interface_class == b[i].interface_class) || a[i].symbolic_name != b[i].symbolic_name)
            return false;
    }
    return true;
}

void Announce(std::uint32_t event, const PresentInterfaces::Names& names, bool reverse,
              std::vector<Broadcast>* out) {
    if (reverse) {
        for (auto it = names.rbegin(); it != names.rend(); ++it)
            out->push_back({event, it->interface_class, it->symbolic_name});
    } else {
        for (const auto& name : names) out->push_back({event, name.interface_class, name.symbolic_name});
    }
}

// A WM_DEVICECHANGE payload: a DevBroadcastDeviceInterfaceA with its name,
// in storage aligned for the structure.
std::unique_ptr<std::uint64_t[]> MakePayload(const Broadcast& broadcast) {
    std::size_t size = offsetof(DevBroadcastDeviceInterfaceA, dbcc_name) + broadcast.symbolic_name.size() + 1;
    std::size_t words = (std::max(size, sizeof(DevBroadcastDeviceInterfaceA)) + 7) / 8;
    auto storage = std::make_unique<std::uint64_t[]>(words);  // zero-filled
    auto* payload = reinterpret_cast<DevBroadcastDeviceInterfaceA*>(storage.get());
    payload->dbcc_size = static_cast<std::uint32_t>(size);
    payload->dbcc_devicetype = kDbtDevtypDeviceInterface;
    payload->dbcc_classguid = broadcast.interface_class;
    std::memcpy(payload->dbcc_name, broadcast.symbolic_name.c_str(), broadcast.symbolic_name.size() + 1);
    return storage;
}

class DeviceMonitor {
public:
    static DeviceMonitor& Instance() {
        // In static storage and never destroyed: window threads may still
        // dispatch broadcasts while the process exits. The unload guard stops
        // the thread and empties the tables, so nothing stays on the heap
        // once the library is unloaded.
        alignas(DeviceMonitor) static unsigned char storage[sizeof(DeviceMonitor)];
        static DeviceMonitor* monitor = new (storage) DeviceMonitor;
        return *monitor;
    }

    HDevNotify Register(Hwnd hwnd, const Guid& interface_class, bool all_classes) {
        std::lock_guard<std::mutex> lifecycle(lifecycle_);
        if (!thread_.joinable() && !Start()) {
            SetLastError(kErrorGenFailure);
            return nullptr;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        std::uintptr_t handle = next_handle_++;
        registrations_.emplace(handle, Registration{hwnd, interface_class, all_classes});
        return reinterpret_cast<HDevNotify>(handle);
    }

    bool Unregister(HDevNotify notify) {
        auto handle = reinterpret_cast<std::uintptr_t>(notify);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (registrations_.erase(handle) == 0) {
                SetLastError(kErrorInvalidHandle);
                return false;
            }
            std::erase_if(pending_, [&](const auto& entry) { return entry.second.registration == handle; });
        }
        std::lock_guard<std::mutex> lifecycle(lifecycle_);
        bool idle;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            idle = registrations_.empty();
        }
        if (idle && thread_.joinable()) Stop();
        return true;
    }

    // At library unload: no thread may outlive the code it runs.
    void Shutdown() {
        std::lock_guard<std::mutex> lifecycle(lifecycle_);
        if (thread_.joinable()) Stop();
        std::lock_guard<std::mutex> lock(mutex_);
        std::map<std::uintptr_t, Registration>().swap(registrations_);
        std::unordered_map<std::uint64_t, Pending>().swap(pending_);
    }

    bool Deliver(Hwnd hwnd, LParam token, WindowProc proc, void* context, LResult* result) {
        Pending pending;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = pending_.find(static_cast<std::uint64_t>(token));
            if (it == pending_.end() || it->second.hwnd != hwnd) return false;
            pending = std::move(it->second);
            pending_.erase(it);
        }
        *result = proc(hwnd, kWmDeviceChange, pending.event, reinterpret_cast<LParam>(pending.payload.get()),
                       context);
        return true;
    }

    bool Running() {
        std::lock_guard<std::mutex> lifecycle(lifecycle_);
        return thread_.joinable();
    }

    std::size_t PendingCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return pending_.size();
    }

private:
    struct Registration {
        Hwnd hwnd;
        Guid interface_class;
        bool all_classes;
    };
    struct Pending {
        Hwnd hwnd = 0;
        std::uintptr_t registration = 0;
        std::uint32_t event = 0;
        std::unique_ptr<std::uint64_t[]> payload;  // null for kDbtDevNodesChanged
    };

    DeviceMonitor() = default;

    bool BacklogEmpty() {
        std::lock_guard<std::mutex> lock(backlog_mutex_);
        return backlog_next_ == backlog_.size();
    }

    static bool UdevdRunning() { return access("/run/udev/control", F_OK) == 0; }

    // With lifecycle_ held and the thread not running.
    bool Start() {
        // Before the cache may have a question's thread take uevents for
        // this monitor, which then wakes it with this.
        wake_fd_ = NewEventDescriptor();
        if (wake_fd_ < 0) return false;
        {
            // The socket is made under the lock: umockdev's stand-in for it
            // keeps state that other threads' questions use too.
            std::lock_guard<SysfsMutex> sysfs(SysfsLock());
            const bool udevd = UdevdRunning();
            if (!socket_.Open(udevd, kReceiveBufferBytes)) {
                Release();
                return false;
            }
            // Kernel uevents follow their change in sysfs; udevd's come
            // later still, so with udevd the cache keeps nothing.
            if (!udevd) TheSysfsCache().Watch(socket_.fd(), &DeviceMonitor::TakeWaiting, this);
            // Nodes present before the monitor listened: remembered so that
            // their removal is named. An add uevent racing this still
            // announces its arrival.
            present_.Clear();
            for (auto& [path, names] : PresentNodes()) present_.Remember(path, std::move(names));
        }
        stop_fd_ = NewEventDescriptor();
        if (stop_fd_ < 0) {
            Release();
            return false;
        }
        try {
            thread_ = std::thread([this] { Run(); });
            pthread_setname_np(thread_.native_handle(), "eklv-hotplug");
        } catch (...) {
            Release();
            return false;
        }
        return true;
    }

    // With lifecycle_ held and the thread running.
    void Stop() {
        std::uint64_t one = 1;
        while (write(stop_fd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread_.join();
        Release();
    }

    void Release() {
        {
            std::lock_guard<SysfsMutex> sysfs(SysfsLock());
            TheSysfsCache().Watch(-1);
            socket_.Close();
        }
        std::vector<Uevent>().swap(backlog_);
        backlog_next_ = 0;
        overflowed_ = false;
        recheck_ = false;
        if (stop_fd_ >= 0) close(stop_fd_);
        stop_fd_ = -1;
        if (wake_fd_ >= 0) close(wake_fd_);
        wake_fd_ = -1;
        present_.Clear();
    }

    // Every USB device and tty present now, with the interfaces it exposes.
    // With the sysfs lock held.
    std::map<std::string, PresentInterfaces::Names> PresentNodes() {
        std::map<std::string, PresentInterfaces::Names> nodes;
        DeviceTree tree;
        if (!tree.ok()) return nodes;
        for (const char* subsystem : {"usb", "tty"}) {
            udev_enumerate* enumerate = udev_enumerate_new(tree.context());
            if (enumerate == nullptr) continue;
            udev_enumerate_add_match_subsystem(enumerate, subsystem);
            udev_enumerate_scan_devices(enumerate);
            udev_list_entry* entry;
            udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
                std::string path = udev_list_entry_get_name(entry);
                PresentInterfaces::Names names = tree.InterfacesOf(path);
                if (!names.empty()) nodes.emplace(std::move(path), std::move(names));
            }
            udev_enumerate_unref(enumerate);
        }
        return nodes;
    }

    void Run() {
        pollfd fds[3] = {{socket_.fd(), POLLIN, 0}, {stop_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        for (;;) {
            // With uevents taken off the socket but not handled yet, only look.
            int ready = poll(fds, 3, !BacklogEmpty() ? 0 : recheck_ ? kRecheckDelayMs : -1);
            if (ready < 0) {
                if (errno == EINTR || errno == ENOMEM || errno == EAGAIN) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            if (fds[0].revents & POLLNVAL) return;
            if (fds[2].revents != 0) {
                std::uint64_t count;
                while (read(wake_fd_, &count, sizeof count) < 0 && errno == EINTR) {
                }
            }
            if (ready == 0 && BacklogEmpty() && recheck_) {
                Resync();
                continue;
            }
            if (fds[0].revents == 0 && BacklogEmpty()) continue;
            HandleBatch();
        }
    }

    // A device-tree question found uevents waiting: takes them off the
    // socket (the sysfs lock is held) and wakes the monitor thread for them.
    static void TakeWaiting(void* context) {
        auto* self = static_cast<DeviceMonitor*>(context);
        if (self->Drain() == 0) return;
        const std::uint64_t one = 1;
        while (write(self->wake_fd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

    // Moves what waits on the socket to the backlog; answers how many it
    // moved. The socket is emptied between any two uevents handled: a
    // socket that fills up loses uevents (under umockdev it is a datagram
    // socket that holds only ten).
    std::size_t Drain() {
        int failures = 0;
        std::size_t moved = 0;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(backlog_mutex_);
                if (backlog_.size() - backlog_next_ >= kMaxBacklog) return moved;
            }
            UeventSocket::Result result;
            {
                // Under umockdev the socket is a stand-in whose state other
                // threads' questions use too: received under the lock.
                UrgentSysfsLock sysfs;
                Uevent uevent;
                result = socket_.Receive("usb", "tty", &uevent);
                // Anything taken off the socket (or lost) may have changed
                // the tree: the cache forgets, and the uevent joins the
                // backlog in the order received, before the lock is let go.
                if (result == UeventSocket::Result::kUevent) {
                    TheSysfsCache().Received(uevent.action(), uevent.syspath());
                    TheSysfsCache().Learn(FactsOfUevent(uevent.action(), uevent.syspath(), PropertyOf, &uevent));
                    std::lock_guard<std::mutex> lock(backlog_mutex_);
                    backlog_.push_back(std::move(uevent));
                    ++moved;
                    continue;
                }
                // Dropped datagrams (another subsystem's) changed nothing
                // the cache keeps.
                if (result != UeventSocket::Result::kNone && result != UeventSocket::Result::kSkipped)
                    TheSysfsCache().Received(nullptr, nullptr);
            }
            if (result == UeventSocket::Result::kLost) overflowed_ = true;  // the kernel dropped uevents
            // After a run of dropped datagrams the lock is let go; the socket
            // stays readable, so the monitor's poll brings it back here, and a
            // question that still finds it waiting reads afresh.
            if (result == UeventSocket::Result::kNone || result == UeventSocket::Result::kLost ||
                result == UeventSocket::Result::kSkipped)
                return moved;
            // Something taken off the socket that was not a uevent, or a
            // failed receive: what changed is unknown, so look at the tree
            // shortly, and go on with the next one.
            recheck_ = true;
            if (++failures > 64) return moved;
        }
    }

    // Whether a uevent (or an error) waits on the socket; looked at without
    // the sysfs lock.
    bool SocketWaiting() const { return Waiting(socket_.fd()) != 0; }

    // Handles up to a batch of uevents, posting the broadcasts of each at
    // once. The sysfs lock is held for one uevent at a time.
    void HandleBatch() {
        bool nodes_changed = false;
        Drain();
        for (int n = 0; n < kMaxEventsPerBatch; ++n) {
            Uevent uevent;
            {
                std::lock_guard<std::mutex> lock(backlog_mutex_);
                if (backlog_next_ == backlog_.size()) break;
                uevent = std::move(backlog_[backlog_next_++]);
                if (backlog_next_ == backlog_.size()) {
                    backlog_.clear();
                    backlog_next_ = 0;
                }
            }
            std::vector<Broadcast> broadcasts;
            if (NamesInterfaces(uevent)) {
                UrgentSysfsLock sysfs;
                DeviceTree tree;
                Handle(&tree, uevent, &broadcasts, &nodes_changed);
            } else {
                // Nothing to read: the tree stays free for other questions.
                Handle(nullptr, uevent, &broadcasts, &nodes_changed);
            }
            Post(broadcasts);
            // Between uevents the socket is mostly empty: look before taking
            // the lock to find that out.
            if (SocketWaiting()) Drain();
        }
        if (overflowed_ && BacklogEmpty()) {
            // What was lost is unknown: compare the tree with what is known.
            overflowed_ = false;
            Resync();
            return;
        }
        EndBatch(nodes_changed);
    }

    // Announces the removals and arrivals that make the memory match the
    // tree, then a node change.
    void Resync() {
        recheck_ = false;
        std::vector<Broadcast> broadcasts;
        {
            UrgentSysfsLock sysfs;
            present_.Resync(PresentNodes(), &broadcasts);
        }
        Post(broadcasts);
        EndBatch(true);
    }

    // Only the "add" of a USB device or a tty names device interfaces, which
    // asks the tree; every other uevent is handled from its properties.
    static bool NamesInterfaces(const Uevent& uevent) {
        const char* action = uevent.action();
        const char* subsystem = uevent.subsystem();
        const char* devtype = uevent.devtype();
        if (std::strcmp(action, "add") != 0) return false;
        if (std::strcmp(subsystem, "tty") == 0) return true;
        return std::strcmp(subsystem, "usb") == 0 && devtype != nullptr && std::strcmp(devtype, "usb_device") == 0;
    }

    // tree is given when NamesInterfaces(uevent).
    void Handle(DeviceTree* tree, const Uevent& uevent, std::vector<Broadcast>* out, bool* nodes_changed) {
        const char* action = uevent.action();
        const char* subsystem = uevent.subsystem();
        const char* syspath = uevent.syspath();
        bool usb = std::strcmp(subsystem, "usb") == 0;
        if (std::strcmp(action, "add") == 0) {
            if (tree != nullptr) {
                PresentInterfaces::Names names = tree->InterfacesOf(syspath);
                if (!names.empty())
                    present_.Add(syspath, std::move(names), out);
                else if (usb || std::strstr(syspath, "/usb") != nullptr)
                    // A USB node that could not be named now (its tree still
                    // changing, a read that failed): looked at again shortly,
                    // so that its arrival is not lost.
                    recheck_ = true;
            }
            *nodes_changed |= usb;
        } else if (std::strcmp(action, "remove") == 0) {
            present_.Remove(syspath, out);
            *nodes_changed |= usb;
        }
    }

    // Queues the broadcasts for every registered window of their class.
    void Post(const std::vector<Broadcast>& broadcasts) {
        if (broadcasts.empty()) return;
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Broadcast& broadcast : broadcasts) {
            for (const auto& [handle, registration] : registrations_) {
                if (!registration.all_classes && !(registration.interface_class == broadcast.interface_class))
                    continue;
                PostOne(handle, registration.hwnd, broadcast.event, MakePayload(broadcast));
            }
        }
    }

    // One kDbtDevNodesChanged per registered window after USB nodes changed;
    // then the broadcasts of windows that went are dropped.
    void EndBatch(bool nodes_changed) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::set<Hwnd> windows;
        for (const auto& [handle, registration] : registrations_) {
            if (nodes_changed && windows.insert(registration.hwnd).second)
                PostOne(handle, registration.hwnd, kDbtDevNodesChanged, nullptr);
        }
        DropOrphans();
    }

    // With mutex_ held. The pending entry is in place before the window's
    // thread can see the message.
    void PostOne(std::uintptr_t registration, Hwnd hwnd, std::uint32_t event,
                 std::unique_ptr<std::uint64_t[]> payload) {
        std::uint64_t token = next_token_++;
        pending_.emplace(token, Pending{hwnd, registration, event, std::move(payload)});
        if (!PostMessageA(hwnd, BroadcastMessage(), event, static_cast<LParam>(token))) pending_.erase(token);
    }

    // With mutex_ held: broadcasts whose window was destroyed, or whose
    // thread ended, with the message still queued are never taken.
    void DropOrphans() {
        std::unordered_map<Hwnd, bool> alive;
        std::erase_if(pending_, [&](const auto& entry) {
            auto [it, fresh] = alive.emplace(entry.second.hwnd, false);
            if (fresh) it->second = IsWindow(entry.second.hwnd);
            return !it->second;
        });
    }

    std::mutex lifecycle_;  // start and stop; taken before mutex_ and the sysfs lock
    std::mutex mutex_;      // registrations_, pending_ and the counters
    std::map<std::uintptr_t, Registration> registrations_;
    std::unordered_map<std::uint64_t, Pending> pending_;
    std::uintptr_t next_handle_ = 1;
    std::uint64_t next_token_ = 1;

    // Owned by the monitor thread while it runs; by lifecycle_ otherwise.
    UeventSocket socket_;
    int stop_fd_ = -1;
    int wake_fd_ = -1;  // written when a question took uevents off the socket
    std::thread thread_;
    PresentInterfaces present_;
    // Uevents received and not handled yet: backlog_[backlog_next_...].
    // Questions on other threads receive too (TakeWaiting), with the sysfs
    // lock held; backlog_mutex_ is taken after it, never before.
    std::mutex backlog_mutex_;
    std::vector<Uevent> backlog_;
    std::size_t backlog_next_ = 0;
    std::atomic<bool> overflowed_{false};
    std::atomic<bool> recheck_{false};  // a USB node could not be named: resync soon
};

// Stops the monitor thread when the library is unloaded.
struct UnloadGuard {
    ~UnloadGuard() { DeviceMonitor::Instance().Shutdown(); }
} unload_guard;

}  // namespace

void PresentInterfaces::Add(const std::string& syspath, Names names, std::vector<Broadcast>* out) {
    auto it = nodes_.find(syspath);
    if (it != nodes_.end() && !SameNames(it->second, names)) Announce(kDbtDeviceRemoveComplete, it->second, true, out);
    Announce(kDbtDeviceArrival, names, false, out);
    nodes_[syspath] = std::move(names);
}

void PresentInterfaces::Remove(const std::string& syspath, std::vector<Broadcast>* out) {
    std::vector<std::map<std::string, Names>::iterator> gone;
    for (auto it = nodes_.lower_bound(syspath); it != nodes_.end(); ++it) {
        if (it->first != syspath && !IsBelow(it->first, syspath)) break;
        gone.push_back(it);
    }
    // Deeper paths first: children are removed before their parents.
    std::stable_sort(gone.begin(), gone.end(), [](const auto& a, const auto& b) {
        return std::count(a->first.begin(), a->first.end(), '/') > std::count(b->first.begin(), b->first.end(), '/');
    });
    for (auto it : gone) {
        Announce(kDbtDeviceRemoveComplete, it->second, true, out);
        nodes_.erase(it);
    }
}

void PresentInterfaces::Resync(std::map<std::string, Names> now, std::vector<Broadcast>* out) {
    std::vector<std::string> gone;
    for (const auto& [path, names] : nodes_) {
        auto it = now.find(path);
        if (it == now.end() || !SameNames(it->second, names)) gone.push_back(path);
    }
    for (auto it = gone.rbegin(); it != gone.rend(); ++it) {
        auto node = nodes_.find(*it);
        if (node == nodes_.end()) continue;
        Announce(kDbtDeviceRemoveComplete, node->second, true, out);
        nodes_.erase(node);
    }
    for (auto& [path, names] : now) {
        if (nodes_.count(path) != 0) continue;
        Announce(kDbtDeviceArrival, names, false, out);
        nodes_.emplace(path, std::move(names));
    }
}

bool DeliverDeviceBroadcast(Hwnd hwnd, std::uint32_t message, LParam lparam, WindowProc proc, void* context,
                            LResult* result) {
    if (message != BroadcastMessage()) return false;
    *result = 0;
    DeviceMonitor::Instance().Deliver(hwnd, lparam, proc, context, result);
    return true;
}

bool DeviceMonitorRunning() { return DeviceMonitor::Instance().Running(); }
std::size_t PendingDeviceBroadcasts() { return DeviceMonitor::Instance().PendingCount(); }

}  // namespace lx

HDevNotify RegisterDeviceNotificationA(Hwnd recipient, const void* filter, std::uint32_t flags) {
    if (filter == nullptr || (flags & ~kDeviceNotifyAllInterfaceClasses) != kDeviceNotifyWindowHandle) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    // The header says what the filter is and how far it may be read.
    DevBroadcastHdr header;
    std::memcpy(&header, filter, sizeof header);
    if (header.dbch_devicetype != kDbtDevtypDeviceInterface ||
        header.dbch_size < offsetof(DevBroadcastDeviceInterfaceA, dbcc_name)) {
        SetLastError(kErrorInvalidData);
        return nullptr;
    }
    Guid interface_class;
    std::memcpy(&interface_class,
                static_cast<const char*>(filter) + offsetof(DevBroadcastDeviceInterfaceA, dbcc_classguid),
                sizeof interface_class);
    if (!IsWindow(recipient)) {
        SetLastError(kErrorInvalidWindowHandle);
        return nullptr;
    }
    return lx::DeviceMonitor::Instance().Register(recipient, interface_class,
                                                  (flags & kDeviceNotifyAllInterfaceClasses) != 0);
}

bool UnregisterDeviceNotification(HDevNotify handle) {
    if (handle == nullptr) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    return lx::DeviceMonitor::Instance().Unregister(handle);
}

}  // namespace eklv::pf
