// Device-change processing: the one queue of device notification records,
// the thread that handles them in order, and what an arrival and a removal
// do to the session table.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <set>
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
#include "platform/profile.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "session/device_notification.h"
#include "session/session.h"
#include "session/session_mgr.h"
#include "transport/usb_session.h"

namespace eklv {
namespace {

std::atomic<CKLVSession*> g_processor{nullptr};

constexpr std::uint32_t kDeviceArrival = 0x8000;
constexpr std::uint32_t kDeviceRemoveComplete = 0x8004;

// The tick counter wraps every 49.7 days; a deadline is "ahead" while the
// signed distance to it is positive.
bool BeforeDeadline(std::uint32_t now, std::uint32_t deadline) {
    return static_cast<std::int32_t>(deadline - now) > 0;
}

// Signals a host-fed record's waiter (unless it has given up) and destroys
// the record.
// The scope of one handling of a device change (or of one retry): the
// device's hub and port are found once in it, and eklv.ini is looked at once.
struct OneHandling {
    CKLVTopologyMemo topology;
    pf::ProfileReadScope settings;
};

void FinishRecord(DeviceNotificationRecord* record) {
    if (record->completion_event && BeforeDeadline(pf::GetTickCount(), record->deadline))
        pf::SetEvent(record->completion_event->handle());
    delete record;  // drops the record's share of the completion event only
}

void CopyText(char (&field)[256], const std::string& text) {
    const std::size_t n = std::min<std::size_t>(text.size(), sizeof field - 1);
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
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

// One arrival waiting for its next attempt to type its interface.
struct PendingArrival {
    std::unique_ptr<DeviceNotificationRecord> record;
    std::unique_ptr<CEKLVUSBSession> session;
    DeviceSessionInfo info;
    int attempts = 1;  // made so far
    int retries = 0;   // MODEM_CREATE_RETRY
    std::uint32_t wait_ms = 0;
    std::uint32_t due = 0;  // tick of the next attempt
};

struct PendingArrivals {
    std::vector<PendingArrival> items;
    // In self-monitoring mode, the interfaces announced and not removed
    // since (lower case): an arrival of one of them again is not announced
    // twice (a phone plugged while the start-up scan runs is both
    // broadcast and listed).
    std::set<std::string> announced;
};

// ---- record and block helpers ----------------------------------------------

std::shared_ptr<CompletionEvent> CompletionEvent::Create() {
    pf::Handle handle = pf::CreateEventA(false, false);
    if (handle == pf::kNullHandle) return nullptr;
    pf::ResetEvent(handle);
    std::shared_ptr<CompletionEvent> event(new (std::nothrow) CompletionEvent(handle));
    if (!event) pf::CloseHandle(handle);
    return event;
}

CompletionEvent::~CompletionEvent() { pf::CloseHandle(handle_); }

void FillRecordFromHostBlock(const EKLVNotificationBlock& block, DeviceNotificationRecord* record) {
    record->event_code = block.event;
    std::memcpy(&record->class_guid, &block.class_guid, sizeof record->class_guid);
    // A name without a NUL inside its field ends at the field's end.
    record->device_name.assign(block.device_name, strnlen(block.device_name, sizeof block.device_name));
    record->device_id = block.device_id;
}

void BuildHostBlock(std::uint16_t device_id, const std::string& device_name, const std::string& product,
                    const std::string& product_id, const pf::Guid& class_guid, std::uint32_t event_code,
                    EKLVNotificationBlock* block) {
    std::memset(block, 0, sizeof *block);
    block->device_id = device_id;
    CopyText(block->device_name, device_name);
    CopyText(block->product, product);
    CopyText(block->product_id, product_id);
    static_assert(sizeof block->class_guid == sizeof class_guid);
    std::memcpy(&block->class_guid, &class_guid, sizeof class_guid);
    block->event = event_code;
}

bool QueueDeviceNotification(std::unique_ptr<DeviceNotificationRecord> record) {
    CKLVSession* processor = g_processor.load();
    if (processor == nullptr) return false;
    processor->QueueRecord(record.release());
    return true;
}

// ---- the processor ----------------------------------------------------------

CKLVSession* CKLVSession::GetInstance() { return g_processor.load(); }

std::uint32_t CKLVSession::Initialize() {
    if (CKLVSession* p = g_processor.load()) {
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::Initialize - OK, DeviceEvent - %ph, TermEvent - %ph",
                   reinterpret_cast<void*>(p->m_pDeviceEvent), reinterpret_cast<void*>(p->m_pTermEvent));
        return 0;
    }
    auto* p = new (std::nothrow) CKLVSession;
    if (p == nullptr) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVSession::Initialize - Failed to create session instance");
        return 16;
    }
    p->m_pDeviceEvent = pf::CreateEventA(true, false);
    if (p->m_pDeviceEvent == pf::kNullHandle) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVSession::Initialize - Failed to create m_pDeviceEvent");
        delete p;
        return 16;
    }
    p->m_pTermEvent = pf::CreateEventA(true, false);
    if (p->m_pTermEvent == pf::kNullHandle) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVSession::Initialize - Failed to create m_pTermEvent");
        pf::CloseHandle(p->m_pDeviceEvent);
        delete p;
        return 16;
    }
    g_processor.store(p);
    SetNotificationHandler(&CKLVSessionMgr::DeviceNotification);
    std::uint32_t id = 0;
    p->m_thread = pf::CreateThread(&CKLVSession::DeviceChangeNotice, p, &id);
    if (p->m_thread == pf::kNullHandle) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVSession::Initialize - AfxBeginThread() failed with error code %d",
                   static_cast<int>(pf::GetLastError()));
        return 16;
    }
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::Initialize - OK, DeviceEvent - %ph, TermEvent - %ph",
               reinterpret_cast<void*>(p->m_pDeviceEvent), reinterpret_cast<void*>(p->m_pTermEvent));
    return 0;
}

void CKLVSession::UnInitialize() {
    CKLVSession* p = g_processor.load();
    if (p == nullptr) return;
    SetNotificationHandler(nullptr);
    // The supervisor has normally stopped the thread already. One that was
    // not yet registered, or not stopped, is stopped here; it ends after the
    // record in hand, so the wait is bounded by the handling of one record.
    StopRoutine();
    if (p->m_thread != pf::kNullHandle) {
        pf::WaitForSingleObject(p->m_thread, pf::kInfinite);
        pf::CloseHandle(p->m_thread);
        p->m_thread = pf::kNullHandle;
    }
    g_processor.store(nullptr);
    // Records queued after the thread's own drain (or with no thread at
    // all) are destroyed unhandled as well.
    std::deque<DeviceNotificationRecord*> left;
    p->Lock();
    left.swap(p->m_DeviceQueue);
    for (pf::Handle* event : {&p->m_pDeviceEvent, &p->m_pTermEvent}) {
        if (*event != pf::kNullHandle) pf::CloseHandle(*event);
        *event = pf::kNullHandle;
    }
    p->Unlock();
    for (DeviceNotificationRecord* record : left) delete record;
    delete p;
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::UnInitialize - OK");
}

void CKLVSession::QueueRecord(DeviceNotificationRecord* record) {
    Lock();
    try {
        if (record != nullptr) record->queued_at = pf::GetTickCount();
        m_DeviceQueue.push_back(record);
    } catch (...) {
        Unlock();
        LogMessage(kNoDevice, kLogError, kCatGeneral, "CKLVSession - No memory to queue a record");
        delete record;
        return;
    }
    // Signalled under the queue lock: the thread closes the event under the
    // same lock when it ends, so a late producer never signals a closed event.
    if (m_pDeviceEvent != pf::kNullHandle) pf::SetEvent(m_pDeviceEvent);
    Unlock();
}

std::size_t CKLVSession::QueueLength() {
    Lock();
    std::size_t n = m_DeviceQueue.size();
    Unlock();
    return n;
}

bool CKLVSession::ArmWhenEmpty() {
    // Reset under the queue lock that QueueRecord sets it under: a record
    // queued after this sets it again, and a wake-up never stays behind for
    // a record already taken (or a null one passed over), which would turn
    // the wait into a spin.
    Lock();
    const bool empty = m_DeviceQueue.empty();
    if (empty) pf::ResetEvent(m_pDeviceEvent);
    Unlock();
    return empty;
}

int CKLVSession::StopRoutine() {
    CKLVSession* p = g_processor.load();
    if (p == nullptr) return 1;
    p->Lock();
    const pf::Handle term = p->m_pTermEvent;
    if (term != pf::kNullHandle) pf::SetEvent(term);
    p->Unlock();
    return term == pf::kNullHandle ? 1 : 0;
}

std::uint32_t CKLVSession::DeviceChangeNotice(void* instance) {
    if (CKLVSupervisor* supervisor = CKLVSupervisor::GetInstance())
        supervisor->OnThreadEntrance(&CKLVSession::StopRoutine);
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::DeviceChangeNotice entrance");
    auto* self = static_cast<CKLVSession*>(instance);
    // Only this thread changes the two handles (when it ends), so it reads
    // them without the lock.
    const pf::Handle events[2] = {self->m_pTermEvent, self->m_pDeviceEvent};
    PendingArrivals pending;
    self->m_pending = &pending;
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
        DeviceNotificationRecord* record = nullptr;
        self->Lock();
        const bool taken = !self->m_DeviceQueue.empty();
        if (taken) {
            record = self->m_DeviceQueue.front();
            self->m_DeviceQueue.pop_front();
        }
        self->Unlock();
        if (!taken) continue;
        if (record == nullptr) {
            LogMessage(kNoDevice, kLogWarning, kCatGeneral, "CKLVSession::DeviceChangeNotice - NULL devdata");
            continue;
        }
        try {
            self->HandleDeviceNotification(record);
        } catch (...) {
            LogMessage(record->device_id, kLogError, kCatGeneral,
                       "CKLVSession::DeviceChangeNotice - handling failed (%s)", record->device_name.c_str());
        }
        // A waiter past its deadline has given up; it is not signalled late.
        if (!record->retry_pending) FinishRecord(record);
    }
    // Arrivals still waiting for a retry go unannounced, their records
    // unhandled and not signalled.
    self->m_pending = nullptr;
    pending.items.clear();
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::DeviceChangeNotice - m_pTermEvent triggered");
    std::deque<DeviceNotificationRecord*> left;
    self->Lock();
    left.swap(self->m_DeviceQueue);
    pf::CloseHandle(self->m_pDeviceEvent);
    pf::CloseHandle(self->m_pTermEvent);
    self->m_pDeviceEvent = pf::kNullHandle;
    self->m_pTermEvent = pf::kNullHandle;
    self->Unlock();
    for (DeviceNotificationRecord* record : left) delete record;  // unhandled, not signalled
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::DeviceChangeNotice exit");
    CKLVSupervisor::ThreadExit();
    return 1;
}

std::uint32_t CKLVSession::HandleDeviceNotification(DeviceNotificationRecord* record) {
    CKLVSessionMgr* manager = CKLVSessionMgr::GetInstance();
    if (manager == nullptr || record == nullptr) return 0;
    record->device_name = LowerCopy(record->device_name);
    const std::string& name = record->device_name;
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::HandleDeviceNotification - %s", name.c_str());
    OneHandling scope;

    if (record->class_guid == kGuidUsbHubInterface) {
        if (CKLVDeviceIdMgr* ids = CKLVDeviceIdMgr::GetInstance())
            ids->AddRemoveUSBHub(name, record->event_code == kDeviceRemoveComplete);
        return 0;
    }
    if (CKLVUSBUtilities::IsDeviceSupported(name) != kUsbOk) {
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::HandleDeviceNotification - Not Supported Device (%s)",
                   name.c_str());
        return 0;
    }
    enum class Handler { kNone, kArrival, kRemoval } handler = Handler::kNone;
    std::string tid;
    if (record->event_code == kDeviceArrival && manager->self_monitoring() && m_pending != nullptr &&
        (m_pending->announced.count(name) != 0 ||
         std::any_of(m_pending->items.begin(), m_pending->items.end(),
                     [&](const PendingArrival& p) { return SameInterfaceName(p.info.DevicePath, name); }))) {
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::HandleDeviceNotification - Already announced (%s)",
                   name.c_str());
        return 0;
    }
    if (record->event_code == kDeviceArrival) {
        CKLVDeviceIdMgr* ids = CKLVDeviceIdMgr::GetInstance();
        if (ids == nullptr || ids->GetDeviceTID(name, &tid) == 0) return 0;
        if (CKLVUSBUtilities::FindIfDeviceExists(name) == kUsbNotPresent) return 0;
        if (manager->IsInterfaceClassListed(*record)) handler = Handler::kArrival;
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::HandleDeviceNotification - Arrival");
    } else if (record->event_code == kDeviceRemoveComplete) {
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "CKLVSession::HandleDeviceNotification - Removal");
        handler = Handler::kRemoval;
        // An interface that went while its type was still being retried ends
        // as its last attempt would have: never announced.
        if (m_pending != nullptr) {
            m_pending->announced.erase(name);
            auto& items = m_pending->items;
            for (auto it = items.begin(); it != items.end();) {
                if (!SameInterfaceName(it->info.DevicePath, name)) {
                    ++it;
                    continue;
                }
                LogMessage(it->info.DeviceId, kLogError, kCatGeneral, "Unable to add interface, abandon current session.");
                it->record->retry_pending = false;
                FinishRecord(it->record.release());
                it = items.erase(it);
            }
        }
    } else {
        return 0;
    }
    if (handler == Handler::kNone) return 0;
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "|iNOTIFY| <-");
    const std::uint32_t result =
        handler == Handler::kArrival ? DeviceArrival(tid, record) : DeviceRemoval(tid, record);
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "|iNOTIFY| ->");
    return result;
}

void CKLVSession::GetDeviceSessionInfo(DeviceSessionInfo* info, const DeviceNotificationRecord* record) {
    info->DevicePath = record->device_name;
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

std::uint32_t CKLVSession::DeviceArrival(const std::string& tid, DeviceNotificationRecord* record) {
    CKLVSessionMgr* manager = CKLVSessionMgr::GetInstance();
    if (manager == nullptr) return 0;
    DeviceSessionInfo info;
    GetDeviceSessionInfo(&info, record);
    info.TID = tid;
    const std::uint16_t id = manager->ResolveDeviceId(*record, &info);
    if (id == kNoDeviceId) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "Unable to get a valid device id.");
        return 0;
    }
    auto* session = new (std::nothrow) CEKLVUSBSession;
    if (session == nullptr) {
        LogMessage(id, kLogError, kCatGeneral, "Unable to create session.");
        return 0;
    }
    session->SetSessionInfo(info);
    std::uint32_t type = kInfUndefined;
    if (m_pending == nullptr) {
        type = session->AddInterfaceWithRetry(info);
    } else {
        // The first attempt of AddInterfaceWithRetry; the later ones are
        // deferred (RunDueRetries) with the same log lines and spacing.
        int retries = 10;
        int wait_ms = 2000;
        GetIniIntDefault("MODEM_PARAMS", "MODEM_CREATE_RETRY", 10, &retries);
        GetIniIntDefault("MODEM_PARAMS", "MODEM_WAIT", 2000, &wait_ms);
        if (retries > 0) type = session->AddInterface(info.DevicePath, info.InterfaceString);
        if (retries > 0 && type == kInfUndefined) {
            LogMessage(id, kLogWarning, kCatGeneral, "Interface undefined");
            PendingArrival later;
            later.record.reset(record);
            later.session.reset(session);
            later.info = info;
            later.retries = retries;
            later.wait_ms = static_cast<std::uint32_t>(std::max(wait_ms, 0));
            later.due = pf::GetTickCount() + later.wait_ms;
            m_pending->items.push_back(std::move(later));
            record->retry_pending = true;
            return 0;
        }
    }
    return CompleteArrival(session, info, record, type);
}

std::uint32_t CKLVSession::RunDueRetries() {
    if (m_pending == nullptr) return pf::kInfinite;
    auto& items = m_pending->items;
    std::uint32_t now = pf::GetTickCount();
    for (std::size_t i = 0; i < items.size();) {
        PendingArrival& p = items[i];
        if (BeforeDeadline(now, p.due)) {
            ++i;
            continue;
        }
        LogMessage(p.info.DeviceId, kLogWarning, kCatGeneral, "Need to check Modem Interface again, time num:%d",
                   p.attempts);
        OneHandling scope;
        std::uint32_t type = kInfUndefined;
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
            if (type == kInfUndefined) {
                LogMessage(p.info.DeviceId, kLogWarning, kCatGeneral, "Interface undefined");
                now = pf::GetTickCount();
                p.due = now + p.wait_ms;
                ++i;
                continue;
            }
        }
        PendingArrival done = std::move(p);
        items.erase(items.begin() + static_cast<std::ptrdiff_t>(i));
        done.record->retry_pending = false;
        CompleteArrival(done.session.release(), done.info, done.record.get(), type);
        FinishRecord(done.record.release());
        now = pf::GetTickCount();
    }
    std::uint32_t wait = pf::kInfinite;
    for (const PendingArrival& p : items) {
        const std::uint32_t left = BeforeDeadline(now, p.due) ? p.due - now : 0;
        wait = std::min(wait, left);
    }
    return wait;
}

std::uint32_t CKLVSession::CompleteArrival(CEKLVUSBSession* session, const DeviceSessionInfo& info,
                                           DeviceNotificationRecord* record, std::uint32_t type) {
    CKLVSessionMgr* manager = CKLVSessionMgr::GetInstance();
    const std::uint16_t id = info.DeviceId;
    if (type == kInfUndefined || manager == nullptr) {
        LogMessage(id, kLogError, kCatGeneral, "Unable to add interface, abandon current session.");
        delete session;
        return 0;
    }
    bool adopted = false;
    if (manager->AdoptSession(session, info, &adopted) != 0) {
        delete session;
        return 0;
    }
    // Sessions are deleted only on this thread, so the adopted one is still
    // alive here. A declined one is referenced by nothing: its interface is
    // announced all the same, then it goes.
    manager->PostInterfaceEnumProcess(type, session);
    if (!adopted) delete session;
    if (manager->self_monitoring()) {
        SendHostBlock(id, record->device_name, info.ProductString, info.ProductId, record->class_guid,
                      record->event_code);
        if (m_pending != nullptr) m_pending->announced.insert(LowerCopy(record->device_name));
    }
    return 1;
}

std::uint32_t CKLVSession::DeviceRemoval(const std::string&, DeviceNotificationRecord* record) {
    CKLVSessionMgr* manager = CKLVSessionMgr::GetInstance();
    if (manager == nullptr || manager->session_list() == nullptr) return 1;
    CKLVSessionList& list = *manager->session_list();
    CKLVSessionList::Iterator it(list);
    if (!list.FindByInterface(it, record->device_name, false)) {
        LogMessage(kNoDevice, kLogWarning, kCatGeneral, "DeviceRemoval - Interface NOT found (%s)",
                   record->device_name.c_str());
        return 1;
    }
    CKLVSession* session = it.Get();
    std::uint32_t type = kInfUndefined;
    session->RemoveInterface(record->device_name, &type);
    const std::uint16_t id = session->GetDeviceId();
    LogMessage(id, kLogInfo, kCatGeneral, "DeviceRemoval - Removed %s, intf = (%d)", record->device_name.c_str(),
               static_cast<int>(type));
    CKLVMsgDispatcher::PostToWindows(Messages().interface_removal, id, static_cast<pf::LParam>(type), 0);
    if (manager->self_monitoring())
        SendHostBlock(id, record->device_name, session->GetProductStringDescriptor(), session->GetProductId(),
                      record->class_guid, record->event_code);
    if (session->GetInterfaceCount() == 0) {
        LogMessage(id, kLogInfo, kCatGeneral, "DeviceRemoval - All interfaces removed");
        manager->DeleteSession(it);
    }
    return 1;
}

}  // namespace eklv
