// The library's announcements of interface changes, as eklvctl pairs them.
//
// In self-monitoring mode the library tells of each change twice: the
// registered message (device id, interface type) to the host window, then
// the 800-byte notification block (symbolic name, product string) to the
// callback. The message always comes first, and both come in the order the
// library handled the changes, so each block completes the oldest waiting
// message of the same device and kind; messages before that one have lost
// their blocks. A message whose block does not come within a grace time is
// reported without it. In host-fed mode there are no blocks.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "eklv/eklv.h"

namespace eklvctl {

using Clock = std::chrono::steady_clock;

struct InterfaceEvent {
    bool arrival = true;
    std::uint16_t device_id = EKLV_NO_DEVICE;
    std::uint32_t type = INF_UNDEFINED;
    std::string name;        // the interface's symbolic name (from the block)
    std::string product;     // the phone's product string (from the block)
    std::string product_id;  // "pid_2001" (from the block)
    std::string class_guid;  // "{86e0d1e0-...}" (from the block)
    std::chrono::system_clock::time_point when;
};

class Announcements {
public:
    explicit Announcements(bool host_fed, std::chrono::milliseconds grace = std::chrono::milliseconds(500))
        : host_fed_(host_fed), grace_(grace) {}

    void Message(InterfaceEvent event, Clock::time_point now);
    void Block(const EKLVNotificationBlock& block);
    // The oldest complete event, or one whose block is overdue at now.
    bool Pop(Clock::time_point now, InterfaceEvent* event);
    // When the oldest waiting message is due without its block.
    std::optional<Clock::time_point> Due() const;

private:
    struct Waiting {
        InterfaceEvent event;
        Clock::time_point since;
    };

    const bool host_fed_;
    const std::chrono::milliseconds grace_;
    std::deque<Waiting> waiting_;
    std::deque<InterfaceEvent> ready_;
};

// "{86e0d1e0-8089-11d0-9ce4-08003e301f73}".
std::string GuidText(const EKLVGuid& guid);
// Parses the class GUID at the end of a symbolic name ("...#{guid}");
// false when there is none.
bool GuidFromName(const std::string& name, EKLVGuid* guid);
// The last part of a symbolic name's instance id, without an interface's
// ":<config>.<interface>": "1-3.2", "usb1" (a root hub); empty when the
// name has no class GUID at its end.
std::string InstanceFromName(const std::string& name);
// The USB port of a symbolic name: "1-3.2" for
// "\\?\usb#vid_6b4d&pid_2001&mi_00#1-3.2:1.0#{...}"; empty when the name
// holds none.
std::string PortFromName(const std::string& name);

}  // namespace eklvctl
