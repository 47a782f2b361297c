// The device monitor's uevent socket, read without libudev's monitor.
//
// libudev's udev_monitor_receive_device builds a full udev_device for every
// uevent (a hash table of properties, each copied, then freed again): about
// 35,000 instructions, two thirds of the monitor's work per uevent, and
// under software emulation (some 50 million instructions a second) the
// monitor fell behind a burst of phones. The monitor needs the action, the path, the
// subsystem, the device type and a few properties of each, so this reads
// the datagrams itself and keeps each one's properties as they came. Both
// formats on the wire are read: the kernel's ("action@devpath" then
// KEY=VALUE strings) and udevd's (a "libudev" header, then the same
// strings; also what umockdev's testbed sends). Senders are checked as
// libudev checks them: the kernel's group only from the kernel, and
// credentials of root for everything. libudev still finds and reads the
// devices themselves (udev_tree.h).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace eklv::pf::lx {

// One uevent: its properties in the order sent.
class Uevent {
public:
    // A property's value; null when the uevent has none.
    const char* Property(std::string_view key) const;
    // Never null once parsed, but devtype (which many uevents lack).
    const char* action() const { return At(action_); }
    const char* subsystem() const { return At(subsystem_); }
    const char* devtype() const { return At(devtype_); }
    // "/sys" and DEVPATH.
    const char* syspath() const { return syspath_.c_str(); }

private:
    friend bool ParseUevent(const char* data, std::size_t size, Uevent* out);
    static constexpr std::size_t kNone = std::string::npos;
    // Where a property's value starts in properties_, or kNone: offsets,
    // not pointers, so that a copy reads its own buffer.
    std::size_t Find(std::string_view key) const;
    const char* At(std::size_t offset) const { return offset == kNone ? nullptr : properties_.c_str() + offset; }

    std::string properties_;  // "KEY=VALUE\0" ..., ending in a NUL
    std::string syspath_;
    std::size_t action_ = kNone;
    std::size_t subsystem_ = kNone;
    std::size_t devtype_ = kNone;
};

// Reads one datagram in either format; false when it is not a uevent
// (no header, a bad libudev header, no ACTION, DEVPATH or SUBSYSTEM).
bool ParseUevent(const char* data, std::size_t size, Uevent* out);

class UeventSocket {
public:
    UeventSocket() = default;
    ~UeventSocket() { Close(); }
    UeventSocket(const UeventSocket&) = delete;
    UeventSocket& operator=(const UeventSocket&) = delete;

    // Listens to the kernel's uevents, or to udevd's when from_udevd; the
    // socket does not block. receive_bytes: the buffer asked for (forced
    // where the privilege allows). False when the socket cannot be made.
    bool Open(bool from_udevd, int receive_bytes);
    void Close();
    int fd() const { return fd_; }

    enum class Result {
        kUevent,    // *out holds one of the subsystems asked for
        kNone,      // nothing waits
        kLost,      // the kernel dropped uevents (the buffer overflowed)
        kBad,       // a trusted sender's datagram that is not a uevent
        kFailed,    // the socket failed (errno set)
        kSkipped,   // kMaxDropped datagrams dropped in a row; more may wait
    };
    // Takes datagrams off the socket until one is a uevent of subsystem_a
    // or subsystem_b; datagrams of other subsystems or from other senders
    // are dropped, at most kMaxDropped in one call, so that a flood of
    // other subsystems' uevents never holds the caller (and its lock) long.
    Result Receive(std::string_view subsystem_a, std::string_view subsystem_b, Uevent* out);
    static constexpr int kMaxDropped = 256;

private:
    int fd_ = -1;
};

}  // namespace eklv::pf::lx
