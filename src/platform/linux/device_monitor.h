// The device-change broadcasts of the Linux backend: one monitor thread
// turns add and remove uevents of USB devices and ttys (read off the uevent
// socket, uevent_socket.h) into the WM_DEVICECHANGE broadcasts of
// platform/devnotify.h.
//
//   uevent (usb_device, tty) --monitor thread--> DeviceTree::InterfacesOf
//     --> PresentInterfaces (names of present nodes, so a removal can be
//         named after sysfs has gone)
//     --> one pending broadcast per registered window of the class, posted
//         as kBroadcastMessage with a token
//     --> the window's thread dispatches it; the trampoline of
//         CreateMessageWindow (window.cpp) takes the pending broadcast and
//         calls the procedure with WM_DEVICECHANGE and the payload.
//
// The monitor thread never waits for a window: posting does not block, so
// a window whose thread is busy, stuck or gone delays nobody else, and
// unregistering never waits for a delivery. The payload lives in the
// pending table until the trampoline takes it, and in the trampoline until
// the procedure returns; broadcasts of a released registration, or of a
// window that is gone, are dropped from the table.
//
// The thread runs while at least one registration exists: the first
// registration starts it, the last release (or library unload) stops and
// joins it. It listens to udev events when udevd runs (devices are set up
// when they are announced) and to kernel events otherwise (containers,
// umockdev testbeds). The socket's receive buffer holds a burst of dozens
// of phones; if it overflows anyway, the monitor compares what is present
// with what it remembers and announces the difference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/devnotify.h"
#include "platform/linux/udev_tree.h"

namespace eklv::pf::lx {

// One device-interface arrival or removal.
struct Broadcast {
    std::uint32_t event;  // kDbtDeviceArrival or kDbtDeviceRemoveComplete
    Guid interface_class;
    std::string symbolic_name;
};

// The device interfaces of the nodes the monitor has seen, by sysfs path.
class PresentInterfaces {
public:
    using Names = std::vector<DeviceTree::InterfaceName>;

    // An added node: if it was known under other names, the removal of
    // those first; then the arrival of every name (again if it was known).
    void Add(const std::string& syspath, Names names, std::vector<Broadcast>* out);
    // A removed node: the removal of its names and of every known node
    // below it, deepest first, each node's names in reverse order.
    void Remove(const std::string& syspath, std::vector<Broadcast>* out);
    // Takes the nodes present now (path -> names): removals of the known
    // ones that are gone, then arrivals of the new ones.
    void Resync(std::map<std::string, Names> now, std::vector<Broadcast>* out);
    // Remembers without announcing (the nodes present at start).
    void Remember(const std::string& syspath, Names names) { nodes_[syspath] = std::move(names); }
    void Clear() { nodes_.clear(); }
    std::size_t size() const { return nodes_.size(); }

private:
    std::map<std::string, Names> nodes_;
};

// Called by the trampoline of CreateMessageWindow for every message: when
// message is the monitor's private broadcast message, takes the pending
// broadcast of the token lparam for hwnd, calls proc with WM_DEVICECHANGE
// and its payload, stores the answer and answers true (also when the
// broadcast was dropped meanwhile: then proc is not called). False for any
// other message.
bool DeliverDeviceBroadcast(Hwnd hwnd, std::uint32_t message, LParam lparam, WindowProc proc, void* context,
                            LResult* result);

// Views for tests: whether the monitor thread runs, and how many posted
// broadcasts wait to be dispatched.
bool DeviceMonitorRunning();
std::size_t PendingDeviceBroadcasts();

}  // namespace eklv::pf::lx
