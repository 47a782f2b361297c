// The message queue of one thread: posted messages, the quit request and the
// messages other threads are sending to its windows.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "eklv/eklv_host.h"

namespace eklv::msgwin {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;  // none: wait for ever

// Millisecond tick of the monotonic clock, wrapping at 32 bits.
std::uint32_t TickCount();

class ThreadQueue;

// A message sent from one thread to a window of another. The sender waits on
// its own queue until the state is final.
struct SentMessage {
    enum class State { kQueued, kRunning, kDone, kFailed };

    EKLV_HWND hwnd;
    std::uint32_t message;
    std::uintptr_t wparam;
    std::intptr_t lparam;
    std::shared_ptr<ThreadQueue> sender;
    State state = State::kQueued;
    std::intptr_t result = 0;
    // The sender gave up waiting: a queued message is then skipped, and
    // nobody is woken when a running one finishes.
    bool abandoned = false;

    bool Finished() const { return state == State::kDone || state == State::kFailed; }
};

// Every member is guarded by the message system's lock, which callers hold.
// Only the owning thread waits on a queue.
class ThreadQueue {
public:
    // Windows caps each queue at 10000 posted messages; so do we.
    static constexpr std::size_t kMaxPosted = 10000;

    // Queues a posted message and wakes the owner; false when the queue is full.
    bool Post(const EKLVMsg& msg);
    // Makes a later retrieval answer EKLV_WM_QUIT (wparam = exit code) once
    // no posted message matches; repeated requests keep the last code.
    void RequestQuit(int exit_code);
    // The first posted message of window filter (of any window of the thread
    // and thread messages when filter is 0) whose id lies in min..max (both 0,
    // or an inverted range, filter nothing; EKLV_WM_QUIT always passes).
    // Without one, and when filter is 0, a pending quit request. Removes what
    // it answers when remove is set.
    bool Take(EKLV_HWND filter, std::uint32_t min, std::uint32_t max, bool remove, EKLVMsg* out);
    // Drops the posted messages of hwnd.
    void DropPosted(EKLV_HWND hwnd);
    // Drops everything posted, and the quit request.
    void Clear();

    void AddSent(std::shared_ptr<SentMessage> sent);
    bool HasSent() const { return !sent_.empty(); }
    // Removes and answers the oldest sent message; null when there is none.
    std::shared_ptr<SentMessage> NextSent();
    // Removes and answers the sent messages for hwnd, or all when hwnd is 0.
    std::vector<std::shared_ptr<SentMessage>> TakeSent(EKLV_HWND hwnd);

    // Waits for a wake-up or the deadline, releasing lock meanwhile; false
    // when the deadline passed. Wake-ups may be spurious.
    bool Wait(std::unique_lock<std::mutex>& lock, const Deadline& deadline);
    void Wake() { wake_.notify_one(); }

private:
    std::condition_variable wake_;
    std::deque<EKLVMsg> posted_;
    std::deque<std::shared_ptr<SentMessage>> sent_;
    bool quit_requested_ = false;
    int quit_code_ = 0;
};

}  // namespace eklv::msgwin
