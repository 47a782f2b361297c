#include "eklv_host/thread_queue.h"

#include <algorithm>
#include <utility>

namespace eklv::msgwin {
namespace {

bool InRange(std::uint32_t message, std::uint32_t min, std::uint32_t max) {
    if (message == EKLV_WM_QUIT || max < min || (min == 0 && max == 0)) return true;
    return message >= min && message <= max;
}

}  // namespace

std::uint32_t TickCount() {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
    return static_cast<std::uint32_t>(ms);
}

bool ThreadQueue::Post(const EKLVMsg& msg) {
    if (posted_.size() >= kMaxPosted) return false;
    posted_.push_back(msg);
    Wake();
    return true;
}

void ThreadQueue::RequestQuit(int exit_code) {
    quit_requested_ = true;
    quit_code_ = exit_code;
    Wake();
}

bool ThreadQueue::Take(EKLV_HWND filter, std::uint32_t min, std::uint32_t max, bool remove, EKLVMsg* out) {
    auto found = std::find_if(posted_.begin(), posted_.end(), [&](const EKLVMsg& m) {
        return (filter == 0 || m.hwnd == filter) && InRange(m.message, min, max);
    });
    if (found != posted_.end()) {
        *out = *found;
        if (remove) posted_.erase(found);
        return true;
    }
    // As with Windows, a quit request is a thread message: a window filter hides it.
    if (filter != 0 || !quit_requested_) return false;
    *out = EKLVMsg{0, EKLV_WM_QUIT, static_cast<std::uintptr_t>(static_cast<std::intptr_t>(quit_code_)), 0,
                   TickCount()};
    if (remove) quit_requested_ = false;
    return true;
}

void ThreadQueue::DropPosted(EKLV_HWND hwnd) {
    std::erase_if(posted_, [hwnd](const EKLVMsg& m) { return m.hwnd == hwnd; });
}

void ThreadQueue::Clear() {
    posted_.clear();
    quit_requested_ = false;
}

void ThreadQueue::AddSent(std::shared_ptr<SentMessage> sent) {
    sent_.push_back(std::move(sent));
    Wake();
}

std::shared_ptr<SentMessage> ThreadQueue::NextSent() {
    if (sent_.empty()) return nullptr;
    std::shared_ptr<SentMessage> next = std::move(sent_.front());
    sent_.pop_front();
    return next;
}

std::vector<std::shared_ptr<SentMessage>> ThreadQueue::TakeSent(EKLV_HWND hwnd) {
    std::vector<std::shared_ptr<SentMessage>> taken;
    std::erase_if(sent_, [&](const std::shared_ptr<SentMessage>& s) {
        if (hwnd != 0 && s->hwnd != hwnd) return false;
        taken.push_back(s);
        return true;
    });
    return taken;
}

bool ThreadQueue::Wait(std::unique_lock<std::mutex>& lock, const Deadline& deadline) {
    if (!deadline) {
        wake_.wait(lock);
        return true;
    }
    return wake_.wait_until(lock, *deadline) == std::cv_status::no_timeout;
}

}  // namespace eklv::msgwin
