#include "api/lifecycle.h"

#include "core/settings.h"
#include "core/supervisor.h"
#include "discovery/device_id_mgr.h"
#include "hotplug/device_change_processor.h"
#include "log/message_logger.h"
#include "notify/msg_dispatcher.h"
#include "notify/notification_thread.h"
#include "platform/thread.h"
#include "session/device_operations.h"
#include "session/session.h"
#include "session/session_mgr.h"
#include "transport/event_pool.h"

namespace eklv {
namespace {

// EKLVInitialize sleeps this long before it returns, on success and on
// failure, so that the start-up scan's arrivals are under way.
constexpr std::uint32_t kInitializeSettleMs = 1000;

// How long EKLVUninitialize waits for device calls that were already inside
// when it started. Their waits are cut short (interfaces closed, the stop
// event set), so they normally leave within milliseconds.
constexpr std::uint32_t kStopBoundMs = 5000;

// Closes the call gate, wakes the calls inside and waits for them. False
// when one is still inside after the bound.
bool StopDeviceCalls() {
    const std::uint32_t inside = CloseDeviceCalls();
    if (inside == 0) return DrainDeviceCalls(0);
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "EKLVUninitialize - waiting for %d device calls",
               static_cast<int>(inside));
    if (CKLVSessionMgr* manager = CKLVSessionMgr::GetInstance()) manager->CloseOpenInterfaces();
    if (DrainDeviceCalls(kStopBoundMs)) return true;
    LogMessage(kNoDevice, kLogError, kCatGeneral,
               "EKLVUninitialize - device calls still running after %d ms, sessions left in place",
               static_cast<int>(kStopBoundMs));
    return false;
}

std::uint32_t FailInitialize(std::uint32_t code) {
    LogMessage(kNoDevice, kLogInfo, kCatApi, "EKLVInitialize (->), %d", static_cast<int>(code));
    pf::Sleep(kInitializeSettleMs);
    UninitializeLibrary();
    return code;
}

}  // namespace

std::uint32_t InitializeLibrary(const EKLVInitParams* params) {
    LogMessage(kNoDevice, kLogInfo, kCatApi, "EKLVInitialize (<-)");
    if (params == nullptr) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "EKLVInitialize - no initialisation block");
        return FailInitialize(EKLV_NOT_COMPLETED);
    }
    InitSettings();
    OpenDeviceCalls();
    if (CKLVMsgDispatcher::Initialize(params->client_window) != 0) return FailInitialize(EKLV_NOT_COMPLETED);
    CKLVMessageLogger::Initialize();
    if (CKLVDeviceIdMgr::Initialize() != 0) return FailInitialize(EKLV_NOT_COMPLETED);
    CKLVSupervisor::Initialize();
    if (CKLVDeviceChangeProcessor::Initialize() != 0) return FailInitialize(EKLV_NO_RESOURCES);
    if (params->self_monitoring != 0) {
        const std::uintptr_t callback_values[2] = {params->callback_context,
                                                   reinterpret_cast<std::uintptr_t>(params->callback)};
        if (CNotificationThread::Initialize(callback_values) != 0) return FailInitialize(EKLV_NO_RESOURCES);
    }
    if (CKLVSessionMgr::Initialize(params->self_monitoring != 0) != 0) return FailInitialize(EKLV_NO_RESOURCES);
    pf::Sleep(kInitializeSettleMs);
    LogMessage(kNoDevice, kLogInfo, kCatApi, "EKLVInitialize (->), %d", 0);
    return EKLV_OK;
}

std::uint32_t UninitializeLibrary() {
    LogMessage(kNoDevice, kLogInfo, kCatApi, "EKLVUninitialize (<-)");
    const bool drained = StopDeviceCalls();
    std::uint32_t r = CKLVSupervisor::RequestKLVThreadTerminate();
    if (r != 0) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVSupervisor::RequestKLVThreadTerminate - Failed");
        LogMessage(kNoDevice, kLogInfo, kCatApi, "KLVUninitialize (->), %d", static_cast<int>(r));
        return r;
    }
    CKLVSupervisor::UnInitialize();
    CKLVDeviceChangeProcessor::UnInitialize();
    CNotificationThread::UnInitialize();
    if (drained)
        CKLVSessionMgr::UnInitialize();
    else
        CKLVSessionMgr::Abandon();
    CKLVDeviceIdMgr::UnInitialize();
    CKLVMsgDispatcher::UnInitialize();
    UnInitSettings();
    // The events host calls borrow for their overlapped reads and writes;
    // none is in a call now.
    if (drained) EventPool::ReleaseAll();
    LogMessage(kNoDevice, kLogInfo, kCatApi, "EKLVUninitialize (->), %d", 0);
    CKLVMessageLogger::UnInitialize();
    pf::ReapEndedThreads();
    return EKLV_OK;
}

}  // namespace eklv
