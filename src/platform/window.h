// Registered window messages, message windows and device-change
// registrations, shaped like the user32 services.
#pragma once

#include <cstdint>

#include "platform/module.h"

namespace eklv::pf {

using Hwnd = std::uintptr_t;
using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;

inline constexpr std::uint32_t kWmDestroy = 0x0002;
inline constexpr std::uint32_t kWmQuit = 0x0012;
inline constexpr std::uint32_t kWmDeviceChange = 0x0219;

struct Msg {
    Hwnd hwnd;
    std::uint32_t message;
    WParam wparam;
    LParam lparam;
    std::uint32_t time;
};

// Window procedure with a context pointer (the object behind the window).
using WindowProc = LResult (*)(Hwnd hwnd, std::uint32_t message, WParam wparam, LParam lparam, void* context);

std::uint32_t RegisterWindowMessageA(const char* name);
// Hidden window owned by the calling thread; 0 on failure (last error set).
Hwnd CreateMessageWindow(WindowProc proc, void* context);
bool DestroyWindow(Hwnd hwnd);
bool IsWindow(Hwnd hwnd);
bool PostMessageA(Hwnd hwnd, std::uint32_t message, WParam wparam, LParam lparam);
LResult SendMessageA(Hwnd hwnd, std::uint32_t message, WParam wparam, LParam lparam);
// 1 message, 0 WM_QUIT, -1 error.
int GetMessageA(Msg* msg, Hwnd hwnd, std::uint32_t min, std::uint32_t max);
// Non-blocking; true when a message was found (and removed when remove).
bool PeekMessageA(Msg* msg, Hwnd hwnd, std::uint32_t min, std::uint32_t max, bool remove);
bool TranslateMessage(const Msg* msg);
LResult DispatchMessageA(const Msg* msg);

}  // namespace eklv::pf
