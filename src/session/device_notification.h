// The device notification record: one device change on its way to the
// device-change thread, and the queue it waits in.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/handle.h"
#include "platform/module.h"

namespace eklv {

struct DeviceNotificationRecord {
    std::uint32_t event_code = 0;      // 0x8000 arrival, 0x8004 removal complete
    std::string device_name;           // symbolic name; lower-cased by the processor
    pf::Guid class_guid{};
    std::uint32_t device_type = 0;     // 5 when it came from a device-change broadcast
    std::uint16_t device_id = 65535;   // the host's id in host-fed mode
    pf::Handle completion_event = pf::kNullHandle;  // host-fed records only; never owned by the record
    std::uint32_t deadline = 0;        // tick after which the completion event is not signalled
    std::uint32_t queued_at = 0;       // tick when the record entered the queue
};

// Appends the record to the device-change processor's queue (stamping its
// queued-at tick) and signals the processor's device event. Answers false
// and destroys the record when no processor exists.
bool QueueDeviceNotification(std::unique_ptr<DeviceNotificationRecord> record);

}  // namespace eklv
