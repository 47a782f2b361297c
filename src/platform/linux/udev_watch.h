// libudev's monitor, as the device monitor listens to it: on the "udev"
// source where udevd runs (devices are set up when they are announced), on
// the "kernel" source where it does not (containers, an initramfs,
// umockdev testbeds); usb and tty only, filtered by the socket filter
// libudev installs in the kernel.
//
// udevd may start or stop while the library runs. It runs when its control
// socket takes a connection: udevd leaves the socket file behind when it
// exits (systemd 252, tried), so the file alone, which is what libudev
// looks at, says nothing. udevd starting makes the socket anew, which
// inotify on its folder reports; udevd stopping changes no file, so while
// on the udev source a second, kernel-source monitor (the sentinel) wakes
// the device monitor when the kernel reports a change, and the device
// monitor then checks that udevd still answers. FollowUdevd moves to the
// other source when the answer changed.
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
    // Readable when udevd's control folder changed; -1 where inotify cannot
    // watch it. DrainChanges empties it.
    int changes_fd() const { return inotify_; }
    void DrainChanges();
    // While on the udev source: readable when the kernel sent a uevent of
    // usb or tty (-1 otherwise). DrainSentinel empties it.
    int sentinel_fd() const;
    void DrainSentinel();
    bool udev_source() const { return udev_source_; }

    enum class Got {
        kDevice,  // *device holds one of usb or tty
        kNone,    // nothing waits
        kLost,    // the kernel dropped uevents: the receive buffer overflowed
        kFailed,  // a datagram could not be read or was no uevent (errno kept in *error)
    };
    Got Receive(UdevDevicePtr* device, int* error);

    // When udevd started or stopped since the source was chosen, a new
    // monitor on the other source replaces the old one (true). False when
    // nothing changed, or no new monitor could be made (the old one stays).
    bool FollowUdevd();

    // Whether udevd runs: its control socket takes a connection.
    static bool UdevdRunning();

private:
    bool MakeMonitor(bool udev_source);
    void WatchControlFolder();

    udev* udev_ = nullptr;
    udev_monitor* monitor_ = nullptr;
    udev_monitor* sentinel_ = nullptr;  // the kernel's, while monitor_ is udevd's
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
