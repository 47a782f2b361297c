// Events, waits and critical sections over eventfd and poll.
#include "platform/sync.h"

#include <sys/eventfd.h>
#include <sys/poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <new>
#include <vector>

#include "platform/linux/event.h"

namespace eklv::pf {
namespace lx {

[[gnu::noinline]] int NewEventDescriptor() { return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

Event::Event(bool manual_reset, bool initial_state) : fd_(NewEventDescriptor()), manual_(manual_reset) {
    if (initial_state) Set();
}

Event::~Event() {
    if (fd_ >= 0) close(fd_);
}

void Event::Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (signalled_) return;
    signalled_ = true;
    std::uint64_t one = 1;
    ssize_t n = write(fd_, &one, sizeof one);
    (void)n;  // cannot fail: the counter is 0 or 1
}

void Event::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!signalled_) return;
    signalled_ = false;
    std::uint64_t value;
    ssize_t n = read(fd_, &value, sizeof value);
    (void)n;
}

bool Event::Acquire() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!signalled_) return false;
    if (!manual_) {
        signalled_ = false;
        std::uint64_t value;
        ssize_t n = read(fd_, &value, sizeof value);
        (void)n;
    }
    return true;
}

bool Event::IsSignalled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return signalled_;
}

int Event::AuxFd(short* events) {
    std::lock_guard<std::mutex> lock(mutex_);
    *events = aux_events_;
    return aux_fd_;
}

void Event::OnAuxReady(short revents) {
    std::function<bool(short)> ready;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (aux_fd_ < 0) return;
        ready = aux_ready_;
    }
    if (ready && ready(revents)) {
        std::lock_guard<std::mutex> lock(mutex_);
        aux_fd_ = -1;
        aux_ready_ = nullptr;
    }
}

void Event::Attach(int fd, short events, std::function<bool(short)> on_ready) {
    std::lock_guard<std::mutex> lock(mutex_);
    aux_fd_ = fd;
    aux_events_ = events;
    aux_ready_ = std::move(on_ready);
}

void Event::Detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    aux_fd_ = -1;
    aux_ready_ = nullptr;
}

}  // namespace lx

Handle CreateEventA(bool manual_reset, bool initial_state) {
    std::shared_ptr<lx::Event> event(new (std::nothrow) lx::Event(manual_reset, initial_state));
    if (!event || !event->ok()) {
        SetLastError(kErrorNotEnoughMemory);
        return kNullHandle;
    }
    return lx::InsertObject(event);
}

bool SetEvent(Handle h) {
    auto event = lx::Lookup<lx::Event>(h);
    if (!event) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    event->Set();
    return true;
}

bool ResetEvent(Handle h) {
    auto event = lx::Lookup<lx::Event>(h);
    if (!event) {
        SetLastError(kErrorInvalidHandle);
        return false;
    }
    event->Reset();
    return true;
}

std::uint32_t WaitForSingleObject(Handle object, std::uint32_t timeout_ms) {
    return WaitForMultipleObjects(1, &object, false, timeout_ms);
}

std::uint32_t WaitForMultipleObjects(std::uint32_t count, const Handle* handles, bool wait_all,
                                     std::uint32_t timeout_ms) {
    if (count == 0 || count > kMaximumWaitObjects || handles == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return kWaitFailed;
    }
    std::vector<std::shared_ptr<lx::KernelObject>> objects(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        objects[i] = lx::LookupObject(handles[i]);
        if (!objects[i] || objects[i]->WaitFd() < 0) {
            SetLastError(kErrorInvalidHandle);
            return kWaitFailed;
        }
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    std::vector<pollfd> fds;
    std::vector<std::uint32_t> aux_owner;
    for (;;) {
        if (wait_all) {
            bool all = true;
            for (auto& o : objects) all = all && o->IsSignalled();
            if (all) {
                for (auto& o : objects) o->Acquire();
                return kWaitObject0;
            }
        } else {
            for (std::uint32_t i = 0; i < count; ++i)
                if (objects[i]->Acquire()) return kWaitObject0 + i;
        }
        fds.clear();
        aux_owner.clear();
        // When waiting for all, objects already signalled are not polled:
        // their descriptors would stay readable and spin the loop.
        for (std::uint32_t i = 0; i < count; ++i)
            if (!wait_all || !objects[i]->IsSignalled()) fds.push_back({objects[i]->WaitFd(), POLLIN, 0});
        const std::size_t wait_fds = fds.size();
        for (std::uint32_t i = 0; i < count; ++i) {
            short events = 0;
            int fd = objects[i]->AuxFd(&events);
            if (fd >= 0) {
                fds.push_back({fd, events, 0});
                aux_owner.push_back(i);
            }
        }
        int wait_ms = -1;
        if (timeout_ms != kInfinite) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            wait_ms = left > 0 ? static_cast<int>(left) : 0;
        }
        int n = poll(fds.data(), fds.size(), wait_ms);
        if (n < 0) {
            if (errno == EINTR) continue;
            SetLastError(lx::ErrorFromErrno(errno));
            return kWaitFailed;
        }
        for (std::size_t k = 0; k < aux_owner.size(); ++k) {
            const pollfd& p = fds[wait_fds + k];
            if (p.revents != 0) objects[aux_owner[k]]->OnAuxReady(p.revents);
        }
        if (timeout_ms != kInfinite && Clock::now() >= deadline) {
            // One last look: an object may have been signalled just now.
            if (!wait_all) {
                for (std::uint32_t i = 0; i < count; ++i)
                    if (objects[i]->Acquire()) return kWaitObject0 + i;
            } else {
                bool all = true;
                for (auto& o : objects) all = all && o->IsSignalled();
                if (all) {
                    for (auto& o : objects) o->Acquire();
                    return kWaitObject0;
                }
            }
            return kWaitTimeout;  // like Windows, a time-out leaves the last error alone
        }
    }
}

struct CriticalSection::Impl {
    std::recursive_mutex mutex;
};

CriticalSection::CriticalSection() : impl_(new Impl) {}
CriticalSection::~CriticalSection() = default;
void CriticalSection::Enter() { impl_->mutex.lock(); }
void CriticalSection::Leave() { impl_->mutex.unlock(); }
bool CriticalSection::TryEnter() { return impl_->mutex.try_lock(); }

}  // namespace eklv::pf
