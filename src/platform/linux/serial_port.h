// Serial ports of the Linux backend: a tty opened non-blocking, with the
// Windows COMM semantics (DCB, COMMTIMEOUTS, overlapped operations) built on
// termios2, poll and the events of event.h.
//
// Handles: CreateFileA inserts a SerialHandle into the handle table; every
// operation takes the port out of it and lets the handle go at once, so that
// CloseHandle destroys the SerialHandle, which closes the port: blocking
// calls in flight wake and fail with kErrorOperationAborted, pending
// overlapped operations complete with the same error. The descriptor itself
// is closed when the last user of the port has left. CancelIoEx ends the
// calls in flight the same way and leaves the port open.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/linux/event.h"
#include "platform/linux/kernel_object.h"
#include "platform/serial.h"

namespace eklv::pf::lx {

// "Internal" of an OVERLAPPED while its operation is pending (STATUS_PENDING);
// afterwards it holds the operation's error code, 0 for success.
inline constexpr std::uintptr_t kOverlappedPending = 0x103;

struct PendingOp;

// What a blocking call polls beside the tty: readable once the calls that
// hold it are to end (the port was closed or their I/O cancelled). A cancel
// signals the one the calls in flight hold and gives later calls a new one.
class WakeFd {
public:
    explicit WakeFd(int fd) : fd_(fd) {}
    ~WakeFd();
    WakeFd(const WakeFd&) = delete;
    WakeFd& operator=(const WakeFd&) = delete;
    int fd() const { return fd_; }
    void Signal();

private:
    const int fd_;
};

// Kinds of overlapped operation, for CancelPending.
enum : unsigned { kOpRead = 1, kOpWrite = 2, kOpWait = 4, kOpAll = 7 };

class SerialPort : public std::enable_shared_from_this<SerialPort> {
public:
    // Opens path (a tty) and puts its line discipline into raw mode; answers
    // null with the last error set.
    static std::shared_ptr<SerialPort> Open(const std::string& path, bool overlapped);
    ~SerialPort();

    // Marks the port closed: wakes blocking calls, aborts pending operations.
    void Close();

    bool overlapped() const { return overlapped_; }
    int fd() const { return fd_; }

    bool Read(void* buffer, std::uint32_t size, std::uint32_t* read, Overlapped* overlapped);
    bool Write(const void* buffer, std::uint32_t size, std::uint32_t* written, Overlapped* overlapped);
    // Cancels the pending operations that thread_id started (every thread's
    // when thread_id is 0) of the given kinds; only the one started with
    // overlapped when that is given.
    void CancelPending(std::uint32_t thread_id, unsigned kinds, const Overlapped* only = nullptr);
    // CancelIoEx: every thread's pending operations and blocking calls in
    // flight (overlapped null), or the operation started with overlapped.
    // False, with the last error set, when the blocking calls cannot be
    // woken (no descriptor for the next ones).
    bool CancelAll(const Overlapped* overlapped);

    bool GetState(Dcb* dcb);
    bool SetState(const Dcb& dcb);
    bool GetTimeouts(CommTimeouts* timeouts);
    bool SetTimeouts(const CommTimeouts& timeouts);
    bool Purge(std::uint32_t flags);
    bool ClearError(std::uint32_t* errors, ComStat* status);
    bool SetMask(std::uint32_t mask);
    bool GetMask(std::uint32_t* mask);
    bool WaitEvent(std::uint32_t* mask, Overlapped* overlapped);
    bool Escape(std::uint32_t function);

private:
    SerialPort(int fd, std::shared_ptr<WakeFd> wake, bool overlapped);

    enum class Ready { kData, kTimeout, kClosed, kLost };
    // The wake of a blocking call starting now; null once the port is closed.
    std::shared_ptr<WakeFd> StartBlocking(CommTimeouts* timeouts);
    // Waits up to timeout_ms (-1: no limit) for events on the tty or for the
    // call's wake (kClosed: the port was closed or the call cancelled).
    Ready WaitFor(const WakeFd& wake, short events, int timeout_ms);
    bool StartPending(const std::shared_ptr<PendingOp>& op, short events);
    bool Complete(PendingOp& op, std::uint32_t status);
    // Sets or clears modem lines; ttys without them (ptys) accept silently.
    bool SetLines(int bits, bool on);
    void PrunePending();

    const int fd_;
    const bool overlapped_;

    std::mutex mutex_;
    bool closed_ = false;
    std::shared_ptr<WakeFd> wake_;  // the blocking calls' wake (see WakeFd)
    CommTimeouts timeouts_{};
    std::uint32_t event_mask_ = 0;
    // DCB fields that termios has no place for, kept as last set.
    Dcb shadow_{};
    bool icount_valid_ = false;
    int icount_[4] = {};  // frame, overrun, parity, brk at the last ClearCommError
    std::vector<std::shared_ptr<PendingOp>> pending_;
};

// The termios words a DCB maps to, kept apart from the ioctls so the mapping
// can be checked on its own (a pty forces 8 data bits and no parity).
struct LineFlags {
    std::uint32_t iflag = 0;
    std::uint32_t cflag = 0;
    std::uint32_t speed = 0;
    std::uint8_t xon = 0;
    std::uint8_t xoff = 0;
};
// Replaces the mapped bits of flags with the DCB's; other bits stay.
void DcbToLineFlags(const Dcb& dcb, LineFlags* flags);
// Fills the mapped DCB fields from flags; other fields stay.
void LineFlagsToDcb(const LineFlags& flags, Dcb* dcb);

// What the handle table holds for a port handle.
class SerialHandle : public KernelObject {
public:
    explicit SerialHandle(std::shared_ptr<SerialPort> port) : port_(std::move(port)) {}
    ~SerialHandle() override { port_->Close(); }
    const std::shared_ptr<SerialPort>& port() const { return port_; }

private:
    std::shared_ptr<SerialPort> port_;
};

// The port behind a handle, or null with kErrorInvalidHandle set.
std::shared_ptr<SerialPort> PortFromHandle(Handle handle);

// The tty path a port name stands for: "\\.\<name>" is /dev/<name>, a
// symbolic name is looked up in the device tree, an absolute path is taken
// as it is. Empty when there is none.
std::string ResolveSerialPath(const std::string& name);

// The parts of a USB symbolic name that locate its tty:
// \\?\usb#vid_xxxx&pid_yyyy&mi_nn#1-3.2:1.1#{guid} names interface 1-3.2:1.1,
// \\?\usb#vid_xxxx&pid_yyyy#1-3#{guid} the single-interface device 1-3.
struct UsbNameParts {
    bool interface = false;  // the sysfs name is an interface's, not a device's
    std::string sysname;
};
bool ParseUsbSymbolicName(const std::string& name, UsbNameParts* parts);

}  // namespace eklv::pf::lx
