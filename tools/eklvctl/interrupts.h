// Ctrl-C (SIGINT), SIGTERM and SIGHUP as something the main thread waits
// for. The signals are blocked in every thread and read from a signalfd by
// a watcher thread, which raises a flag and posts a message to the host's
// window so that a waiting message loop wakes at once. No library function
// ever runs in a signal handler: there is none.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "eklv/eklv_host.h"

namespace eklvctl {

class Interrupts {
public:
    // Blocks the signals in the calling thread; threads started later,
    // the library's among them, inherit the mask. Call first thing in main.
    static void Block();

    Interrupts();
    ~Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    bool requested() const { return signal_.load() != 0; }
    int signal() const { return signal_.load(); }

    // Posts message to window when a signal comes (window 0: nobody).
    void NotifyWindow(EKLV_HWND window, std::uint32_t message);

private:
    void Watch();

    int signal_fd_ = -1;
    int stop_fd_ = -1;
    std::atomic<int> signal_{0};
    std::mutex mutex_;
    EKLV_HWND window_ = 0;
    std::uint32_t message_ = 0;
    std::thread watcher_;
};

}  // namespace eklvctl
