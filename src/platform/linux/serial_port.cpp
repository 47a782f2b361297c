// Serial ports on termios2: line settings, COMMTIMEOUTS over poll, and the
// overlapped operations that complete through an event with an attached
// descriptor (event.h).
//
// The tty is always open O_NONBLOCK with VMIN 1 and VTIME 0. With that
// setting read() tells the three cases apart: EAGAIN is "nothing yet", 0 is a
// hung-up tty and EIO a pty whose far end has closed; the last two are
// "device lost" (kErrorDeviceNotConnected).
#include "platform/linux/serial_port.h"

#include "platform/linux/device_open.h"

// termios2 for arbitrary baud rates; <termios.h> must not be included here.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include "platform/linux/event.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace eklv::pf::lx {

// One overlapped operation that did not finish at once. The caller's buffer
// and OVERLAPPED are touched only under the mutex and only while not done,
// so once CancelPending or Complete has run they are the caller's again.
struct PendingOp {
    std::mutex mutex;
    bool done = false;
    unsigned kind = 0;
    std::uint32_t thread_id = 0;
    Overlapped* overlapped = nullptr;
    std::weak_ptr<Event> event;
    std::uint8_t* read_buffer = nullptr;
    const std::uint8_t* write_buffer = nullptr;
    std::uint32_t size = 0;
    std::uint32_t transferred = 0;
    std::uint32_t* mask = nullptr;
};

namespace {

// Terminal requests go to the kernel directly. A preloaded ioctl wrapper,
// as device-emulation test beds install, answers requests it does not know
// with ENOTTY for every descriptor opened below /dev, which would make a
// working port look like no terminal at all.
template <class... Args>
int TermIoctl(int fd, unsigned long request, Args... args) {
    return static_cast<int>(syscall(SYS_ioctl, fd, request, args...));
}


using Clock = std::chrono::steady_clock;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

bool Fail(std::uint32_t error) {
    SetLastError(error);
    return false;
}

bool IsLost(int error) { return error == EIO || error == ENXIO || error == ENODEV || error == EPIPE; }


// Completes an operation at once: Windows signals the event of an OVERLAPPED
// that finished synchronously as well.
void CompleteNow(Overlapped* overlapped, const std::shared_ptr<Event>& event, std::uint32_t transferred) {
    overlapped->internal = 0;
    overlapped->internal_high = transferred;
    event->Set();
}

std::uint8_t ByteSizeOf(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5: return 5;
        case CS6: return 6;
        case CS7: return 7;
        default: return 8;
    }
}

}  // namespace

std::shared_ptr<SerialPort> PortFromHandle(Handle handle) {
    auto entry = Lookup<SerialHandle>(handle);
    if (!entry) {
        SetLastError(kErrorInvalidHandle);
        return nullptr;
    }
    return entry->port();
}

std::shared_ptr<SerialPort> SerialPort::Open(const std::string& path, bool overlapped) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(ErrorFromErrno(errno));
        return nullptr;
    }
    termios2 t;
    if (TermIoctl(fd, TCGETS2, &t) != 0) {  // not a tty
        ::close(fd);
        SetLastError(kErrorFileNotFound);
        return nullptr;
    }
    // A Windows COM port is always a raw byte channel: no echo, no line
    // editing, no CR/LF mapping, no XON/XOFF unless the DCB asks for it.
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | IMAXBEL);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag |= CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (TermIoctl(fd, TCSETS2, &t) != 0) {
        int error = errno;
        ::close(fd);
        SetLastError(ErrorFromErrno(error));
        return nullptr;
    }
    const int wake_fd = NewEventDescriptor();
    std::shared_ptr<WakeFd> wake(wake_fd < 0 ? nullptr : new (std::nothrow) WakeFd(wake_fd));
    if (!wake) {
        if (wake_fd >= 0) ::close(wake_fd);
        ::close(fd);
        SetLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    std::shared_ptr<SerialPort> port(new (std::nothrow) SerialPort(fd, std::move(wake), overlapped));
    if (!port) {
        ::close(fd);
        SetLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    std::uint32_t ignored;
    port->ClearError(&ignored, nullptr);  // start the line-error counters
    return port;
}

WakeFd::~WakeFd() { ::close(fd_); }

void WakeFd::Signal() {
    std::uint64_t one = 1;
    ssize_t n = ::write(fd_, &one, sizeof one);
    (void)n;  // cannot fail short of overflowing the counter
}

SerialPort::SerialPort(int fd, std::shared_ptr<WakeFd> wake, bool overlapped)
    : fd_(fd), overlapped_(overlapped), wake_(std::move(wake)) {
    shadow_.DCBlength = sizeof(Dcb);
    shadow_.fBinary = 1;
    shadow_.fDtrControl = kDtrControlEnable;  // opening a tty raises DTR and RTS
    shadow_.fRtsControl = kRtsControlEnable;
    shadow_.XonLim = 2048;
    shadow_.XoffLim = 512;
}

SerialPort::~SerialPort() { ::close(fd_); }

void SerialPort::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return;
        closed_ = true;
        wake_->Signal();
    }
    CancelPending(0, kOpAll);
}

bool SerialPort::CancelAll(const Overlapped* overlapped) {
    if (overlapped != nullptr) {
        CancelPending(0, kOpAll, overlapped);
        return true;
    }
    const int fd = NewEventDescriptor();
    std::shared_ptr<WakeFd> next(fd < 0 ? nullptr : new (std::nothrow) WakeFd(fd));
    if (!next && fd >= 0) ::close(fd);
    const bool woken = next != nullptr;
    if (woken) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!closed_) {
            wake_->Signal();  // the calls in flight hold this one
            wake_ = std::move(next);
        }
    }
    CancelPending(0, kOpAll);
    return woken || Fail(kErrorNotEnoughMemory);
}

std::shared_ptr<WakeFd> SerialPort::StartBlocking(CommTimeouts* timeouts) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return nullptr;
    if (timeouts != nullptr) *timeouts = timeouts_;
    return wake_;
}

SerialPort::Ready SerialPort::WaitFor(const WakeFd& wake, short events, int timeout_ms) {
    pollfd fds[2] = {{fd_, events, 0}, {wake.fd(), POLLIN, 0}};
    const std::int64_t deadline = timeout_ms < 0 ? 0 : NowMs() + timeout_ms;
    for (;;) {
        int wait = timeout_ms;
        if (timeout_ms >= 0) wait = static_cast<int>(std::max<std::int64_t>(0, deadline - NowMs()));
        int n = ::poll(fds, 2, wait);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Ready::kLost;
        }
        if (n == 0) return Ready::kTimeout;
        if (fds[1].revents != 0) return Ready::kClosed;
        if (fds[0].revents & POLLNVAL) return Ready::kLost;
        return Ready::kData;  // readable, writable, or hung up: the next call tells
    }
}

bool SerialPort::Read(void* buffer, std::uint32_t size, std::uint32_t* read, Overlapped* overlapped) {
    std::uint32_t dummy;
    if (read == nullptr) read = &dummy;
    *read = 0;
    if (buffer == nullptr && size != 0) return Fail(kErrorInvalidParameter);
    CommTimeouts t;
    const std::shared_ptr<WakeFd> wake = StartBlocking(&t);
    if (!wake) return Fail(kErrorOperationAborted);
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    const bool immediate =
        t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;

    if (overlapped != nullptr) {
        auto event = Lookup<Event>(overlapped->event);
        if (!event) return Fail(kErrorInvalidParameter);
        event->Reset();
        overlapped->internal = kOverlappedPending;
        overlapped->internal_high = 0;
        ssize_t n = size == 0 ? 0 : ::read(fd_, bytes, size);
        if (n > 0 || size == 0) {
            CompleteNow(overlapped, event, static_cast<std::uint32_t>(n));
            *read = static_cast<std::uint32_t>(n);
            return true;
        }
        if (n == 0) return Fail(kErrorDeviceNotConnected);
        if (errno != EAGAIN && errno != EINTR) return Fail(ErrorFromErrno(errno));
        if (immediate) {
            CompleteNow(overlapped, event, 0);
            return true;
        }
        // Pending: completes with whatever arrives first (total time-outs
        // are not applied to overlapped reads).
        auto op = std::make_shared<PendingOp>();
        op->kind = kOpRead;
        op->thread_id = GetCurrentThreadId();
        op->overlapped = overlapped;
        op->event = event;
        op->read_buffer = bytes;
        op->size = size;
        return StartPending(op, POLLIN);
    }

    if (size == 0) return true;
    const bool any = t.ReadIntervalTimeout == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword &&
                     t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != kMaxDword;
    std::int64_t total = -1;
    if (any)
        total = t.ReadTotalTimeoutConstant;
    else if (!immediate && (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0))
        total = static_cast<std::int64_t>(t.ReadTotalTimeoutMultiplier) * size + t.ReadTotalTimeoutConstant;
    const std::int64_t interval =
        (!any && !immediate && t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != kMaxDword)
            ? static_cast<std::int64_t>(t.ReadIntervalTimeout)
            : -1;
    const std::int64_t start = NowMs();
    std::int64_t last = start;
    std::uint32_t got = 0;
    for (;;) {
        ssize_t n = ::read(fd_, bytes + got, size - got);
        if (n > 0) {
            got += static_cast<std::uint32_t>(n);
            last = NowMs();
            if (got == size || any) break;
            continue;
        }
        int error = n == 0 ? EIO : errno;  // 0: hung up
        if (error == EINTR) continue;
        if (error != EAGAIN) {
            *read = got;
            if (got > 0 && IsLost(error)) return true;  // deliver what came before the loss; the next read fails
            return Fail(ErrorFromErrno(error));
        }
        if (immediate) break;
        std::int64_t wait = -1;
        const std::int64_t now = NowMs();
        if (total >= 0) {
            wait = start + total - now;
            if (wait <= 0) break;
        }
        if (interval >= 0 && got > 0) {
            std::int64_t left = last + interval - now;
            if (left <= 0) break;
            wait = wait < 0 ? left : std::min(wait, left);
        }
        Ready r = WaitFor(*wake, POLLIN, static_cast<int>(std::min<std::int64_t>(wait, INT32_MAX)));
        if (r == Ready::kClosed) {
            *read = got;
            return Fail(kErrorOperationAborted);
        }
        if (r == Ready::kLost) {
            *read = got;
            return Fail(kErrorDeviceNotConnected);
        }
    }
    *read = got;
    return true;
}

bool SerialPort::Write(const void* buffer, std::uint32_t size, std::uint32_t* written, Overlapped* overlapped) {
    std::uint32_t dummy;
    if (written == nullptr) written = &dummy;
    *written = 0;
    if (buffer == nullptr && size != 0) return Fail(kErrorInvalidParameter);
    CommTimeouts t;
    const std::shared_ptr<WakeFd> wake = StartBlocking(&t);
    if (!wake) return Fail(kErrorOperationAborted);
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    std::uint32_t done = 0;
    // Writes what the tty takes now; answers the errno that stopped it (0
    // when everything went, EAGAIN when the tty is full).
    auto push = [&]() -> int {
        while (done < size) {
            ssize_t n = ::write(fd_, bytes + done, size - done);
            if (n > 0) {
                done += static_cast<std::uint32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            return n < 0 ? errno : EIO;
        }
        return 0;
    };

    if (overlapped != nullptr) {
        auto event = Lookup<Event>(overlapped->event);
        if (!event) return Fail(kErrorInvalidParameter);
        event->Reset();
        overlapped->internal = kOverlappedPending;
        overlapped->internal_high = 0;
        int error = push();
        if (error == 0) {
            CompleteNow(overlapped, event, done);
            *written = done;
            return true;
        }
        if (error != EAGAIN) return Fail(ErrorFromErrno(error));
        auto op = std::make_shared<PendingOp>();
        op->kind = kOpWrite;
        op->thread_id = GetCurrentThreadId();
        op->overlapped = overlapped;
        op->event = event;
        op->write_buffer = bytes;
        op->size = size;
        op->transferred = done;
        return StartPending(op, POLLOUT);
    }

    const std::int64_t total =
        (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0)
            ? static_cast<std::int64_t>(t.WriteTotalTimeoutMultiplier) * size + t.WriteTotalTimeoutConstant
            : -1;
    const std::int64_t start = NowMs();
    for (;;) {
        int error = push();
        *written = done;
        if (error == 0) return true;
        if (error != EAGAIN) return Fail(ErrorFromErrno(error));
        std::int64_t wait = -1;
        if (total >= 0) {
            wait = start + total - NowMs();
            // A write that runs out of time is reported as failed with the
            // count that did go, so a partial command is never taken as sent.
            if (wait <= 0) return Fail(kErrorTimeout);
        }
        Ready r = WaitFor(*wake, POLLOUT, static_cast<int>(std::min<std::int64_t>(wait, INT32_MAX)));
        if (r == Ready::kClosed) return Fail(kErrorOperationAborted);
        if (r == Ready::kLost) return Fail(kErrorDeviceNotConnected);
    }
}

bool SerialPort::StartPending(const std::shared_ptr<PendingOp>& op, short events) {
    auto event = op->event.lock();
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) {
        op->overlapped->internal = kErrorOperationAborted;
        return Fail(kErrorOperationAborted);
    }
    PrunePending();
    pending_.push_back(op);
    std::weak_ptr<SerialPort> weak = weak_from_this();
    event->Attach(fd_, events, [weak, op](short revents) {
        std::lock_guard<std::mutex> op_lock(op->mutex);
        if (op->done) return true;
        auto port = weak.lock();
        if (!port) return true;  // closed and gone; Close completed the operation
        int fd = port->fd_;
        if (op->kind == kOpWait) {
            int available = 0;
            // POLLIN alone is data; with a hang-up it may be the end of input.
            if ((revents & POLLIN) &&
                (!(revents & (POLLHUP | POLLERR)) || (TermIoctl(fd, FIONREAD, &available) == 0 && available > 0))) {
                *op->mask = kEvRxChar;
                return port->Complete(*op, 0);
            }
            if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
                *op->mask = 0;
                return port->Complete(*op, kErrorDeviceNotConnected);
            }
            return false;
        }
        if (op->kind == kOpRead) {
            ssize_t n = ::read(fd, op->read_buffer, op->size);
            if (n > 0) {
                op->transferred = static_cast<std::uint32_t>(n);
                return port->Complete(*op, 0);
            }
            int error = n == 0 ? EIO : errno;
            if (error == EAGAIN || error == EINTR) {
                if (revents & (POLLHUP | POLLERR | POLLNVAL)) return port->Complete(*op, kErrorDeviceNotConnected);
                return false;
            }
            return port->Complete(*op, ErrorFromErrno(error));
        }
        while (op->transferred < op->size) {  // write
            ssize_t n = ::write(fd, op->write_buffer + op->transferred, op->size - op->transferred);
            if (n > 0) {
                op->transferred += static_cast<std::uint32_t>(n);
                continue;
            }
            int error = n < 0 ? errno : EIO;
            if (error == EINTR) continue;
            if (error == EAGAIN) {
                if (revents & (POLLHUP | POLLERR | POLLNVAL)) return port->Complete(*op, kErrorDeviceNotConnected);
                return false;
            }
            return port->Complete(*op, ErrorFromErrno(error));
        }
        return port->Complete(*op, 0);
    });
    SetLastError(kErrorIoPending);
    return false;
}

// Caller holds op.mutex.
bool SerialPort::Complete(PendingOp& op, std::uint32_t status) {
    op.done = true;
    op.overlapped->internal = status;
    op.overlapped->internal_high = op.transferred;
    if (auto event = op.event.lock()) event->Set();
    return true;
}

void SerialPort::PrunePending() {
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(),
                                  [](const std::shared_ptr<PendingOp>& op) {
                                      std::lock_guard<std::mutex> lock(op->mutex);
                                      return op->done;
                                  }),
                   pending_.end());
}

void SerialPort::CancelPending(std::uint32_t thread_id, unsigned kinds, const Overlapped* only) {
    std::vector<std::shared_ptr<PendingOp>> cancelled;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto keep = std::stable_partition(pending_.begin(), pending_.end(), [&](const std::shared_ptr<PendingOp>& op) {
            return !((op->kind & kinds) && (thread_id == 0 || op->thread_id == thread_id) &&
                     (only == nullptr || op->overlapped == only));
        });
        cancelled.assign(keep, pending_.end());
        pending_.erase(keep, pending_.end());
    }
    for (auto& op : cancelled) {
        std::lock_guard<std::mutex> lock(op->mutex);
        if (op->done) continue;
        if (op->kind == kOpWait) *op->mask = 0;
        Complete(*op, kErrorOperationAborted);
        if (auto event = op->event.lock()) event->Detach();
    }
}

void LineFlagsToDcb(const LineFlags& f, Dcb* d) {
    d->BaudRate = f.speed;
    d->fBinary = 1;
    d->fParity = (f.iflag & INPCK) ? 1 : 0;
    d->ByteSize = ByteSizeOf(f.cflag);
    if (!(f.cflag & PARENB))
        d->Parity = kNoParity;
    else if (f.cflag & CMSPAR)
        d->Parity = (f.cflag & PARODD) ? kMarkParity : kSpaceParity;
    else
        d->Parity = (f.cflag & PARODD) ? kOddParity : kEvenParity;
    d->StopBits = !(f.cflag & CSTOPB) ? kOneStopBit : (d->ByteSize == 5 ? kOne5StopBits : kTwoStopBits);
    const bool crtscts = (f.cflag & CRTSCTS) != 0;
    d->fOutxCtsFlow = crtscts ? 1 : 0;
    if (crtscts)
        d->fRtsControl = kRtsControlHandshake;
    else if (d->fRtsControl == kRtsControlHandshake)
        d->fRtsControl = kRtsControlEnable;
    d->fOutX = (f.iflag & IXON) ? 1 : 0;
    d->fInX = (f.iflag & IXOFF) ? 1 : 0;
    d->XonChar = static_cast<char>(f.xon);
    d->XoffChar = static_cast<char>(f.xoff);
}

void DcbToLineFlags(const Dcb& d, LineFlags* f) {
    f->speed = d.BaudRate;
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    f->cflag = (f->cflag & ~CSIZE) | kSizes[std::clamp<int>(d.ByteSize, 5, 8) - 5];
    f->cflag &= ~(PARENB | PARODD | CMSPAR);
    switch (d.Parity) {
        case kOddParity: f->cflag |= PARENB | PARODD; break;
        case kEvenParity: f->cflag |= PARENB; break;
        case kMarkParity: f->cflag |= PARENB | PARODD | CMSPAR; break;
        case kSpaceParity: f->cflag |= PARENB | CMSPAR; break;
        default: break;
    }
    if (d.StopBits == kOneStopBit)
        f->cflag &= ~CSTOPB;
    else
        f->cflag |= CSTOPB;  // 1.5 with five data bits, 2 otherwise
    if (d.fOutxCtsFlow || d.fRtsControl == kRtsControlHandshake)
        f->cflag |= CRTSCTS;  // Linux has one switch for both directions
    else
        f->cflag &= ~CRTSCTS;
    f->iflag &= ~(INPCK | IXON | IXOFF);
    if (d.fParity) f->iflag |= INPCK;
    if (d.fOutX) f->iflag |= IXON;
    if (d.fInX) f->iflag |= IXOFF;
    f->xon = static_cast<std::uint8_t>(d.XonChar);
    f->xoff = static_cast<std::uint8_t>(d.XoffChar);
}

bool SerialPort::GetState(Dcb* dcb) {
    termios2 t;
    if (TermIoctl(fd_, TCGETS2, &t) != 0) return Fail(ErrorFromErrno(errno));
    LineFlags f;
    f.iflag = t.c_iflag;
    f.cflag = t.c_cflag;
    f.speed = t.c_ospeed;
    f.xon = t.c_cc[VSTART];
    f.xoff = t.c_cc[VSTOP];
    std::lock_guard<std::mutex> lock(mutex_);
    Dcb d = shadow_;
    d.DCBlength = sizeof(Dcb);
    LineFlagsToDcb(f, &d);
    *dcb = d;
    return true;
}

bool SerialPort::SetState(const Dcb& dcb) {
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > kSpaceParity ||
        dcb.StopBits > kTwoStopBits)
        return Fail(kErrorInvalidParameter);
    termios2 t;
    if (TermIoctl(fd_, TCGETS2, &t) != 0) return Fail(ErrorFromErrno(errno));
    LineFlags f;
    f.iflag = t.c_iflag;
    f.cflag = t.c_cflag;
    DcbToLineFlags(dcb, &f);
    // BOTHER takes any rate the driver accepts (921600 and beyond); input
    // speed 0 in CIBAUD means "same as output".
    t.c_cflag = (f.cflag & ~(CBAUD | CIBAUD)) | BOTHER;
    t.c_ispeed = t.c_ospeed = f.speed;
    t.c_iflag = f.iflag;
    t.c_cc[VSTART] = f.xon;
    t.c_cc[VSTOP] = f.xoff;
    if (TermIoctl(fd_, TCSETS2, &t) != 0) return Fail(ErrorFromErrno(errno));
    const bool crtscts = (f.cflag & CRTSCTS) != 0;
    if (!SetLines(TIOCM_DTR, dcb.fDtrControl != kDtrControlDisable)) return false;
    if (!crtscts && !SetLines(TIOCM_RTS, dcb.fRtsControl != kRtsControlDisable)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    shadow_ = dcb;
    return true;
}

bool SerialPort::SetLines(int bits, bool on) {
    if (TermIoctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return true;
    if (errno == ENOTTY || errno == EINVAL) return true;  // no modem lines (pty)
    return Fail(ErrorFromErrno(errno));
}

bool SerialPort::GetTimeouts(CommTimeouts* timeouts) {
    std::lock_guard<std::mutex> lock(mutex_);
    *timeouts = timeouts_;
    return true;
}

bool SerialPort::SetTimeouts(const CommTimeouts& timeouts) {
    std::lock_guard<std::mutex> lock(mutex_);
    timeouts_ = timeouts;
    return true;
}

bool SerialPort::Purge(std::uint32_t flags) {
    if (flags & ~(kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear)) return Fail(kErrorInvalidParameter);
    unsigned kinds = 0;
    if (flags & kPurgeRxAbort) kinds |= kOpRead;
    if (flags & kPurgeTxAbort) kinds |= kOpWrite;
    if (kinds) CancelPending(0, kinds);
    const unsigned clear = flags & (kPurgeRxClear | kPurgeTxClear);
    const int queue = clear == (kPurgeRxClear | kPurgeTxClear) ? TCIOFLUSH : (clear == kPurgeRxClear ? TCIFLUSH : TCOFLUSH);
    if (clear && TermIoctl(fd_, TCFLSH, queue) != 0) return Fail(ErrorFromErrno(errno));
    return true;
}

bool SerialPort::ClearError(std::uint32_t* errors, ComStat* status) {
    std::uint32_t found = 0;
    serial_icounter_struct counts{};
    if (TermIoctl(fd_, TIOCGICOUNT, &counts) == 0) {
        const int now[4] = {counts.frame, counts.overrun + counts.buf_overrun, counts.parity, counts.brk};
        std::lock_guard<std::mutex> lock(mutex_);
        if (icount_valid_) {
            if (now[0] != icount_[0]) found |= kCeFrame;
            if (now[1] != icount_[1]) found |= kCeOverrun;
            if (now[2] != icount_[2]) found |= kCeRxParity;
            if (now[3] != icount_[3]) found |= kCeBreak;
        }
        std::copy(now, now + 4, icount_);
        icount_valid_ = true;
    }
    if (status != nullptr) {
        int in = 0;
        int out = 0;
        if (TermIoctl(fd_, TIOCINQ, &in) != 0) return Fail(ErrorFromErrno(errno));
        if (TermIoctl(fd_, TIOCOUTQ, &out) != 0) out = 0;
        *status = ComStat{};
        status->cbInQue = static_cast<std::uint32_t>(in);
        status->cbOutQue = static_cast<std::uint32_t>(out);
    }
    if (errors != nullptr) *errors = found;
    return true;
}

bool SerialPort::SetMask(std::uint32_t mask) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        event_mask_ = mask;
    }
    // As on Windows, changing the mask ends a pending wait with mask 0.
    std::vector<std::shared_ptr<PendingOp>> waits;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& op : pending_)
            if (op->kind == kOpWait) waits.push_back(op);
    }
    for (auto& op : waits) {
        std::lock_guard<std::mutex> lock(op->mutex);
        if (op->done) continue;
        *op->mask = 0;
        Complete(*op, 0);
        if (auto event = op->event.lock()) event->Detach();
    }
    return true;
}

bool SerialPort::GetMask(std::uint32_t* mask) {
    std::lock_guard<std::mutex> lock(mutex_);
    *mask = event_mask_;
    return true;
}

bool SerialPort::WaitEvent(std::uint32_t* mask, Overlapped* overlapped) {
    if (mask == nullptr) return Fail(kErrorInvalidParameter);
    std::uint32_t wanted;
    std::shared_ptr<WakeFd> wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return Fail(kErrorOperationAborted);
        wanted = event_mask_;
        wake = wake_;
    }
    const short events = (wanted & kEvRxChar) ? POLLIN : 0;
    std::shared_ptr<Event> event;
    if (overlapped != nullptr) {
        event = Lookup<Event>(overlapped->event);
        if (!event) return Fail(kErrorInvalidParameter);
        event->Reset();
        overlapped->internal = kOverlappedPending;
        overlapped->internal_high = 0;
    }
    for (;;) {
        // One look at the tty: nothing (the usual case), data, or a hang-up.
        pollfd p = {fd_, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0) {
            int available = 0;
            if (p.revents & POLLNVAL) return Fail(kErrorInvalidHandle);
            if (TermIoctl(fd_, FIONREAD, &available) != 0) return Fail(ErrorFromErrno(errno));
            if (events && available > 0) {
                *mask = kEvRxChar;
                if (event) CompleteNow(overlapped, event, 0);
                return true;
            }
            if (p.revents & (POLLHUP | POLLERR)) return Fail(kErrorDeviceNotConnected);
        }
        if (event) {
            auto op = std::make_shared<PendingOp>();
            op->kind = kOpWait;
            op->thread_id = GetCurrentThreadId();
            op->overlapped = overlapped;
            op->event = event;
            op->mask = mask;
            return StartPending(op, events);
        }
        Ready r = WaitFor(*wake, events, -1);
        if (r == Ready::kClosed) return Fail(kErrorOperationAborted);
        if (r == Ready::kLost) return Fail(kErrorDeviceNotConnected);
    }
}

bool SerialPort::Escape(std::uint32_t function) {
    switch (function) {
        case kSetDtr: return SetLines(TIOCM_DTR, true);
        case kClrDtr: return SetLines(TIOCM_DTR, false);
        case kSetRts: return SetLines(TIOCM_RTS, true);
        case kClrRts: return SetLines(TIOCM_RTS, false);
        case kSetBreak: return TermIoctl(fd_, TIOCSBRK) == 0 || Fail(ErrorFromErrno(errno));
        case kClrBreak: return TermIoctl(fd_, TIOCCBRK) == 0 || Fail(ErrorFromErrno(errno));
        case kSetXoff: return TermIoctl(fd_, TCXONC, TCOOFF) == 0 || Fail(ErrorFromErrno(errno));
        case kSetXon: return TermIoctl(fd_, TCXONC, TCOON) == 0 || Fail(ErrorFromErrno(errno));
        default: return Fail(kErrorInvalidParameter);
    }
}

}  // namespace eklv::pf::lx

namespace eklv::pf {

bool GetCommState(Handle port, Dcb* dcb) {
    auto p = lx::PortFromHandle(port);
    if (!p) return false;
    if (dcb == nullptr) return lx::Fail(kErrorInvalidParameter);
    return p->GetState(dcb);
}

bool SetCommState(Handle port, const Dcb* dcb) {
    auto p = lx::PortFromHandle(port);
    if (!p) return false;
    if (dcb == nullptr) return lx::Fail(kErrorInvalidParameter);
    return p->SetState(*dcb);
}

bool GetCommTimeouts(Handle port, CommTimeouts* timeouts) {
    auto p = lx::PortFromHandle(port);
    if (!p) return false;
    if (timeouts == nullptr) return lx::Fail(kErrorInvalidParameter);
    return p->GetTimeouts(timeouts);
}

bool SetCommTimeouts(Handle port, const CommTimeouts* timeouts) {
    auto p = lx::PortFromHandle(port);
    if (!p) return false;
    if (timeouts == nullptr) return lx::Fail(kErrorInvalidParameter);
    return p->SetTimeouts(*timeouts);
}

bool PurgeComm(Handle port, std::uint32_t flags) {
    auto p = lx::PortFromHandle(port);
    return p && p->Purge(flags);
}

bool ClearCommError(Handle port, std::uint32_t* errors, ComStat* status) {
    auto p = lx::PortFromHandle(port);
    return p && p->ClearError(errors, status);
}

bool SetCommMask(Handle port, std::uint32_t mask) {
    auto p = lx::PortFromHandle(port);
    return p && p->SetMask(mask);
}

bool GetCommMask(Handle port, std::uint32_t* mask) {
    auto p = lx::PortFromHandle(port);
    if (!p) return false;
    if (mask == nullptr) return lx::Fail(kErrorInvalidParameter);
    return p->GetMask(mask);
}

bool WaitCommEvent(Handle port, std::uint32_t* mask, Overlapped* overlapped) {
    auto p = lx::PortFromHandle(port);
    return p && p->WaitEvent(mask, overlapped);
}

bool CommWaitsShared(Handle port) { return lx::PortFromHandle(port) != nullptr; }

bool EscapeCommFunction(Handle port, std::uint32_t function) {
    auto p = lx::PortFromHandle(port);
    return p && p->Escape(function);
}

}  // namespace eklv::pf

namespace eklv::pf::lx {

Handle OpenSerialDevice(const std::string& name, bool overlapped) {
    std::string path = ResolveSerialPath(name);
    if (path.empty()) {
        SetLastError(kErrorFileNotFound);
        return kInvalidHandle;
    }
    auto port = SerialPort::Open(path, overlapped);
    if (!port) return kInvalidHandle;
    std::shared_ptr<SerialHandle> entry(new (std::nothrow) SerialHandle(port));
    if (!entry) {
        port->Close();
        SetLastError(kErrorNotEnoughMemory);
        return kInvalidHandle;
    }
    return InsertObject(entry);
}

}  // namespace eklv::pf::lx
