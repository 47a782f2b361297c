// RegisterDeviceNotificationA and its broadcasts on Linux: the table of
// registrations, the pending broadcasts and their delivery (devnotify.h);
// the device monitor (device_monitor.h) hears the device changes.
#include "platform/devnotify.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <unordered_map>

#include "platform/handle.h"
#include "platform/linux/device_monitor.h"
#include "platform/linux/devnotify.h"

namespace eklv::pf {
namespace lx {
namespace {

std::uint32_t BroadcastMessage() {
    static const std::uint32_t id = RegisterWindowMessageA("EKLV_DEVICE_BROADCAST");
    return id;
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

class Registrations : public BroadcastSink {
public:
    static Registrations& Instance() {
        // In static storage and never destroyed: window threads may still
        // dispatch broadcasts while the process exits. The unload guard stops
        // the monitor and empties the tables, so nothing stays on the heap
        // once the library is unloaded.
        alignas(Registrations) static unsigned char storage[sizeof(Registrations)];
        static Registrations* registrations = new (storage) Registrations;
        return *registrations;
    }

    HDevNotify Register(Hwnd hwnd, const Guid& interface_class, bool all_classes) {
        std::lock_guard<std::mutex> lifecycle(lifecycle_);
        if (!monitor_.running() && !monitor_.Start()) {
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
        if (idle) monitor_.Stop();
        return true;
    }

    // At library unload: no thread may outlive the code it runs.
    void Shutdown() {
        std::lock_guard<std::mutex> lifecycle(lifecycle_);
        monitor_.Stop();
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
        return monitor_.running();
    }

    std::size_t PendingCount() {
        std::lock_guard<std::mutex> lock(mutex_);
        return pending_.size();
    }

    // Queues the broadcasts for every registered window of their class.
    void Post(const std::vector<Broadcast>& broadcasts) override {
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
    void EndBatch(bool nodes_changed) override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::set<Hwnd> windows;
        for (const auto& [handle, registration] : registrations_) {
            if (nodes_changed && windows.insert(registration.hwnd).second)
                PostOne(handle, registration.hwnd, kDbtDevNodesChanged, nullptr);
        }
        DropOrphans();
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

    Registrations() = default;

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

    std::mutex lifecycle_;  // start and stop of the monitor; taken before mutex_
    std::mutex mutex_;      // registrations_, pending_ and the counters
    std::map<std::uintptr_t, Registration> registrations_;
    std::unordered_map<std::uint64_t, Pending> pending_;
    std::uintptr_t next_handle_ = 1;
    std::uint64_t next_token_ = 1;
    DeviceMonitor monitor_{this};
};

// Stops the monitor thread when the library is unloaded.
struct UnloadGuard {
    ~UnloadGuard() { Registrations::Instance().Shutdown(); }
} unload_guard;

}  // namespace

bool DeliverDeviceBroadcast(Hwnd hwnd, std::uint32_t message, LParam lparam, WindowProc proc, void* context,
                            LResult* result) {
    if (message != BroadcastMessage()) return false;
    *result = 0;
    Registrations::Instance().Deliver(hwnd, lparam, proc, context, result);
    return true;
}

bool DeviceMonitorRunning() { return Registrations::Instance().Running(); }
std::size_t PendingDeviceBroadcasts() { return Registrations::Instance().PendingCount(); }

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
    return lx::Registrations::Instance().Register(recipient, interface_class,
                                                   (flags & kDeviceNotifyAllInterfaceClasses) != 0);
}

bool UnregisterDeviceNotification(HDevNotify handle) {
    if (handle == nullptr) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    return lx::Registrations::Instance().Unregister(handle);
}

}  // namespace eklv::pf
