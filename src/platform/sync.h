// Events, waits and critical sections.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/handle.h"

namespace eklv::pf {

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
inline constexpr std::uint32_t kWaitObject0 = 0;
inline constexpr std::uint32_t kWaitTimeout = 258;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;
inline constexpr std::uint32_t kMaximumWaitObjects = 64;

// An unnamed event. Manual-reset events stay signalled until reset;
// auto-reset events release exactly one waiter and reset themselves.
// Answers kNullHandle on failure.
Handle CreateEventA(bool manual_reset, bool initial_state);
bool SetEvent(Handle event);
bool ResetEvent(Handle event);

// Waits for an event or a thread (signalled when it has ended).
// Answers kWaitObject0, kWaitTimeout or kWaitFailed (last error set).
std::uint32_t WaitForSingleObject(Handle object, std::uint32_t timeout_ms);

// Waits until any (wait_all false) or all of the objects are signalled.
// Answers kWaitObject0 + index of the lowest signalled object, kWaitTimeout
// or kWaitFailed.
std::uint32_t WaitForMultipleObjects(std::uint32_t count, const Handle* objects, bool wait_all,
                                     std::uint32_t timeout_ms);

// A recursive lock, re-entrant for the thread that holds it.
class CriticalSection {
public:
    CriticalSection();
    ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter();
    void Leave();
    bool TryEnter();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Holds a critical section for a scope.
class ScopedLock {
public:
    explicit ScopedLock(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
    ~ScopedLock() { cs_.Leave(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    CriticalSection& cs_;
};

}  // namespace eklv::pf
