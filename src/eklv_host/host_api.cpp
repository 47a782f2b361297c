// The C entry points of libeklv_host.so. No exception leaves them: any
// failure inside (memory, a lock) answers the function's failure value.
#include <chrono>

#include "eklv/eklv_host.h"
#include "eklv_host/message_system.h"
#include "eklv_host/registered_messages.h"

namespace {

using eklv::msgwin::Clock;
using eklv::msgwin::Deadline;
using eklv::msgwin::MessageSystem;

template <typename Result, typename Body>
Result Guarded(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

Deadline After(std::uint32_t timeout_ms) { return Clock::now() + std::chrono::milliseconds(timeout_ms); }

}  // namespace

extern "C" {

uint32_t EKLVHostRegisterWindowMessage(const char* name) {
    return Guarded<uint32_t>(0, [&] { return eklv::msgwin::RegisteredMessages::Instance().Register(name); });
}

EKLV_HWND EKLVHostCreateWindow(EKLVWndProc proc, void* user) {
    return Guarded<EKLV_HWND>(0, [&] { return MessageSystem::Instance().CreateWindow(proc, user); });
}

int EKLVHostDestroyWindow(EKLV_HWND hwnd) {
    return Guarded(0, [&] { return MessageSystem::Instance().DestroyWindow(hwnd) ? 1 : 0; });
}

int EKLVHostIsWindow(EKLV_HWND hwnd) {
    return Guarded(0, [&] { return MessageSystem::Instance().IsWindow(hwnd) ? 1 : 0; });
}

int EKLVHostPostMessage(EKLV_HWND hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    return Guarded(0, [&] { return MessageSystem::Instance().Post(hwnd, message, wparam, lparam) ? 1 : 0; });
}

intptr_t EKLVHostSendMessage(EKLV_HWND hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam) {
    return Guarded<intptr_t>(0, [&] {
        return MessageSystem::Instance().Send(hwnd, message, wparam, lparam, std::nullopt).value_or(0);
    });
}

int EKLVHostSendMessageTimeout(EKLV_HWND hwnd, uint32_t message, uintptr_t wparam, intptr_t lparam,
                               uint32_t timeout_ms, intptr_t* result) {
    if (result != nullptr) *result = 0;
    return Guarded(0, [&] {
        auto answer = MessageSystem::Instance().Send(hwnd, message, wparam, lparam, After(timeout_ms));
        if (!answer) return 0;
        if (result != nullptr) *result = *answer;
        return 1;
    });
}

void EKLVHostPostQuitMessage(int exit_code) {
    Guarded(false, [&] { return MessageSystem::Instance().PostQuit(exit_code); });
}

int EKLVHostGetMessage(EKLVMsg* msg, EKLV_HWND hwnd, uint32_t min, uint32_t max) {
    return Guarded(-1, [&] { return MessageSystem::Instance().Get(msg, hwnd, min, max, std::nullopt); });
}

int EKLVHostGetMessageTimeout(EKLVMsg* msg, EKLV_HWND hwnd, uint32_t min, uint32_t max, uint32_t timeout_ms) {
    return Guarded(-1, [&] { return MessageSystem::Instance().Get(msg, hwnd, min, max, After(timeout_ms)); });
}

int EKLVHostPeekMessage(EKLVMsg* msg, EKLV_HWND hwnd, uint32_t min, uint32_t max, int remove) {
    return Guarded(0, [&] { return MessageSystem::Instance().Peek(msg, hwnd, min, max, remove != 0) ? 1 : 0; });
}

int EKLVHostTranslateMessage(const EKLVMsg*) { return 0; }

intptr_t EKLVHostDispatchMessage(const EKLVMsg* msg) {
    if (msg == nullptr) return 0;
    return Guarded<intptr_t>(0, [&] { return MessageSystem::Instance().Dispatch(*msg); });
}

}  // extern "C"
