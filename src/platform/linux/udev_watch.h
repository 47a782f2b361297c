// libudev's monitor, as the device monitor listens to it: on the "udev"
// source where udevd runs (devices are set up when they are announced), on
// the "kernel" source where it does not (containers, an initramfs,
// umockdev testbeds); usb and tty only, filtered by the socket filter
// libudev installs in the kernel. It also watches udevd's control socket
// (inotify on its folder), so that udevd starting or stopping while the
// library runs moves the monitor to the other source.
#pragma once

#include <libudev.h>

#include <memory>
#include <string>

namespace eklv::pf::lx {

struct UdevDeviceUnref {
    void operator()(udev_device* device) const { udev_device_unref(device); }
};
using UdevDevicePtr = std::unique_ptr<udev_device, UdevDeviceUnref>;

class UdevWatch {
public:
    UdevWatch() = default;
    ~UdevWatch() { Close(); }
    UdevWatch(const UdevWatch&) = delete;
    UdevWatch& operator=(const UdevWatch&) = delete;

    // Listens on the source udevd's presence calls for; false when no
    // monitor can be made.
    bool Open();
    void Close();
    // The monitor's socket, readable when uevents wait; -1 when closed.
    int fd() const;
    // Readable when udevd's control folder changed (FollowUdevd then tells
    // what that means); -1 where inotify cannot watch it.
    int changes_fd() const { return inotify_; }
    bool udev_source() const { return udev_source_; }

    enum class Got {
        kDevice,  // *device holds one of usb or tty
        kNone,    // nothing waits
        kLost,    // the kernel dropped uevents: the receive buffer overflowed
        kFailed,  // a datagram could not be read or was no uevent (errno kept in *error)
    };
    Got Receive(UdevDevicePtr* device, int* error);

    // After changes_fd() became readable: when udevd started or stopped
    // since, a new monitor on the other source replaces the old one (true).
    // False when nothing changed, or no new monitor could be made (the old
    // one is kept).
    bool FollowUdevd();

    // Whether udevd runs: its control socket exists.
    static bool UdevdRunning();

private:
    bool MakeMonitor(bool udev_source);
    void WatchControlFolder();

    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    bool udev_source_ = false;
    int inotify_ = -1;
    int folder_watch_ = -1;  // udevd's control folder, once it exists
};

// Tests only: where udevd's control socket is looked for (empty restores
// /run/udev/control), and the receive buffer asked for (0 restores 4 MiB).
// Both take effect at the next Open.
void SetUdevdControlPathForTest(const std::string& path);
void SetMonitorReceiveBufferForTest(int bytes);

}  // namespace eklv::pf::lx
