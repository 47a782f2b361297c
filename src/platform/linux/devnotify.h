// The Linux backend's side of platform/devnotify.h that the rest of the
// backend and its tests use: broadcasts reach a window's procedure through
// the trampoline of CreateMessageWindow (window.cpp).
//
// A broadcast is posted, not sent: the payload waits in a pending table
// under a token, and a private registered message carries the token to the
// window's thread, where the trampoline takes the payload out and calls
// the procedure with WM_DEVICECHANGE. The device monitor never waits for a
// window (a busy, stuck or ended window delays only itself), and releasing
// a registration never waits for a delivery; it drops the registration's
// queued broadcasts. Broadcasts of windows that went are dropped after each
// batch. The monitor thread (device_monitor.h) runs while at least one
// registration exists, and stops at library unload.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/window.h"

namespace eklv::pf::lx {

// Called by the trampoline of CreateMessageWindow for every message: when
// message is the private broadcast message, takes the pending broadcast of
// the token lparam for hwnd, calls proc with WM_DEVICECHANGE and its
// payload, stores the answer and answers true (also when the broadcast was
// dropped meanwhile: then proc is not called). False for any other message.
bool DeliverDeviceBroadcast(Hwnd hwnd, std::uint32_t message, LParam lparam, WindowProc proc, void* context,
                            LResult* result);

// Views for tests: whether the monitor thread runs, and how many posted
// broadcasts wait to be dispatched.
bool DeviceMonitorRunning();
std::size_t PendingDeviceBroadcasts();

}  // namespace eklv::pf::lx
