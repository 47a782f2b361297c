#include "platform/linux/device_monitor.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "log/message_logger.h"
#include "platform/devtree.h"
#include "platform/linux/event.h"
#include "platform/linux/sysfs_reads.h"

namespace eklv::pf::lx {
namespace {

// Uevents handled before the node change is posted and the other
// descriptors are looked at again.
constexpr int kMaxEventsPerBatch = 64;
// How long after a USB node it could not name the monitor looks again.
constexpr auto kRecheckDelay = std::chrono::milliseconds(50);
// udevd's answer is checked at most this often while uevents come.
constexpr auto kUdevdCheckInterval = std::chrono::seconds(1);
// A second look at udevd after its control folder changed.
constexpr auto kUdevdSecondLook = std::chrono::milliseconds(500);

bool Is(const char* text, const char* value) { return text != nullptr && std::strcmp(text, value) == 0; }

const char* SourceText(bool udev_source) {
    return udev_source ? "udevd's events" : "the kernel's uevents (udevd is not running)";
}

}  // namespace

bool DeviceMonitor::Start() {
    stop_fd_ = NewEventDescriptor();
    if (stop_fd_ < 0) return false;
    {
        // Under umockdev the socket is a stand-in whose state the device
        // tree's questions use too: made under the tree's lock.
        std::lock_guard<std::recursive_mutex> tree(DeviceTreeMutex());
        if (!watch_.Open()) {
            close(stop_fd_);
            stop_fd_ = -1;
            return false;
        }
        // Nodes present before the monitor listened: remembered so that
        // their removal is named. An add uevent racing this still announces
        // its arrival.
        present_.Clear();
        for (auto& [path, names] : PresentNodes()) present_.Remember(path, std::move(names));
    }
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "Device monitor - listening to %s", SourceText(watch_.udev_source()));
    recheck_ = false;
    try {
        thread_ = std::thread([this] { Run(); });
        pthread_setname_np(thread_.native_handle(), "eklv-hotplug");
    } catch (...) {
        Stop();
        return false;
    }
    return true;
}

void DeviceMonitor::Stop() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        while (write(stop_fd_, &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread_.join();
    }
    {
        std::lock_guard<std::recursive_mutex> tree(DeviceTreeMutex());
        watch_.Close();
    }
    if (stop_fd_ >= 0) close(stop_fd_);
    stop_fd_ = -1;
    present_.Clear();
}

void DeviceMonitor::Run() {
    for (;;) {
        pollfd fds[4] = {{watch_.fd(), POLLIN, 0},
                         {stop_fd_, POLLIN, 0},
                         {watch_.changes_fd(), POLLIN, 0},
                         {watch_.sentinel_fd(), POLLIN, 0}};
        const int timeout = Timeout();
        const int ready = poll(fds, 4, timeout);
        if (ready < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            LogMessage(kNoDevice, kLogError, kCatGeneral, "Device monitor - poll failed (%s), no more device changes",
                       std::strerror(errno));
            return;
        }
        if (fds[1].revents != 0) return;
        const auto now = Clock::now();
        if (fds[2].revents != 0) {
            // udevd's control folder changed: it may have started. Looked at
            // now, and once more shortly (its socket may be bound before it
            // listens).
            watch_.DrainChanges();
            if (!FollowUdevd()) udevd_look_at_ = now + kUdevdSecondLook;
        }
        if (fds[3].revents != 0) {
            // The kernel reported a change while on udevd's source: udevd
            // must still answer (at most once a second).
            watch_.DrainSentinel();
            if (now >= udevd_next_check_) {
                udevd_next_check_ = now + kUdevdCheckInterval;
                FollowUdevd();
            }
        }
        if ((fds[0].revents & POLLNVAL) != 0) return;
        if (fds[0].revents != 0) {
            HandleBatch();
            // On the kernel's source, a batch is a moment to see whether
            // udevd came up meanwhile (at most once a second).
            if (!watch_.udev_source() && now >= udevd_next_check_) {
                udevd_next_check_ = now + kUdevdCheckInterval;
                FollowUdevd();
            }
        }
        if (udevd_look_at_ && Clock::now() >= *udevd_look_at_) {
            udevd_look_at_.reset();
            FollowUdevd();
        }
        if (recheck_ && Clock::now() >= recheck_at_) Resync();
    }
}

int DeviceMonitor::Timeout() const {
    std::optional<Clock::time_point> next;
    if (recheck_) next = recheck_at_;
    if (udevd_look_at_ && (!next || *udevd_look_at_ < *next)) next = udevd_look_at_;
    if (!next) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*next - Clock::now()).count();
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left, 0));
}

bool DeviceMonitor::FollowUdevd() {
    bool moved;
    {
        std::lock_guard<std::recursive_mutex> tree(DeviceTreeMutex());
        moved = watch_.FollowUdevd();
    }
    if (!moved) return false;
    LogMessage(kNoDevice, kLogWarning, kCatGeneral, "Device monitor - udevd %s: listening to %s",
               watch_.udev_source() ? "started" : "stopped", SourceText(watch_.udev_source()));
    // What came between the two sockets is not heard.
    Resync();
    return true;
}

void DeviceMonitor::HandleBatch() {
    bool nodes_changed = false;
    bool lost = false;
    int failed = 0;
    for (int n = 0; n < kMaxEventsPerBatch; ++n) {
        UdevDevicePtr device;
        int error = 0;
        UdevWatch::Got got;
        {
            // Under umockdev the socket is a stand-in: received under the lock.
            std::lock_guard<std::recursive_mutex> tree(DeviceTreeMutex());
            got = watch_.Receive(&device, &error);
        }
        if (got == UdevWatch::Got::kNone) break;
        if (got == UdevWatch::Got::kLost) {
            lost = true;
            continue;
        }
        if (got == UdevWatch::Got::kFailed) {
            if (failed++ == 0)
                LogMessage(kNoDevice, kLogWarning, kCatGeneral,
                           "Device monitor - a uevent could not be read (%s), the device tree is looked at shortly",
                           std::strerror(error));
            RecheckSoon();
            continue;
        }
        std::vector<Broadcast> broadcasts;
        Handle(device.get(), &broadcasts, &nodes_changed);
        sink_->Post(broadcasts);
    }
    if (lost) {
        LogMessage(kNoDevice, kLogWarning, kCatGeneral,
                   "Device monitor - uevents lost (the socket's buffer overflowed), the device tree is compared with "
                   "what is known");
        Resync();
        return;
    }
    sink_->EndBatch(nodes_changed);
}

void DeviceMonitor::Handle(udev_device* device, std::vector<Broadcast>* out, bool* nodes_changed) {
    const char* action = udev_device_get_action(device);
    const char* syspath = udev_device_get_syspath(device);
    const char* subsystem = udev_device_get_subsystem(device);
    if (action == nullptr || syspath == nullptr) return;
    const bool usb = Is(subsystem, "usb");
    if (Is(action, "remove")) {
        present_.Remove(syspath, out);
        *nodes_changed |= usb;
        return;
    }
    if (!Is(action, "add")) return;
    *nodes_changed |= usb;
    // Only a USB device's or a tty's add names interfaces.
    if (!(usb && Is(udev_device_get_devtype(device), "usb_device")) && !Is(subsystem, "tty")) return;
    PresentInterfaces::Names names;
    bool gone = false;
    {
        DeviceTreeReadScope scope;
        DeviceTree tree;
        names = tree.InterfacesOf(syspath);
        if (names.empty()) gone = !IsDeviceDirectory(syspath);
    }
    // A replayed add (udevadm trigger when udevd starts) carries SYNTH_UUID.
    const bool replay = udev_device_get_property_value(device, "SYNTH_UUID") != nullptr;
    if (!names.empty()) {
        present_.Add(syspath, std::move(names), replay, out);
    } else if (usb || std::strstr(syspath, "/usb") != nullptr) {
        // A USB node that could not be named: gone already (its remove
        // follows, and it was never announced), or its tree still changing
        // under the question (looked at again shortly, so that its arrival
        // is not lost).
        if (gone) {
            LogMessage(kNoDevice, kLogWarning, kCatGeneral, "Device monitor - %s gone before it could be named", syspath);
        } else {
            LogMessage(kNoDevice, kLogWarning, kCatGeneral,
                       "Device monitor - %s could not be named, the device tree is looked at shortly", syspath);
            RecheckSoon();
        }
    }
}

void DeviceMonitor::RecheckSoon() {
    if (recheck_) return;
    recheck_ = true;
    recheck_at_ = Clock::now() + kRecheckDelay;
}

std::map<std::string, PresentInterfaces::Names> DeviceMonitor::PresentNodes() {
    std::map<std::string, PresentInterfaces::Names> nodes;
    DeviceTreeReadScope scope;
    DeviceTree tree;
    if (!tree.ok()) return nodes;
    for (const char* subsystem : {"usb", "tty"}) {
        udev_enumerate* enumerate = udev_enumerate_new(tree.context());
        if (enumerate == nullptr) continue;
        udev_enumerate_add_match_subsystem(enumerate, subsystem);
        udev_enumerate_scan_devices(enumerate);
        udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate)) {
            std::string path = udev_list_entry_get_name(entry);
            PresentInterfaces::Names names = tree.InterfacesOf(path);
            if (!names.empty()) nodes.emplace(std::move(path), std::move(names));
        }
        udev_enumerate_unref(enumerate);
    }
    return nodes;
}

void DeviceMonitor::Resync() {
    recheck_ = false;
    std::vector<Broadcast> broadcasts;
    present_.Resync(PresentNodes(), &broadcasts);
    sink_->Post(broadcasts);
    sink_->EndBatch(true);
}

}  // namespace eklv::pf::lx
