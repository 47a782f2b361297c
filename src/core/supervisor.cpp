#include "core/supervisor.h"

#include <new>

#include "core/settings.h"
#include "log/message_logger.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace eklv {
namespace {

// Both locks live from load to unload.
pf::CriticalSection& InstanceLock() {
    static pf::CriticalSection lock;
    return lock;
}
pf::CriticalSection& RegistryLock() {
    static pf::CriticalSection lock;
    return lock;
}

CKLVSupervisor* g_instance = nullptr;

struct SupervisorReaper {
    ~SupervisorReaper() {
        delete g_instance;
        g_instance = nullptr;
    }
} g_reaper;

}  // namespace

CKLVSupervisor::~CKLVSupervisor() {
    for (ThreadRecord* record : registry_) delete record;
}

std::uint32_t CKLVSupervisor::Initialize() {
    {
        pf::ScopedLock lock(InstanceLock());
        if (g_instance != nullptr) return 0;
        auto* supervisor = new (std::nothrow) CKLVSupervisor;
        if (supervisor == nullptr) return 0;
        int wait = 15000;
        GetIniIntDefault("Configuration", "Thread_Terminate_Wait", 15000, &wait);
        supervisor->wait_time_ = static_cast<std::uint32_t>(wait);
        g_instance = supervisor;
    }
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSupervisor::Initialize - OK");
    return 0;
}

std::uint32_t CKLVSupervisor::UnInitialize() {
    pf::ScopedLock lock(InstanceLock());
    if (g_instance != nullptr) {
        delete g_instance;
        g_instance = nullptr;
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSupervisor::UnInitialize - OK");
    }
    return 0;
}

CKLVSupervisor* CKLVSupervisor::GetInstance() {
    pf::ScopedLock lock(InstanceLock());
    return g_instance;
}

void CKLVSupervisor::OnThreadEntrance(ThreadStopRoutine stop_routine) {
    const std::uint32_t id = pf::GetCurrentThreadId();
    auto* record = new (std::nothrow) ThreadRecord{id, stop_routine};
    if (record == nullptr) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVSupervisor::OnThreadEntrance - No memory");
        return;
    }
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSupervisor::OnThreadEntrance - %#010x created", id);
    pf::ScopedLock lock(RegistryLock());
    registry_.push_back(record);
}

void CKLVSupervisor::OnThreadExit() {
    // Tested without the lock: the termination pass holds the registry lock
    // while it waits for this very thread.
    if (terminating_) {
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSupervisor::OnThreadExit - block");
        return;
    }
    const std::uint32_t id = pf::GetCurrentThreadId();
    pf::ScopedLock lock(RegistryLock());
    for (auto it = registry_.begin(); it != registry_.end(); ++it) {
        if (*it != nullptr && (*it)->thread_id == id) {
            LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSupervisor::OnThreadExit - Thread id: %#x", id);
            delete *it;
            registry_.erase(it);
            return;
        }
    }
}

void CKLVSupervisor::ThreadExit() {
    pf::ScopedLock lock(InstanceLock());
    if (g_instance != nullptr) g_instance->OnThreadExit();
}

std::size_t CKLVSupervisor::registered_count() {
    pf::ScopedLock lock(RegistryLock());
    return registry_.size();
}

std::uint32_t CKLVSupervisor::RequestKLVThreadTerminate() {
    CKLVSupervisor* self = nullptr;
    {
        // Set under the instance lock, which ThreadExit holds throughout: a
        // thread ending now either finishes deregistering before the pass
        // takes the registry lock or sees the flag, so none waits on it.
        pf::ScopedLock instance_lock(InstanceLock());
        self = g_instance;
        if (self != nullptr) self->terminating_ = 1;
    }
    if (self == nullptr) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVSupervisor::RequestKLVThreadTerminate - NULL instance");
        return 13;
    }
    pf::ScopedLock lock(RegistryLock());
    for (auto it = self->registry_.begin(); it != self->registry_.end();) {
        ThreadRecord* record = *it;
        if (record == nullptr) {
            LogMessage(kNoDevice, kLogError, kCatGeneral,
                       "CKLVSupervisor::RequestKLVThreadTerminate - thread info is NULL");
            ++it;
            continue;
        }
        if (record->stop_routine != nullptr) record->stop_routine();
        pf::Handle thread = pf::OpenThread(record->thread_id);
        if (thread == pf::kNullHandle) {
            LogMessage(kNoDevice, kLogError, kCatGeneral,
                       "CKLVSupervisor::RequestKLVThreadTerminate - open thread %#010x failed with error code[%d]",
                       record->thread_id, static_cast<int>(pf::GetLastError()));
            ++it;  // the record stays until UnInitialize
            continue;
        }
        if (pf::WaitForSingleObject(thread, self->wait_time_) == pf::kWaitTimeout) {
            // Where the platform cannot terminate a thread it keeps running;
            // the pass goes on so that shutdown stays bounded.
            pf::TerminateThread(thread, 9);
            LogMessage(kNoDevice, kLogWarning, kCatGeneral,
                       "CKLVSupervisor::RequestKLVThreadTerminate - [%#010x] wait timeout", record->thread_id);
        } else {
            LogMessage(kNoDevice, kLogInfo, kCatGeneral,
                       "CKLVSupervisor::RequestKLVThreadTerminate - [%#010x] terminated", record->thread_id);
        }
        pf::CloseHandle(thread);
        delete record;
        it = self->registry_.erase(it);
    }
    self->terminating_ = 0;
    return 0;
}

}  // namespace eklv
