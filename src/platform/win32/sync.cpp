// Events, waits and critical sections: kernel32's own.
#include "platform/sync.h"

#include <windows.h>

namespace eklv::pf {

Handle CreateEventA(bool manual_reset, bool initial_state) {
    return reinterpret_cast<Handle>(::CreateEventA(nullptr, manual_reset, initial_state, nullptr));
}

bool SetEvent(Handle event) { return ::SetEvent(reinterpret_cast<HANDLE>(event)) != FALSE; }
bool ResetEvent(Handle event) { return ::ResetEvent(reinterpret_cast<HANDLE>(event)) != FALSE; }

std::uint32_t WaitForSingleObject(Handle object, std::uint32_t timeout_ms) {
    return ::WaitForSingleObject(reinterpret_cast<HANDLE>(object), timeout_ms);
}

std::uint32_t WaitForMultipleObjects(std::uint32_t count, const Handle* objects, bool wait_all,
                                     std::uint32_t timeout_ms) {
    if (objects == nullptr || count == 0 || count > kMaximumWaitObjects) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return kWaitFailed;
    }
    HANDLE handles[kMaximumWaitObjects];
    for (std::uint32_t i = 0; i < count; ++i) handles[i] = reinterpret_cast<HANDLE>(objects[i]);
    return ::WaitForMultipleObjects(count, handles, wait_all, timeout_ms);
}

struct CriticalSection::Impl {
    CRITICAL_SECTION cs;
};

CriticalSection::CriticalSection() : impl_(new Impl) { ::InitializeCriticalSection(&impl_->cs); }
CriticalSection::~CriticalSection() { ::DeleteCriticalSection(&impl_->cs); }
void CriticalSection::Enter() { ::EnterCriticalSection(&impl_->cs); }
void CriticalSection::Leave() { ::LeaveCriticalSection(&impl_->cs); }
bool CriticalSection::TryEnter() { return ::TryEnterCriticalSection(&impl_->cs) != FALSE; }

}  // namespace eklv::pf
