#include "rig/modem_emulator.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace eklv::test {

ModemEmulator::ModemEmulator(int master_fd) : owns_master_(false) {
    master_ = master_fd;
    if (master_ < 0) return;
    stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { Run(); });
}

ModemEmulator::ModemEmulator() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return;
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name) != 0) {
        close(master_);
        master_ = -1;
        return;
    }
    slave_path_ = name;
    slave_keep_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_keep_ >= 0) {
        // Raw from the start, so nothing is echoed back before the port is
        // opened and configured by the code under test.
        termios t;
        tcgetattr(slave_keep_, &t);
        cfmakeraw(&t);
        tcsetattr(slave_keep_, TCSANOW, &t);
    }
    stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { Run(); });
}

ModemEmulator::~ModemEmulator() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            hang_up_requested_ = true;
        }
        std::uint64_t one = 1;
        ssize_t n = write(stop_fd_, &one, sizeof one);
        (void)n;
        thread_.join();
    }
    if (stop_fd_ >= 0) close(stop_fd_);
}

void ModemEmulator::QueueReply(ModemReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_.push_back(std::move(reply));
}

void ModemEmulator::Answer(const std::string& command, ModemReply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[command] = std::move(reply);
}

void ModemEmulator::SetSilent(bool silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    silent_ = silent;
}

void ModemEmulator::SetPaused(bool paused) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paused_ = paused;
    }
    std::uint64_t one = 1;
    ssize_t n = write(stop_fd_, &one, sizeof one);
    (void)n;
}

void ModemEmulator::Send(const std::string& bytes) { WriteAll(bytes); }

void ModemEmulator::StartStream(std::string piece, int interval_ms) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stream_piece_ = std::move(piece);
        stream_interval_ms_ = interval_ms;
    }
    std::uint64_t one = 1;
    ssize_t n = write(stop_fd_, &one, sizeof one);
    (void)n;
}

void ModemEmulator::StopStream() {
    std::lock_guard<std::mutex> lock(mutex_);
    stream_piece_.clear();
}

void ModemEmulator::HangUp() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hang_up_requested_ = true;
    }
    std::uint64_t one = 1;
    ssize_t n = write(stop_fd_, &one, sizeof one);
    (void)n;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return hung_up_; });
}

void ModemEmulator::ForgetCommands() {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.clear();
}

std::vector<std::string> ModemEmulator::Commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

bool ModemEmulator::WaitForCommands(std::size_t count, int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [&] { return commands_.size() >= count; });
}

std::size_t ModemEmulator::BytesReceived() {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_received_;
}

void ModemEmulator::WriteAll(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(write_mutex_);
    std::size_t done = 0;
    while (master_ >= 0 && done < bytes.size()) {
        ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EINTR)
            return;
    }
}

void ModemEmulator::Run() {
    char buffer[4096];
    auto next_stream = std::chrono::steady_clock::now();
    for (;;) {
        int timeout = -1;
        std::string piece;
        bool paused;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (hang_up_requested_) break;
            paused = paused_;
            if (!stream_piece_.empty()) {
                auto now = std::chrono::steady_clock::now();
                if (now >= next_stream) {
                    piece = stream_piece_;
                    next_stream = now + std::chrono::milliseconds(stream_interval_ms_);
                }
                timeout = static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(next_stream - now).count());
                if (timeout < 0) timeout = 0;
            }
        }
        if (!piece.empty()) WriteAll(piece);
        pollfd fds[2] = {{master_, static_cast<short>(paused ? 0 : POLLIN), 0}, {stop_fd_, POLLIN, 0}};
        int n = poll(fds, 2, timeout);
        if (n < 0 && errno != EINTR) break;
        if (fds[1].revents & POLLIN) {
            std::uint64_t value;
            ssize_t r = read(stop_fd_, &value, sizeof value);
            (void)r;
        }
        if (!(fds[0].revents & POLLIN)) continue;
        ssize_t got = read(master_, buffer, sizeof buffer);
        if (got <= 0) continue;
        std::vector<ModemReply> answers;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            bytes_received_ += static_cast<std::size_t>(got);
            for (ssize_t i = 0; i < got; ++i) {
                if (buffer[i] != '\r') {
                    line_ += buffer[i];
                    continue;
                }
                auto standing = answers_.find(line_);
                commands_.push_back(line_);
                line_.clear();
                if (!replies_.empty()) {
                    answers.push_back(std::move(replies_.front()));
                    replies_.pop_front();
                } else if (standing != answers_.end()) {
                    answers.push_back(standing->second);
                } else if (!silent_) {
                    answers.push_back(ModemReply::Ok());
                }
            }
        }
        changed_.notify_all();
        for (auto& answer : answers) {
            for (std::size_t k = 0; k < answer.pieces.size(); ++k) {
                if (k > 0 && answer.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(answer.delay_ms));
                WriteAll(answer.pieces[k]);
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(write_mutex_);
        if (owns_master_) close(master_);
        master_ = -1;
        if (slave_keep_ >= 0) close(slave_keep_);
        slave_keep_ = -1;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hung_up_ = true;
    }
    changed_.notify_all();
}

}  // namespace eklv::test
