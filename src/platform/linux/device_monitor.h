// The device monitor of the Linux backend: one thread that turns the add
// and remove uevents of USB devices and ttys, as libudev's monitor hears
// them (udev_watch.h), into device-interface broadcasts:
//
//   uevent (usb_device, tty) --monitor thread--> DeviceTree::InterfacesOf
//     --> PresentInterfaces (names of present nodes, so a removal can be
//         named after sysfs has gone)
//     --> BroadcastSink: one pending broadcast per registered window of the
//         class, posted to it (devnotify.cpp)
//
// The nodes present when the monitor starts are remembered, not announced.
// What cannot be heard is looked for instead: after lost uevents (the
// socket's buffer overflowed), after udevd started or stopped (the monitor
// moves to the other source, udev_watch.h says how it notices), and
// shortly after a USB node that could not be named, the monitor enumerates
// what is present and announces the removals and arrivals that make its
// memory match. Each of these writes one line to the core log; nothing
// polls while nothing happens.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/linux/present_interfaces.h"
#include "platform/linux/udev_watch.h"

namespace eklv::pf::lx {

// Where the monitor's broadcasts go.
class BroadcastSink {
public:
    virtual void Post(const std::vector<Broadcast>& broadcasts) = 0;
    // After a batch of uevents: a node change for every registered window
    // when USB nodes changed, and the broadcasts of windows that went are
    // dropped.
    virtual void EndBatch(bool nodes_changed) = 0;

protected:
    ~BroadcastSink() = default;
};

class DeviceMonitor {
public:
    explicit DeviceMonitor(BroadcastSink* sink) : sink_(sink) {}
    ~DeviceMonitor() { Stop(); }
    DeviceMonitor(const DeviceMonitor&) = delete;
    DeviceMonitor& operator=(const DeviceMonitor&) = delete;

    // Listens, remembers what is present and starts the thread (named
    // eklv-hotplug); false when no monitor or thread can be made.
    bool Start();
    // Stops and joins the thread; nothing is remembered afterwards.
    void Stop();
    bool running() const { return thread_.joinable(); }

private:
    using Clock = std::chrono::steady_clock;

    void Run();
    // The poll's time-out: until the next look that is due, or -1.
    int Timeout() const;
    // Moves to the other source when udevd started or stopped (one log line
    // and a rescan); false when nothing changed.
    bool FollowUdevd();
    // Takes up to a batch of uevents off the socket and handles each.
    void HandleBatch();
    void Handle(udev_device* device, std::vector<Broadcast>* out, bool* nodes_changed);
    // Every USB device and tty present now, with the interfaces it exposes.
    std::map<std::string, PresentInterfaces::Names> PresentNodes();
    // Announces what makes the memory match the tree, then a node change.
    void Resync();
    // Looks at the tree again shortly (a USB node could not be named, a
    // uevent could not be read).
    void RecheckSoon();

    BroadcastSink* const sink_;
    // The thread's while it runs; Start's and Stop's otherwise.
    UdevWatch watch_;
    PresentInterfaces present_;
    int stop_fd_ = -1;
    bool recheck_ = false;
    Clock::time_point recheck_at_;
    std::optional<Clock::time_point> udevd_look_at_;  // the second look after the control folder changed
    Clock::time_point udevd_next_check_;              // while uevents come, at most once a second
    std::thread thread_;
};

}  // namespace eklv::pf::lx
