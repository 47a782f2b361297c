// The parts of eklvctl that differ between operating systems: loading the
// library, the message window with its loop, and stop requests (Ctrl-C).
// Each OS has one implementation file, picked by the build:
// system_linux.cpp (dlopen, eklv_host.h windows, signalfd) and
// system_win32.cpp (LoadLibraryA, a user32 message-only window,
// SetConsoleCtrlHandler).
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "eklv/eklv.h"

namespace eklvctl {

// The library's file name on this OS: "libeklv.so" or "eklv.dll".
extern const char* const kLibraryFileName;

// Whether a listening socket may take an address that closed connections
// still hold (SO_REUSEADDR): on Linux that only skips TIME_WAIT, so that a
// restarted server gets its port back; on Windows it would let the socket
// share a port another program listens on.
extern const bool kListenReusesAddress;

// The number of ports of the hub whose device interface is hub_name (a
// symbolic name as the library logs it), as the system tells it; -1 when
// it cannot. Linux: the hub's maxchild in sysfs; Windows: the hub driver's
// node information.
int HubPortCount(const std::string& hub_name);

// The folder holding this program; empty when unknown.
std::string ProgramFolder();

// The local time of seconds, thread-safe.
std::tm LocalTime(std::time_t seconds);

// A loaded library module.
class Module {
public:
    // Loads path; null with the reason in *error when it cannot be loaded.
    static std::unique_ptr<Module> Load(const std::string& path, std::string* error);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // The exported symbol name; null when the module lacks it.
    void* Symbol(const char* name) const;
    // The file the module was loaded from, as the module itself sees it.
    std::string FileName() const;

private:
    explicit Module(void* handle) : handle_(handle) {}
    void* handle_;
};

// eklvctl's own messages start here (WM_USER on Windows, and the same
// number in eklv_host.h's windows).
constexpr std::uint32_t kFirstPrivateMessage = 0x0400;

// A message to this program's window.
struct WindowMessage {
    std::uint32_t message = 0;
    std::uintptr_t wparam = 0;
    std::intptr_t lparam = 0;
};

// A hidden window owned by the thread that creates it; the library posts
// its registered messages to it, and other threads of eklvctl post to it to
// wake the owner's loop.
class MessageWindow {
public:
    MessageWindow();
    ~MessageWindow();
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    // The id of a registered message, shared with the library; 0 on failure.
    static std::uint32_t Register(const char* name);
    // Posts to window from any thread; false when it is gone.
    static bool Post(EKLV_HWND window, std::uint32_t message);

    // 0 when the window could not be created.
    EKLV_HWND handle() const { return handle_; }

    enum class Got { kMessage, kTimeout, kBroken };
    // The next message for the owner thread, waiting at most timeout_ms.
    // Messages for the system's own use are handled on the way.
    Got Next(WindowMessage* message, std::uint32_t timeout_ms);

private:
    EKLV_HWND handle_ = 0;
};

// Stop requests (Ctrl-C and the like) as something the main thread waits
// for: a flag, and a message posted to the host's window so that a waiting
// loop wakes at once. No library function ever runs from the OS's handler.
class Interrupts {
public:
    // Call first thing in main, before any thread exists.
    static void Prepare();

    Interrupts();
    ~Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    bool requested() const { return request_.load() != 0; }
    // What asked for the stop: "Ctrl-C", "SIGTERM", ...
    std::string name() const;

    // Posts message to window when a stop is requested (window 0: nobody).
    void NotifyWindow(EKLV_HWND window, std::uint32_t message);

    // For the OS's handler: records the first request, wakes the window.
    void Raise(int request);

private:
    struct Watcher;

    std::atomic<int> request_{0};
    std::mutex mutex_;
    EKLV_HWND window_ = 0;
    std::uint32_t message_ = 0;
    std::unique_ptr<Watcher> watcher_;
};

}  // namespace eklvctl
