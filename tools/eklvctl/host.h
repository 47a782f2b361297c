// eklvctl as a host of the library: its message window, its callback, the
// start and stop of the library, and the phones it has been told of.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "announcements.h"
#include "library.h"
#include "system.h"

namespace eklvctl {

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
    static void EKLV_CALLBACK OnBlock(std::uintptr_t context, const void* block);
    void TakeBlock();
    void Apply(const InterfaceEvent& event);

    Library& library_;
    Interrupts& interrupts_;
    const bool host_fed_;
    bool initialized_ = false;
    MessageWindow window_;
    std::uint32_t arrival_message_ = 0;
    std::uint32_t removal_message_ = 0;

    Announcements announcements_;
    std::map<std::uint16_t, Device> devices_;

    std::mutex blocks_mutex_;  // the callback thread hands blocks over here
    std::deque<EKLVNotificationBlock> blocks_;
};

}  // namespace eklvctl
