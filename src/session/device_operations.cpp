#include "session/device_operations.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "log/message_logger.h"
#include "platform/sync.h"

namespace eklv {
namespace {
std::atomic<DeviceOperations*> g_operations{nullptr};
std::atomic<NotificationHandler> g_notification_handler{nullptr};

struct CallGate {
    std::mutex mutex;
    std::condition_variable left;
    bool open = false;
    std::atomic<bool> closing{false};
    std::uint32_t inside = 0;
    pf::Handle stop_event = pf::kNullHandle;
};
CallGate& Gate() {
    static CallGate gate;
    return gate;
}
}  // namespace

bool EnterDeviceCall() {
    CallGate& g = Gate();
    std::lock_guard<std::mutex> lock(g.mutex);
    if (!g.open) return false;
    ++g.inside;
    return true;
}

void LeaveDeviceCall() {
    CallGate& g = Gate();
    std::lock_guard<std::mutex> lock(g.mutex);
    if (g.inside > 0 && --g.inside == 0) g.left.notify_all();
}

void OpenDeviceCalls() {
    CallGate& g = Gate();
    std::lock_guard<std::mutex> lock(g.mutex);
    if (g.stop_event == pf::kNullHandle) g.stop_event = pf::CreateEventA(true, false);
    if (g.stop_event != pf::kNullHandle) pf::ResetEvent(g.stop_event);
    g.open = true;
    g.closing = false;
}

std::uint32_t CloseDeviceCalls() {
    CallGate& g = Gate();
    std::lock_guard<std::mutex> lock(g.mutex);
    g.open = false;
    g.closing = true;
    if (g.stop_event != pf::kNullHandle) pf::SetEvent(g.stop_event);
    return g.inside;
}

bool DeviceCallsClosing() { return Gate().closing.load(); }

bool DrainDeviceCalls(std::uint32_t bound_ms) {
    CallGate& g = Gate();
    std::unique_lock<std::mutex> lock(g.mutex);
    if (!g.left.wait_for(lock, std::chrono::milliseconds(bound_ms), [&] { return g.inside == 0; })) return false;
    if (!g.open && g.stop_event != pf::kNullHandle) {
        pf::CloseHandle(g.stop_event);
        g.stop_event = pf::kNullHandle;
    }
    return true;
}

pf::Handle DeviceCallsStopEvent() {
    CallGate& g = Gate();
    std::lock_guard<std::mutex> lock(g.mutex);
    return g.stop_event;
}

DeviceOperations* GetDeviceOperations() { return g_operations.load(); }
void SetDeviceOperations(DeviceOperations* operations) { g_operations.store(operations); }
void SetNotificationHandler(NotificationHandler handler) { g_notification_handler.store(handler); }

bool DeviceNotification(const EKLVNotificationBlock* block) {
    NotificationHandler handler = g_notification_handler.load();
    if (handler != nullptr) return handler(block);
    // Without device-change processing there is no queue to put the block on.
    LogMessage(block != nullptr ? block->device_id : kNoDevice, kLogError, kCatGeneral,
               "CKLVSessionMgr::DeviceNotification - device-change processing is not running");
    return false;
}

}  // namespace eklv
