#include "platform/linux/udev_watch.h"

#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace eklv::pf::lx {
namespace {

// Big enough for the uevents of dozens of phones plugged through one hub at
// once (a composite phone raises about ten, each up to a few KiB in udevd's
// format) while the monitor is still busy with the first.
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;
// The sentinel only wakes the monitor; what it holds is thrown away.
constexpr int kSentinelBufferBytes = 64 * 1024;

std::mutex g_test_mutex;
std::string g_control_path;  // empty: /run/udev/control
std::atomic<int> g_receive_bytes{0};

std::string ControlPath() {
    std::lock_guard<std::mutex> lock(g_test_mutex);
    return g_control_path.empty() ? "/run/udev/control" : g_control_path;
}

// Whether something listens on the unix socket at path. A connection
// udevd accepts and sees closed at once, as it sees udevadm's.
bool Listening(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    const bool listening = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
                           errno == EAGAIN || errno == EINPROGRESS;  // a full backlog: busy, not gone
    close(fd);
    return listening;
}

udev_monitor* NewMonitor(udev* context, const char* source, int receive_bytes) {
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, source);
    if (monitor == nullptr) return nullptr;
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", nullptr) < 0 ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        udev_monitor_unref(monitor);
        return nullptr;
    }
    // A smaller buffer than asked for (no privilege to force it) still works.
    udev_monitor_set_receive_buffer_size(monitor, receive_bytes);
    return monitor;
}

std::string Folder(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

void SetUdevdControlPathForTest(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_test_mutex);
    g_control_path = path;
}

void SetMonitorReceiveBufferForTest(int bytes) { g_receive_bytes = bytes; }

bool UdevWatch::UdevdRunning() {
    const std::string path = ControlPath();
    return access(path.c_str(), F_OK) == 0 && Listening(path);
}

bool UdevWatch::Open() {
    Close();
    udev_ = udev_new();
    if (udev_ == nullptr) return false;
    // udevd makes its control socket's folder when it starts and removes the
    // socket when it ends: both show in the folder (or, before the folder
    // exists, in the one above it).
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ >= 0) {
        const std::string folder = Folder(ControlPath());
        inotify_add_watch(inotify_, Folder(folder).c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
        WatchControlFolder();
    }
    if (!MakeMonitor(UdevdRunning())) {
        Close();
        return false;
    }
    return true;
}

void UdevWatch::WatchControlFolder() {
    if (inotify_ < 0 || folder_watch_ >= 0) return;
    folder_watch_ = inotify_add_watch(inotify_, Folder(ControlPath()).c_str(),
                                      IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE_SELF | IN_ONLYDIR);
}

bool UdevWatch::MakeMonitor(bool udev_source) {
    const int bytes = g_receive_bytes.load();
    udev_monitor* monitor = NewMonitor(udev_, udev_source ? "udev" : "kernel", bytes > 0 ? bytes : kReceiveBufferBytes);
    if (monitor == nullptr) return false;
    udev_monitor* sentinel = nullptr;
    if (udev_source && (sentinel = NewMonitor(udev_, "kernel", kSentinelBufferBytes)) == nullptr) {
        udev_monitor_unref(monitor);
        return false;
    }
    if (monitor_ != nullptr) udev_monitor_unref(monitor_);
    if (sentinel_ != nullptr) udev_monitor_unref(sentinel_);
    monitor_ = monitor;
    sentinel_ = sentinel;
    udev_source_ = udev_source;
    return true;
}

void UdevWatch::Close() {
    if (monitor_ != nullptr) udev_monitor_unref(monitor_);
    monitor_ = nullptr;
    if (sentinel_ != nullptr) udev_monitor_unref(sentinel_);
    sentinel_ = nullptr;
    if (udev_ != nullptr) udev_unref(udev_);
    udev_ = nullptr;
    if (inotify_ >= 0) close(inotify_);
    inotify_ = -1;
    folder_watch_ = -1;
}

int UdevWatch::fd() const { return monitor_ != nullptr ? udev_monitor_get_fd(monitor_) : -1; }

int UdevWatch::sentinel_fd() const { return sentinel_ != nullptr ? udev_monitor_get_fd(sentinel_) : -1; }

void UdevWatch::DrainSentinel() {
    // Only that something came counts: the datagrams go unread.
    char buffer[8192];
    const int fd = sentinel_fd();
    if (fd < 0) return;
    for (int n = 0; n < 1024 && recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) >= 0; ++n) {
    }
}

UdevWatch::Got UdevWatch::Receive(UdevDevicePtr* device, int* error) {
    errno = 0;
    device->reset(udev_monitor_receive_device(monitor_));
    if (*device) return Got::kDevice;
    *error = errno;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == 0) return Got::kNone;
    if (errno == ENOBUFS) return Got::kLost;
    return Got::kFailed;
}

void UdevWatch::DrainChanges() {
    // Read the notices only to empty the descriptor (what counts is whether
    // udevd answers now), and watch the folder again if it went or came.
    alignas(inotify_event) char buffer[4096];
    bool folder_went = false;
    for (;;) {
        const ssize_t n = read(inotify_, buffer, sizeof buffer);
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            if (event->wd == folder_watch_ && (event->mask & (IN_DELETE_SELF | IN_IGNORED)) != 0) folder_went = true;
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    if (folder_went) folder_watch_ = -1;
    WatchControlFolder();
}

bool UdevWatch::FollowUdevd() {
    const bool running = UdevdRunning();
    if (running == udev_source_) return false;
    return MakeMonitor(running);
}

}  // namespace eklv::pf::lx
