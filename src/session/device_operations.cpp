#include "session/device_operations.h"

#include <atomic>

#include "log/message_logger.h"

namespace eklv {
namespace {
std::atomic<DeviceOperations*> g_operations{nullptr};
std::atomic<NotificationHandler> g_notification_handler{nullptr};
}  // namespace

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
