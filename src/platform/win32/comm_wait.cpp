// The watched WaitCommEvent of comm_wait.h. The watcher asks each waiting
// port's input queue once a millisecond; it runs only while a wait is
// pending, so a port whose driver waits for itself costs nothing here.
#include "platform/win32/comm_wait.h"

#include <windows.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include "log/message_logger.h"
#include "platform/serial.h"

namespace eklv::pf::w32 {
namespace {

constexpr std::uintptr_t kStatusSuccess = 0;
constexpr std::uintptr_t kStatusPending = 0x103;
constexpr std::uintptr_t kStatusCancelled = 0xC0000120;          // ERROR_OPERATION_ABORTED
constexpr std::uintptr_t kStatusDeviceNotConnected = 0xC000009D;  // ERROR_NOT_READY

struct Wait {
    Handle port;
    std::uint32_t* mask;
    Overlapped* overlapped;
    DWORD thread;
};

struct State {
    std::mutex mutex;
    std::map<Handle, std::uint32_t> ports;  // ports that cannot wait, and their event masks
    std::map<Handle, CommDriver> probed;
    std::map<std::pair<Handle, DWORD>, const Overlapped*> system_waits;  // by port and issuing thread
    std::vector<Wait> waits;
    HANDLE watcher = nullptr;
    bool watcher_running = false;
};

State& TheState() {
    static State* state = new State;  // used by threads that may outlive static destruction
    return *state;
}

// Completes an OVERLAPPED as the system does: status, byte count, event.
void Complete(const Wait& wait, std::uintptr_t status, std::uint32_t mask) {
    if (wait.mask != nullptr) *wait.mask = mask;
    auto* overlapped = reinterpret_cast<volatile Overlapped*>(wait.overlapped);
    overlapped->internal_high = 0;
    overlapped->internal = status;
    ::SetEvent(reinterpret_cast<HANDLE>(wait.overlapped->event));
}

// Under the state's lock: true when the wait has completed.
bool Check(State& s, const Wait& wait) {
    COMSTAT status{};
    DWORD errors = 0;
    if (!::ClearCommError(reinterpret_cast<HANDLE>(wait.port), &errors, &status)) {
        Complete(wait, kStatusDeviceNotConnected, 0);
        return true;
    }
    auto port = s.ports.find(wait.port);
    std::uint32_t watched = port == s.ports.end() ? 0 : port->second;
    if (status.cbInQue == 0 || (watched & kEvRxChar) == 0) return false;
    Complete(wait, kStatusSuccess, kEvRxChar);
    return true;
}

DWORD WINAPI Watch(LPVOID) {
    State& s = TheState();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            std::erase_if(s.waits, [&](const Wait& w) { return Check(s, w); });
            if (s.waits.empty()) {
                s.watcher_running = false;
                return 0;
            }
        }
        ::Sleep(1);
    }
}

}  // namespace

CommDriver PortDriver(Handle port) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.probed.find(port);
    return it == s.probed.end() ? CommDriver::kUnknown : it->second;
}

bool BeginProbe(Handle port) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.probed.emplace(port, CommDriver::kProbing).second;
}

namespace {
void LogCannotWait(Handle port, const char* why) {
    LogMessage(kNoDevice, kLogWarning, kCatGeneral,
               "WaitCommEvent - the driver %s; received bytes of port %#llx are watched through ClearCommError", why,
               static_cast<unsigned long long>(port));
}
}  // namespace

void EndProbe(Handle port, CommDriver driver, std::uint32_t event_mask, const char* why) {
    State& s = TheState();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.probed.find(port);
        if (it == s.probed.end() || it->second != CommDriver::kProbing) return;  // closed meanwhile
        if (driver == CommDriver::kUnknown) {
            s.probed.erase(it);
            return;
        }
        it->second = driver;
        if (driver == CommDriver::kCannotWait) s.ports[port] = event_mask;
    }
    if (driver == CommDriver::kCannotWait) LogCannotWait(port, why);
}

void MarkCannotWait(Handle port, std::uint32_t event_mask) {
    State& s = TheState();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.probed.find(port);
        if (it == s.probed.end() || it->second != CommDriver::kWaits) return;
        it->second = CommDriver::kCannotWait;
        s.ports[port] = event_mask;
    }
    LogCannotWait(port, "ended a wait as cancelled on its own");
}

void NoteSystemWait(Handle port, const Overlapped* overlapped) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.system_waits[{port, ::GetCurrentThreadId()}] = overlapped;
}

bool DriverCancelledLastWait(Handle port, const Overlapped* overlapped) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.system_waits.find({port, ::GetCurrentThreadId()});
    return it != s.system_waits.end() && it->second == overlapped && overlapped->internal == kStatusCancelled;
}

void ForgetSystemWait(Handle port) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::erase_if(s.system_waits, [&](const auto& w) { return w.first.first == port; });
}

bool WatchedWaitCommEvent(Handle port, std::uint32_t event_mask, std::uint32_t* mask, Overlapped* overlapped) {
    State& s = TheState();
    HANDLE ended_watcher = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto marked = s.probed.find(port);
        if (marked == s.probed.end() || marked->second != CommDriver::kCannotWait) {  // closed meanwhile
            ::SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        s.ports[port] = event_mask;
        if (overlapped != nullptr) {
            Wait wait{port, mask, overlapped, ::GetCurrentThreadId()};
            overlapped->internal = kStatusPending;
            ::ResetEvent(reinterpret_cast<HANDLE>(overlapped->event));
            if (Check(s, wait)) {
                if (overlapped->internal == kStatusSuccess) return true;
                ::SetLastError(ERROR_NOT_READY);
                return false;
            }
            s.waits.push_back(wait);
            if (!s.watcher_running) {
                ended_watcher = s.watcher;
                s.watcher = ::CreateThread(nullptr, 0, &Watch, nullptr, 0, nullptr);
                s.watcher_running = s.watcher != nullptr;
                if (!s.watcher_running) {
                    s.waits.pop_back();
                    return false;
                }
            }
        }
    }
    if (ended_watcher != nullptr) {  // it has left its loop; let it return
        ::WaitForSingleObject(ended_watcher, INFINITE);
        ::CloseHandle(ended_watcher);
    }
    if (overlapped != nullptr) {
        ::SetLastError(ERROR_IO_PENDING);
        return false;
    }
    // Without an OVERLAPPED the caller waits here, until bytes come, the
    // port fails or its mask changes.
    for (;;) {
        COMSTAT status{};
        DWORD errors = 0;
        if (!::ClearCommError(reinterpret_cast<HANDLE>(port), &errors, &status)) return false;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            auto it = s.ports.find(port);
            std::uint32_t watched = it == s.ports.end() ? 0 : it->second;
            if (watched != event_mask || (status.cbInQue > 0 && (watched & kEvRxChar) != 0)) {
                if (mask != nullptr) *mask = watched != event_mask ? 0 : kEvRxChar;
                return true;
            }
        }
        ::Sleep(1);
    }
}

void AbortCommWaits(Handle port, CommWaitAbort reason, std::uint32_t new_mask, const Overlapped* only) {
    State& s = TheState();
    std::lock_guard<std::mutex> lock(s.mutex);
    const DWORD self = ::GetCurrentThreadId();
    if (reason == CommWaitAbort::kClose) s.probed.erase(port);
    // A wait of ours cancelled here must not be taken for one the driver
    // cancelled on its own.
    std::erase_if(s.system_waits, [&](const auto& w) {
        return w.first.first == port && (reason != CommWaitAbort::kCancel || w.first.second == self) &&
               (only == nullptr || w.second == only);
    });
    if (s.ports.empty()) return;
    std::erase_if(s.waits, [&](const Wait& w) {
        if (w.port != port || (reason == CommWaitAbort::kCancel && w.thread != self)) return false;
        if (only != nullptr && w.overlapped != only) return false;
        if (reason == CommWaitAbort::kMaskChanged)
            Complete(w, kStatusSuccess, 0);
        else
            Complete(w, kStatusCancelled, 0);
        return true;
    });
    if (reason == CommWaitAbort::kClose) s.ports.erase(port);
    if (reason == CommWaitAbort::kMaskChanged) {
        auto it = s.ports.find(port);
        if (it != s.ports.end()) it->second = new_mask;
    }
}

void JoinCommWatcher() {
    State& s = TheState();
    HANDLE watcher = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.waits.empty()) return;  // still serving a wait: its session owns it
        watcher = s.watcher;
        s.watcher = nullptr;
    }
    if (watcher == nullptr) return;
    // With no wait left it ends at its next look, within a millisecond; a
    // host may unload the DLL once EKLVUninitialize has returned, so it is
    // waited for, also when it has not seen yet that it is done.
    ::WaitForSingleObject(watcher, INFINITE);
    ::CloseHandle(watcher);
}

}  // namespace eklv::pf::w32
