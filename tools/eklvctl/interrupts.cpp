#include "interrupts.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace eklvctl {
namespace {

sigset_t Signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void Interrupts::Block() {
    sigset_t set = Signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

Interrupts::Interrupts() {
    sigset_t set = Signals();
    signal_fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (signal_fd_ >= 0 && stop_fd_ >= 0) watcher_ = std::thread([this] { Watch(); });
}

Interrupts::~Interrupts() {
    if (watcher_.joinable()) {
        std::uint64_t one = 1;
        ssize_t n = write(stop_fd_, &one, sizeof one);
        (void)n;
        watcher_.join();
    }
    if (signal_fd_ >= 0) close(signal_fd_);
    if (stop_fd_ >= 0) close(stop_fd_);
}

void Interrupts::NotifyWindow(EKLV_HWND window, std::uint32_t message) {
    std::lock_guard<std::mutex> lock(mutex_);
    window_ = window;
    message_ = message;
}

void Interrupts::Watch() {
    for (;;) {
        pollfd fds[2] = {{signal_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        signalfd_siginfo info{};
        if (read(signal_fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
        int expected = 0;
        signal_.compare_exchange_strong(expected, static_cast<int>(info.ssi_signo));
        std::lock_guard<std::mutex> lock(mutex_);
        if (window_ != 0) EKLVHostPostMessage(window_, message_, 0, 0);
    }
}

}  // namespace eklvctl
