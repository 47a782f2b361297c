#include "eklv_host/message_system.h"

#include <memory>
#include <utility>

#include "eklv_host/current_thread.h"

namespace eklv::msgwin {
namespace {

// Procedures are C callbacks; one that throws anyway counts as a failed call
// rather than unwinding through the caller's message loop.
std::optional<std::intptr_t> CallProc(EKLVWndProc proc, void* user, EKLV_HWND hwnd, std::uint32_t message,
                                      std::uintptr_t wparam, std::intptr_t lparam) {
    try {
        return proc(hwnd, message, wparam, lparam, user);
    } catch (...) {
        return std::nullopt;
    }
}

// Settles a sent message and wakes its sender, unless it stopped waiting.
void Finish(SentMessage& sent, std::optional<std::intptr_t> answer) {
    sent.state = answer ? SentMessage::State::kDone : SentMessage::State::kFailed;
    sent.result = answer.value_or(0);
    if (!sent.abandoned) sent.sender->Wake();
}

}  // namespace

MessageSystem& MessageSystem::Instance() {
    // Never destroyed: threads still end, and release their windows, while
    // the process exits.
    static MessageSystem* instance = new MessageSystem;
    return *instance;
}

EKLV_HWND MessageSystem::CreateWindow(EKLVWndProc proc, void* user) {
    std::shared_ptr<ThreadQueue> self = CurrentQueue();
    if (proc == nullptr || !self) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    return windows_.Add(proc, user, std::move(self));
}

bool MessageSystem::DestroyWindow(EKLV_HWND hwnd) {
    std::shared_ptr<ThreadQueue> self = CurrentQueue();
    if (!self) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    const Window* window = windows_.Find(hwnd);
    if (window == nullptr || window->owner != self) return false;
    EKLVWndProc proc = window->proc;
    void* user = window->user;
    windows_.Remove(hwnd);
    self->DropPosted(hwnd);
    for (const auto& sent : self->TakeSent(hwnd)) Finish(*sent, std::nullopt);
    lock.unlock();
    CallProc(proc, user, hwnd, EKLV_WM_DESTROY, 0, 0);
    return true;
}

bool MessageSystem::IsWindow(EKLV_HWND hwnd) {
    std::lock_guard<std::mutex> lock(mutex_);
    return windows_.Find(hwnd) != nullptr;
}

bool MessageSystem::Post(EKLV_HWND hwnd, std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam) {
    EKLVMsg msg{hwnd, message, wparam, lparam, TickCount()};
    std::lock_guard<std::mutex> lock(mutex_);
    const Window* window = windows_.Find(hwnd);
    return window != nullptr && window->owner->Post(msg);
}

bool MessageSystem::PostQuit(int exit_code) {
    std::shared_ptr<ThreadQueue> self = CurrentQueue();
    if (!self) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    self->RequestQuit(exit_code);
    return true;
}

std::optional<std::intptr_t> MessageSystem::Send(EKLV_HWND hwnd, std::uint32_t message, std::uintptr_t wparam,
                                                 std::intptr_t lparam, const Deadline& deadline) {
    std::shared_ptr<ThreadQueue> self = CurrentQueue();
    if (!self) return std::nullopt;
    std::unique_lock<std::mutex> lock(mutex_);
    const Window* window = windows_.Find(hwnd);
    if (window == nullptr) return std::nullopt;
    if (window->owner == self) {
        EKLVWndProc proc = window->proc;
        void* user = window->user;
        lock.unlock();
        return CallProc(proc, user, hwnd, message, wparam, lparam);
    }

    auto sent = std::make_shared<SentMessage>(SentMessage{hwnd, message, wparam, lparam, self});
    window->owner->AddSent(sent);
    while (!sent->Finished()) {
        if (self->HasSent()) {
            RunSentMessages(lock, *self);
        } else if (!self->Wait(lock, deadline) && !sent->Finished()) {
            sent->abandoned = true;
            return std::nullopt;
        }
    }
    if (sent->state == SentMessage::State::kFailed) return std::nullopt;
    return sent->result;
}

int MessageSystem::Get(EKLVMsg* msg, EKLV_HWND filter, std::uint32_t min, std::uint32_t max,
                       const Deadline& deadline) {
    std::shared_ptr<ThreadQueue> self = CurrentQueue();
    if (msg == nullptr || !self) return -1;
    std::unique_lock<std::mutex> lock(mutex_);
    bool timed_out = false;
    for (;;) {
        // Sent messages come first, whatever the filter.
        if (self->HasSent()) {
            RunSentMessages(lock, *self);
            continue;
        }
        // Checked on every turn: a sent message may have destroyed the window.
        if (filter != 0 && !IsWindowOf(filter, *self)) return -1;
        if (self->Take(filter, min, max, true, msg)) return msg->message == EKLV_WM_QUIT ? 0 : 1;
        if (timed_out) return -2;
        timed_out = !self->Wait(lock, deadline);
    }
}

bool MessageSystem::Peek(EKLVMsg* msg, EKLV_HWND filter, std::uint32_t min, std::uint32_t max, bool remove) {
    std::shared_ptr<ThreadQueue> self = CurrentQueue();
    if (msg == nullptr || !self) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    RunSentMessages(lock, *self);
    if (filter != 0 && !IsWindowOf(filter, *self)) return false;
    return self->Take(filter, min, max, remove, msg);
}

std::intptr_t MessageSystem::Dispatch(const EKLVMsg& msg) {
    std::shared_ptr<ThreadQueue> self = CurrentQueue();
    if (!self) return 0;
    std::unique_lock<std::mutex> lock(mutex_);
    const Window* window = windows_.Find(msg.hwnd);
    if (window == nullptr || window->owner != self) return 0;
    EKLVWndProc proc = window->proc;
    void* user = window->user;
    lock.unlock();
    return CallProc(proc, user, msg.hwnd, msg.message, msg.wparam, msg.lparam).value_or(0);
}

void MessageSystem::EndThread(ThreadQueue& queue) {
    std::lock_guard<std::mutex> lock(mutex_);
    windows_.RemoveOwnedBy(&queue);
    for (const auto& sent : queue.TakeSent(0)) Finish(*sent, std::nullopt);
    queue.Clear();
}

bool MessageSystem::IsWindowOf(EKLV_HWND hwnd, const ThreadQueue& queue) const {
    const Window* window = windows_.Find(hwnd);
    return window != nullptr && window->owner.get() == &queue;
}

void MessageSystem::RunSentMessages(std::unique_lock<std::mutex>& lock, ThreadQueue& queue) {
    while (std::shared_ptr<SentMessage> sent = queue.NextSent()) {
        if (sent->abandoned) continue;
        // Destroying a window takes its sent messages, so it is still present.
        const Window* window = windows_.Find(sent->hwnd);
        if (window == nullptr) {
            Finish(*sent, std::nullopt);
            continue;
        }
        EKLVWndProc proc = window->proc;
        void* user = window->user;
        sent->state = SentMessage::State::kRunning;
        lock.unlock();
        std::optional<std::intptr_t> answer =
            CallProc(proc, user, sent->hwnd, sent->message, sent->wparam, sent->lparam);
        lock.lock();
        Finish(*sent, answer);
    }
}

}  // namespace eklv::msgwin
