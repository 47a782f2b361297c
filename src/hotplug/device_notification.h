// The device notification record: one device change on its way to the
// device-change thread, and the queue it waits in.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "eklv/eklv.h"
#include "platform/handle.h"
#include "platform/module.h"

namespace eklv {

// The completion event of a host-fed record (auto-reset, unnamed). The host
// thread that waits for the record and the record itself each hold a share;
// the event is closed when the last share goes. A waiter that gave up
// therefore never closes an event the device-change thread may still
// signal, and an event whose record was drained unhandled is not leaked.
class CompletionEvent {
public:
    // Null when the event cannot be created.
    static std::shared_ptr<CompletionEvent> Create();
    ~CompletionEvent();
    CompletionEvent(const CompletionEvent&) = delete;
    CompletionEvent& operator=(const CompletionEvent&) = delete;
    pf::Handle handle() const { return handle_; }

private:
    explicit CompletionEvent(pf::Handle handle) : handle_(handle) {}
    pf::Handle handle_;
};

struct DeviceNotificationRecord {
    std::uint32_t event_code = 0;      // 0x8000 arrival, 0x8004 removal complete
    std::string device_name;           // symbolic name; lower-cased by the processor
    pf::Guid class_guid{};
    std::uint32_t device_type = 0;     // 5 when it came from a device-change broadcast
    std::uint16_t device_id = 65535;   // the host's id in host-fed mode
    std::shared_ptr<CompletionEvent> completion_event;  // host-fed records only
    std::uint32_t deadline = 0;        // tick after which the completion event is not signalled
    std::uint32_t queued_at = 0;       // tick when the record entered the queue
};

// Appends the record to the device-change processor's queue (stamping its
// queued-at tick) and signals the processor's device event; the processor
// owns it from then on. Answers false and destroys the record when no
// processor exists.
bool QueueDeviceNotification(std::unique_ptr<DeviceNotificationRecord> record);

// The fields a host block carries into a record: device id, device name
// (ending at its NUL or at the end of its field), class GUID, event code.
void FillRecordFromHostBlock(const EKLVNotificationBlock& block, DeviceNotificationRecord* record);

// An 800-byte block with the given fields; texts longer than 255
// characters are cut to fit, every other byte is zero.
void BuildHostBlock(std::uint16_t device_id, const std::string& device_name, const std::string& product,
                    const std::string& product_id, const pf::Guid& class_guid, std::uint32_t event_code,
                    EKLVNotificationBlock* block);

}  // namespace eklv
