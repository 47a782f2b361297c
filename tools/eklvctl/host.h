// eklvctl as a host of the library: its message window, its callback, the
// start and stop of the library, and the phones it has been told of.
//
// In self-monitoring mode the library tells of each interface twice: the
// registered message (device id, interface type) to the host window, then
// the 800-byte notification block (symbolic name, product string) to the
// callback. The message always comes first, and both come in the order the
// library handled the changes, so each block completes the oldest waiting
// message of the same device and kind. A message whose block does not come
// within a short grace is reported without it. In host-fed mode there are
// no blocks.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "interrupts.h"
#include "library.h"

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

struct Interface {
    std::uint32_t type = INF_UNDEFINED;
    std::string name;
    std::string class_guid;
};

struct Device {
    std::uint16_t id = EKLV_NO_DEVICE;
    std::string product;
    std::string product_id;
    std::vector<Interface> interfaces;  // in order of arrival

    bool Has(std::uint32_t type) const;
};

class Host {
public:
    Host(Library& library, Interrupts& interrupts, bool host_fed);
    ~Host();  // uninitialises the library if still initialised
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // EKLVInitialize with this host's window (and callback unless host-fed).
    std::uint32_t Initialize();
    // A device call for device 65535, which is never attached: 3 from a
    // library that serves device calls, 14 from one that is initialised
    // without a session manager.
    std::uint32_t ProbeDeviceCalls();
    std::uint32_t Uninitialize();
    bool initialized() const { return initialized_; }
    bool host_fed() const { return host_fed_; }

    // Host-fed mode: reports the arrival of the interface with symbolic name
    // name under device id; the library's answer (0, or 1 when the change
    // was not handled in time).
    std::uint32_t FeedArrival(std::uint16_t device_id, const std::string& name);

    enum class Wait { kEvent, kTimeout, kInterrupted };
    // The next arrival or removal, applied to devices(), before deadline.
    Wait Next(InterfaceEvent* event, Clock::time_point deadline);
    // Takes events until none has come for quiet or deadline has passed;
    // false when interrupted.
    bool Settle(std::chrono::milliseconds quiet, Clock::time_point deadline,
                std::vector<InterfaceEvent>* taken = nullptr);

    const std::map<std::uint16_t, Device>& devices() const { return devices_; }
    const Device* Find(std::uint16_t id) const;

    Library& library() { return library_; }

private:
    static void OnBlock(std::uintptr_t context, const void* block);
    void TakeBlocks();
    void Apply(const InterfaceEvent& event);

    Library& library_;
    Interrupts& interrupts_;
    const bool host_fed_;
    bool initialized_ = false;
    EKLV_HWND window_ = 0;
    std::uint32_t arrival_message_ = 0;
    std::uint32_t removal_message_ = 0;

    struct Pending {
        InterfaceEvent event;
        Clock::time_point since;
    };
    std::deque<Pending> pending_;  // messages waiting for their block
    std::deque<InterfaceEvent> ready_;
    std::map<std::uint16_t, Device> devices_;

    std::mutex blocks_mutex_;  // the callback thread hands blocks over here
    std::deque<EKLVNotificationBlock> blocks_;
};

// "{86e0d1e0-8089-11d0-9ce4-08003e301f73}".
std::string GuidText(const EKLVGuid& guid);
// Parses the class GUID at the end of a symbolic name ("...#{guid}");
// false when there is none.
bool GuidFromName(const std::string& name, EKLVGuid* guid);
// The USB port of a symbolic name: "1-3.2" for
// "\\?\usb#vid_6b4d&pid_2001&mi_00#1-3.2:1.0#{...}"; empty when the name
// holds none.
std::string PortFromName(const std::string& name);

}  // namespace eklvctl
