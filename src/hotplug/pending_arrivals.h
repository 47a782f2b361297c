// Arrivals whose interface type could not be decided at their first
// attempt, waiting for the next one: MODEM_CREATE_RETRY attempts in all,
// MODEM_WAIT ms after each failed one. The device-change processor owns the
// list and uses it on its thread only; each arrival keeps its record, its
// session and its session info until it is completed, given up or removed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hotplug/device_notification.h"
#include "session/session.h"
#include "transport/usb_session.h"

namespace eklv {

struct PendingArrival {
    std::unique_ptr<DeviceNotificationRecord> record;
    std::unique_ptr<CEKLVUSBSession> session;
    DeviceSessionInfo info;
    int attempts = 1;  // made so far
    int retries = 0;   // MODEM_CREATE_RETRY
    std::uint32_t wait_ms = 0;
    std::uint32_t due = 0;  // tick of the next attempt
};

class PendingArrivals {
public:
    void Add(PendingArrival arrival) { items_.push_back(std::move(arrival)); }
    // Takes out the earliest-queued arrival whose attempt is due at now
    // (ticks wrap: due is compared by signed distance); false when none is.
    bool TakeDue(std::uint32_t now, PendingArrival* out);
    // Takes out every arrival of the interface name (compared without
    // regard to case): its removal came before it could be announced.
    std::vector<PendingArrival> TakeNamed(const std::string& name);
    // Whether an arrival of the interface name waits (compared as above).
    bool HasNamed(const std::string& name) const;
    // Milliseconds from now until the earliest attempt is due, 0 when one
    // is; pf::kInfinite when nothing waits.
    std::uint32_t WaitFrom(std::uint32_t now) const;
    bool empty() const { return items_.empty(); }
    void Clear() { items_.clear(); }

private:
    std::vector<PendingArrival> items_;
};

// Whether a tick lies ahead of now (the signed distance is positive): the
// tick counter wraps every 49.7 days.
inline bool TickAhead(std::uint32_t now, std::uint32_t tick) { return static_cast<std::int32_t>(tick - now) > 0; }

}  // namespace eklv
