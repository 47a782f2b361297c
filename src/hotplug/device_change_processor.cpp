// Device-change processing: the queue of device notification records, the
// thread that handles them in order, what an arrival and a removal do to
// the session table, and the retries of undecided interfaces.
#include "hotplug/device_change_processor.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/settings.h"
#include "core/supervisor.h"
#include "discovery/device_id_mgr.h"
#include "discovery/name_rules.h"
#include "discovery/topology_memo.h"
#include "discovery/usb_utilities.h"
#include "log/message_logger.h"
#include "notify/interface_types.h"
#include "notify/msg_dispatcher.h"
#include "notify/notification_thread.h"
#include "notify/registered_messages.h"
#include "platform/clock.h"
#include "platform/devtree.h"
#include "platform/profile.h"
#include "platform/thread.h"
#include "session/device_operations.h"
#include "session/session_mgr.h"
#include "transport/usb_session.h"

namespace eklv {
namespace {

std::atomic<CKLVDeviceChangeProcessor*> g_processor{nullptr};

// The scope of one handling of a device change (or of one retry): what it
// reads of the device tree and of eklv.ini is read once in it, and the
// device's hub and port are found once. Nothing outlives it.
struct OneHandling {
    pf::DeviceTreeReadScope device_tree;
    pf::ProfileReadScope settings;
    CKLVTopologyMemo topology;
};

// Signals a host-fed record's waiter unless it has given up (its deadline
// passed), then destroys the record (and its share of the event).
void FinishRecord(std::unique_ptr<DeviceNotificationRecord> record) {
    if (record && record->completion_event && TickAhead(pf::GetTickCount(), record->deadline))
        pf::SetEvent(record->completion_event->handle());
}

// Sends an 800-byte block to the library windows as WM_EKLV_NOTIFICATION.
// The callback window owns a block once the post to it succeeded: it hands
// it to the callbacks and releases it, or releases it unread when it closes.
// Otherwise (no callback window yet or any more, post refused, no library
// window at all) nobody else will, so the block is released here. The
// callback window's handle is read before and after the post so that a
// window appearing meanwhile is recognised too.
void SendHostBlock(std::uint16_t device_id, const std::string& name, const std::string& product,
                   const std::string& product_id, const pf::Guid& class_guid, std::uint32_t event_code) {
    auto* block = new (std::nothrow) EKLVNotificationBlock;
    if (block == nullptr) {
        LogMessage(device_id, kLogError, kCatGeneral, "CKLVSession - No memory for the notification block");
        return;
    }
    BuildHostBlock(device_id, name, product, product_id, class_guid, event_code, block);
    auto callback_window = [] {
        CNotificationThread* thread = CNotificationThread::GetInstance();
        return thread != nullptr ? thread->window_handle() : pf::Hwnd{0};
    };
    const pf::Hwnd before = callback_window();
    std::vector<pf::Hwnd> delivered;
    CKLVMsgDispatcher::DispatchMessage(Messages().notification, reinterpret_cast<pf::WParam>(block), 0, 0, 1,
                                       &delivered);
    const pf::Hwnd after = callback_window();
    auto took = [&](pf::Hwnd h) {
        return h != 0 && std::find(delivered.begin(), delivered.end(), h) != delivered.end();
    };
    if (!took(before) && !took(after)) delete block;
}

}  // namespace

bool QueueDeviceNotification(std::unique_ptr<DeviceNotificationRecord> record) {
    CKLVDeviceChangeProcessor* processor = g_processor.load();
    if (processor == nullptr) return false;
    processor->QueueRecord(std::move(record));
    return true;
}

// ---- lifecycle --------------------------------------------------------------

CKLVDeviceChangeProcessor* CKLVDeviceChangeProcessor::GetInstance() { return g_processor.load(); }

CKLVDeviceChangeProcessor::~CKLVDeviceChangeProcessor() {
    for (pf::Handle event : {device_event_, term_event_})
        if (event != pf::kNullHandle) pf::CloseHandle(event);
}

std::uint32_t CKLVDeviceChangeProcessor::Initialize() {
    if (CKLVDeviceChangeProcessor* p = g_processor.load()) {
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::Initialize - OK, DeviceEvent - %ph, TermEvent - %ph",
                   reinterpret_cast<void*>(p->device_event_), reinterpret_cast<void*>(p->term_event_));
        return EKLV_OK;
    }
    auto* p = new (std::nothrow) CKLVDeviceChangeProcessor;
    if (p == nullptr) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVSession::Initialize - Failed to create session instance");
        return EKLV_NO_RESOURCES;
    }
    p->device_event_ = pf::CreateEventA(true, false);
    if (p->device_event_ == pf::kNullHandle) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVSession::Initialize - Failed to create m_pDeviceEvent");
        delete p;
        return EKLV_NO_RESOURCES;
    }
    p->term_event_ = pf::CreateEventA(true, false);
    if (p->term_event_ == pf::kNullHandle) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVSession::Initialize - Failed to create m_pTermEvent");
        delete p;
        return EKLV_NO_RESOURCES;
    }
    g_processor.store(p);
    SetNotificationHandler(&CKLVSessionMgr::DeviceNotification);
    std::uint32_t id = 0;
    p->thread_ = pf::CreateThread(&CKLVDeviceChangeProcessor::DeviceChangeNotice, p, &id);
    if (p->thread_ == pf::kNullHandle) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVSession::Initialize - AfxBeginThread() failed with error code %d",
                   static_cast<int>(pf::GetLastError()));
        return EKLV_NO_RESOURCES;
    }
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::Initialize - OK, DeviceEvent - %ph, TermEvent - %ph",
               reinterpret_cast<void*>(p->device_event_), reinterpret_cast<void*>(p->term_event_));
    return EKLV_OK;
}

void CKLVDeviceChangeProcessor::UnInitialize() {
    CKLVDeviceChangeProcessor* p = g_processor.load();
    if (p == nullptr) return;
    SetNotificationHandler(nullptr);
    // The supervisor has normally stopped the thread already. One that was
    // not yet registered, or not stopped, is stopped here; it ends after the
    // record in hand, so the wait is bounded by the handling of one record.
    StopRoutine();
    if (p->thread_ != pf::kNullHandle) {
        pf::WaitForSingleObject(p->thread_, pf::kInfinite);
        pf::CloseHandle(p->thread_);
        p->thread_ = pf::kNullHandle;
    }
    g_processor.store(nullptr);
    // Records queued after the thread's own drain (or with no thread at
    // all) go unhandled and unsignalled with the instance.
    delete p;
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::UnInitialize - OK");
}

int CKLVDeviceChangeProcessor::StopRoutine() {
    CKLVDeviceChangeProcessor* p = g_processor.load();
    if (p == nullptr) return 1;
    pf::ScopedLock lock(p->queue_lock_);
    if (p->term_event_ == pf::kNullHandle) return 1;
    pf::SetEvent(p->term_event_);
    return 0;
}

// ---- the queue --------------------------------------------------------------

void CKLVDeviceChangeProcessor::QueueRecord(std::unique_ptr<DeviceNotificationRecord> record) {
    pf::ScopedLock lock(queue_lock_);
    try {
        if (record) record->queued_at = pf::GetTickCount();
        queue_.push_back(std::move(record));
    } catch (...) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVSession - No memory to queue a record");
        return;
    }
    // Signalled under the queue lock: the thread closes the event under the
    // same lock when it ends, so a late producer never signals a closed event.
    if (device_event_ != pf::kNullHandle) pf::SetEvent(device_event_);
}

std::size_t CKLVDeviceChangeProcessor::QueueLength() {
    pf::ScopedLock lock(queue_lock_);
    return queue_.size();
}

bool CKLVDeviceChangeProcessor::ArmWhenEmpty() {
    // Reset under the queue lock that QueueRecord sets it under: a record
    // queued after this sets it again, and a wake-up never stays behind for
    // a record already taken (or a null one passed over), which would turn
    // the wait into a spin.
    pf::ScopedLock lock(queue_lock_);
    const bool empty = queue_.empty();
    if (empty) pf::ResetEvent(device_event_);
    return empty;
}

// ---- the thread -------------------------------------------------------------

std::uint32_t CKLVDeviceChangeProcessor::DeviceChangeNotice(void* instance) {
    if (CKLVSupervisor* supervisor = CKLVSupervisor::GetInstance())
        supervisor->OnThreadEntrance(&CKLVDeviceChangeProcessor::StopRoutine);
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::DeviceChangeNotice entrance");
    auto* self = static_cast<CKLVDeviceChangeProcessor*>(instance);
    // Only this thread changes the two handles (when it ends), so it reads
    // them without the lock.
    const pf::Handle events[2] = {self->term_event_, self->device_event_};
    for (;;) {
        // Records first: a due retry waits while records are queued, so a
        // burst of arrivals is never held up by an odd device.
        const std::uint32_t next_retry = self->QueueLength() == 0 ? self->RunDueRetries() : pf::kInfinite;
        if (self->ArmWhenEmpty()) {
            LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::DeviceChangeNotice - DeviceQ size = (0)");
            if (pf::WaitForMultipleObjects(2, events, false, next_retry) == pf::kWaitTimeout) continue;
        }
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::DeviceChangeNotice - DeviceQ size = (%i)",
                   static_cast<int>(self->QueueLength()));
        if (pf::WaitForSingleObject(events[0], 0) == pf::kWaitObject0) break;
        std::unique_ptr<DeviceNotificationRecord> record;
        {
            pf::ScopedLock lock(self->queue_lock_);
            if (self->queue_.empty()) continue;
            record = std::move(self->queue_.front());
            self->queue_.pop_front();
        }
        if (!record) {
            LogMessage(kNoDevice, kLogWarning, kCatGeneral, "CKLVSession::DeviceChangeNotice - NULL devdata");
            continue;
        }
        const std::uint16_t device_id = record->device_id;
        const std::string name = record->device_name;
        try {
            self->HandleDeviceNotification(record);
        } catch (...) {
            LogMessage(device_id, kLogError, kCatGeneral, "CKLVSession::DeviceChangeNotice - handling failed (%s)",
                       name.c_str());
        }
        // A record whose arrival waits for a retry has moved on; any other is
        // finished now (a waiter past its deadline is not signalled late).
        FinishRecord(std::move(record));
    }
    // Arrivals still waiting for a retry go unannounced, their records
    // unhandled and not signalled.
    self->pending_.Clear();
    self->announced_.clear();
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::DeviceChangeNotice - m_pTermEvent triggered");
    std::deque<std::unique_ptr<DeviceNotificationRecord>> left;
    {
        pf::ScopedLock lock(self->queue_lock_);
        left.swap(self->queue_);
        pf::CloseHandle(self->device_event_);
        pf::CloseHandle(self->term_event_);
        self->device_event_ = pf::kNullHandle;
        self->term_event_ = pf::kNullHandle;
    }
    left.clear();  // unhandled, not signalled
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::DeviceChangeNotice exit");
    CKLVSupervisor::ThreadExit();
    return 1;
}

// ---- handling ---------------------------------------------------------------

std::uint32_t CKLVDeviceChangeProcessor::HandleDeviceNotification(std::unique_ptr<DeviceNotificationRecord>& record) {
    CKLVSessionMgr* manager = CKLVSessionMgr::GetInstance();
    if (manager == nullptr || !record) return 0;
    record->device_name = LowerCopy(record->device_name);
    const std::string name = record->device_name;
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::HandleDeviceNotification - %s", name.c_str());
    OneHandling scope;

    if (record->class_guid == kGuidUsbHubInterface) {
        if (CKLVDeviceIdMgr* ids = CKLVDeviceIdMgr::GetInstance())
            ids->AddRemoveUSBHub(name, record->event_code == EKLV_DBT_DEVICEREMOVECOMPLETE);
        return 0;
    }
    if (CKLVUSBUtilities::IsDeviceSupported(name) != kUsbOk) {
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::HandleDeviceNotification - Not Supported Device (%s)",
                   name.c_str());
        return 0;
    }
    enum class Handler { kNone, kArrival, kRemoval } handler = Handler::kNone;
    std::string tid;
    if (record->event_code == EKLV_DBT_DEVICEARRIVAL && manager->self_monitoring() &&
        (announced_.count(name) != 0 || pending_.HasNamed(name))) {
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::HandleDeviceNotification - Already announced (%s)",
                   name.c_str());
        return 0;
    }
    if (record->event_code == EKLV_DBT_DEVICEARRIVAL) {
        CKLVDeviceIdMgr* ids = CKLVDeviceIdMgr::GetInstance();
        if (ids == nullptr || ids->GetDeviceTID(name, &tid) == 0) return 0;
        if (CKLVUSBUtilities::FindIfDeviceExists(name) == kUsbNotPresent) return 0;
        if (manager->IsInterfaceClassListed(*record)) handler = Handler::kArrival;
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::HandleDeviceNotification - Arrival");
    } else if (record->event_code == EKLV_DBT_DEVICEREMOVECOMPLETE) {
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::HandleDeviceNotification - Removal");
        handler = Handler::kRemoval;
        announced_.erase(name);
        // An interface that went while its type was still being retried ends
        // as its last attempt would have: never announced.
        for (PendingArrival& gone : pending_.TakeNamed(name)) {
            LogMessage(gone.info.DeviceId, kLogError, kCatGeneral, "Unable to add interface, abandon current session.");
            FinishRecord(std::move(gone.record));
        }
    } else {
        return 0;
    }
    if (handler == Handler::kNone) return 0;
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "|iNOTIFY| <-");
    const std::uint32_t result = handler == Handler::kArrival ? DeviceArrival(tid, record) : DeviceRemoval(tid, *record);
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "|iNOTIFY| ->");
    return result;
}

void CKLVDeviceChangeProcessor::GetDeviceSessionInfo(DeviceSessionInfo* info, const DeviceNotificationRecord& record) {
    info->DevicePath = record.device_name;
    std::string pid;
    if (CKLVUSBUtilities::GetPIDFromSymbolicName(info->DevicePath, &pid) != kUsbOk)
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVSession::GetDeviceSessionInfo - Invalid PID");
    info->ProductId = LowerCopy(pid);
    CKLVUSBUtilities::GetStringDescriptor(info->DevicePath, kStringProduct, &info->ProductString, 0);
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "ProdDesc = (%s) ", info->ProductString.c_str());
    if (CKLVUSBUtilities::IsCompositeDevice(info->DevicePath)) return;
    CKLVUSBUtilities::GetStringDescriptor(info->DevicePath, kStringInterface, &info->InterfaceString, 0);
    CKLVUSBUtilities::GetStringDescriptor(info->DevicePath, kStringConfiguration, &info->ConfigurationString, 0);
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "ConfDesc = (%s) ", info->ConfigurationString.c_str());
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "IntfDesc = (%s) ", info->InterfaceString.c_str());
}

std::uint32_t CKLVDeviceChangeProcessor::DeviceArrival(const std::string& tid,
                                                       std::unique_ptr<DeviceNotificationRecord>& record) {
    CKLVSessionMgr* manager = CKLVSessionMgr::GetInstance();
    if (manager == nullptr) return 0;
    DeviceSessionInfo info;
    GetDeviceSessionInfo(&info, *record);
    info.TID = tid;
    const std::uint16_t id = manager->ResolveDeviceId(*record, &info);
    if (id == kNoDeviceId) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "Unable to get a valid device id.");
        return 0;
    }
    std::unique_ptr<CEKLVUSBSession> session(new (std::nothrow) CEKLVUSBSession);
    if (!session) {
        LogMessage(id, kLogError, kCatGeneral, "Unable to create session.");
        return 0;
    }
    session->SetSessionInfo(info);
    // The first attempt; later ones are the pending arrivals' (RunDueRetries).
    int retries = 10;
    int wait_ms = 2000;
    GetIniIntDefault("MODEM_PARAMS", "MODEM_CREATE_RETRY", 10, &retries);
    GetIniIntDefault("MODEM_PARAMS", "MODEM_WAIT", 2000, &wait_ms);
    std::uint32_t type = INF_UNDEFINED;
    if (retries > 0) type = session->AddInterface(info.DevicePath, info.InterfaceString);
    if (retries > 0 && type == INF_UNDEFINED) {
        LogMessage(id, kLogWarning, kCatGeneral, "Interface undefined");
        PendingArrival later;
        later.record = std::move(record);
        later.session = std::move(session);
        later.info = info;
        later.retries = retries;
        later.wait_ms = static_cast<std::uint32_t>(std::max(wait_ms, 0));
        later.due = pf::GetTickCount() + later.wait_ms;
        pending_.Add(std::move(later));
        return 0;
    }
    return CompleteArrival(std::move(session), info, *record, type);
}

std::uint32_t CKLVDeviceChangeProcessor::RunDueRetries() {
    // Each due arrival gets one attempt per call: one that fails again waits
    // its MODEM_WAIT while the thread looks at its queue.
    std::vector<PendingArrival> due;
    for (PendingArrival p; pending_.TakeDue(pf::GetTickCount(), &p);) due.push_back(std::move(p));
    for (PendingArrival& p : due) {
        LogMessage(p.info.DeviceId, kLogWarning, kCatGeneral, "Need to check Modem Interface again, time num:%d",
                   p.attempts);
        OneHandling scope;
        std::uint32_t type = INF_UNDEFINED;
        if (p.attempts < p.retries) {
            ++p.attempts;
            // A description that was not readable at the first attempt may
            // be now.
            if (!CKLVUSBUtilities::IsCompositeDevice(p.info.DevicePath)) {
                std::string text;
                if (CKLVUSBUtilities::GetStringDescriptor(p.info.DevicePath, kStringInterface, &text, 0) == kUsbOk &&
                    text != p.info.InterfaceString) {
                    p.info.InterfaceString = text;
                    p.session->SetSessionInfo(p.info);
                }
            }
            type = p.session->AddInterface(p.info.DevicePath, p.info.InterfaceString);
            if (type == INF_UNDEFINED) {
                LogMessage(p.info.DeviceId, kLogWarning, kCatGeneral, "Interface undefined");
                p.due = pf::GetTickCount() + p.wait_ms;
                pending_.Add(std::move(p));
                continue;
            }
        }
        CompleteArrival(std::move(p.session), p.info, *p.record, type);
        FinishRecord(std::move(p.record));
    }
    return pending_.WaitFrom(pf::GetTickCount());
}

std::uint32_t CKLVDeviceChangeProcessor::CompleteArrival(std::unique_ptr<CEKLVUSBSession> session,
                                                         const DeviceSessionInfo& info,
                                                         const DeviceNotificationRecord& record, std::uint32_t type) {
    CKLVSessionMgr* manager = CKLVSessionMgr::GetInstance();
    const std::uint16_t id = info.DeviceId;
    if (type == INF_UNDEFINED || manager == nullptr) {
        LogMessage(id, kLogError, kCatGeneral, "Unable to add interface, abandon current session.");
        return 0;
    }
    bool adopted = false;
    if (manager->AdoptSession(session.get(), info, &adopted) != 0) return 0;
    // Adopted, the session belongs to the table; sessions are deleted only on
    // this thread, so it is still alive here. A declined one is referenced by
    // nothing: its interface is announced all the same, then it goes.
    CEKLVUSBSession* announced = adopted ? session.release() : session.get();
    manager->PostInterfaceEnumProcess(type, announced);
    session.reset();
    if (manager->self_monitoring()) {
        SendHostBlock(id, record.device_name, info.ProductString, info.ProductId, record.class_guid, record.event_code);
        announced_.insert(LowerCopy(record.device_name));
    }
    return 1;
}

std::uint32_t CKLVDeviceChangeProcessor::DeviceRemoval(const std::string&, const DeviceNotificationRecord& record) {
    CKLVSessionMgr* manager = CKLVSessionMgr::GetInstance();
    if (manager == nullptr || manager->session_list() == nullptr) return 1;
    CKLVSessionList& list = *manager->session_list();
    CKLVSessionList::Iterator it(list);
    if (!list.FindByInterface(it, record.device_name, false)) {
        LogMessage(kNoDevice, kLogWarning, kCatGeneral, "DeviceRemoval - Interface NOT found (%s)",
                   record.device_name.c_str());
        return 1;
    }
    CKLVSession* session = it.Get();
    std::uint32_t type = INF_UNDEFINED;
    session->RemoveInterface(record.device_name, &type);
    const std::uint16_t id = session->GetDeviceId();
    LogMessage(id, kLogInfo, kCatGeneral, "DeviceRemoval - Removed %s, intf = (%d)", record.device_name.c_str(),
               static_cast<int>(type));
    CKLVMsgDispatcher::PostToWindows(Messages().interface_removal, id, static_cast<pf::LParam>(type), 0);
    if (manager->self_monitoring())
        SendHostBlock(id, record.device_name, session->GetProductStringDescriptor(), session->GetProductId(),
                      record.class_guid, record.event_code);
    if (session->GetInterfaceCount() == 0) {
        LogMessage(id, kLogInfo, kCatGeneral, "DeviceRemoval - All interfaces removed");
        manager->DeleteSession(it);
    }
    return 1;
}

}  // namespace eklv
