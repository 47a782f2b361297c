// eventfd-backed event of the Linux backend.
#pragma once

#include <functional>
#include <mutex>

#include "platform/linux/kernel_object.h"

namespace eklv::pf::lx {

// A new non-blocking, close-on-exec eventfd; -1 when none can be made.
// Every eventfd of the backend comes from here, so that the
// ThreadSanitizer suppression of tests/tsan.supp names one function: under
// umockdev a descriptor closed behind the sanitizer and handed out again
// on another thread looks like a race on its number.
int NewEventDescriptor();

class Event : public KernelObject {
public:
    Event(bool manual_reset, bool initial_state);
    ~Event() override;

    bool ok() const { return fd_ >= 0; }
    void Set();
    void Reset();

    int WaitFd() override { return fd_; }
    bool Acquire() override;
    bool IsSignalled() override;
    int AuxFd(short* events) override;
    void OnAuxReady(short revents) override;

    // Attaches a descriptor whose readiness completes a pending operation:
    // waiters on the event also poll fd for events and call on_ready with
    // what poll reported; on_ready answers true when the operation is
    // complete (and has set the event). Detach cancels it.
    void Attach(int fd, short events, std::function<bool(short)> on_ready);
    void Detach();

private:
    int fd_;
    const bool manual_;
    std::mutex mutex_;
    bool signalled_ = false;
    int aux_fd_ = -1;
    short aux_events_ = 0;
    std::function<bool(short)> aux_ready_;
};

}  // namespace eklv::pf::lx
