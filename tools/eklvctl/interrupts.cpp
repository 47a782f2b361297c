#include "system.h"

namespace eklvctl {

void Interrupts::NotifyWindow(EKLV_HWND window, std::uint32_t message) {
    std::lock_guard<std::mutex> lock(mutex_);
    window_ = window;
    message_ = message;
}

void Interrupts::Raise(int request) {
    int none = 0;
    request_.compare_exchange_strong(none, request);
    std::lock_guard<std::mutex> lock(mutex_);
    if (window_ != 0) MessageWindow::Post(window_, message_);
}

}  // namespace eklvctl
