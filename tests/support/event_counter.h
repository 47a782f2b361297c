// Counts events from another thread and keeps the time of the latest, for
// waits with a bound and for latency figures.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace eklv::test {

class EventCounter {
public:
    using Clock = std::chrono::steady_clock;
    void Add() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
        last_ = Clock::now();
        changed_.notify_all();
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        count_ = 0;
    }
    int count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    // Waits until n events have come; at gets the time of the latest. False
    // after the bound without them.
    bool Wait(int n, Clock::time_point* at = nullptr, std::chrono::seconds bound = std::chrono::seconds(60)) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, bound, [&] { return count_ >= n; })) return false;
        if (at != nullptr) *at = last_;
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
    Clock::time_point last_;
};

}  // namespace eklv::test
