#include "transport/usb_session.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "core/settings.h"
#include "discovery/usb_descriptors.h"
#include "discovery/usb_utilities.h"
#include "log/message_logger.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "session/device_operations.h"
#include "transport/event_pool.h"

namespace eklv {

namespace {

constexpr std::uint32_t kIoctlUsbGetDescriptorFromNodeConnection = 0x220410;
constexpr std::uint32_t kPurgeAll = pf::kPurgeTxAbort | pf::kPurgeRxAbort | pf::kPurgeTxClear | pf::kPurgeRxClear;
constexpr std::uint32_t kThreadAllAccess = 0x1F03FF;  // what OpenThread is asked for; Linux has no access masks
// A hub answers a descriptor request in milliseconds; one that has not after
// this long is cancelled.
constexpr std::uint32_t kHubRequestWaitMs = 2000;

unsigned HandleValue(pf::Handle h) { return static_cast<unsigned>(h); }

}  // namespace

// What the reader thread shares with its session and the host reads.
struct CEKLVUSBSession::ReaderSlot {
    ReaderSlot() : data_rx(pf::CreateEventA(false, false)), stop_event(pf::CreateEventA(true, false)) {}
    // The slot alone closes its handles, once, when the last of the session
    // and its reader lets go of it: Windows hands a closed handle's value
    // out again at once, so a second close would close another thread's
    // handle.
    ~ReaderSlot() {
        for (pf::Handle event : {data_rx, stop_event}) {
            if (event != pf::kNullHandle && !pf::CloseHandle(event))
                LogMessage(device_id, kLogError, kCatGeneral, "Failed to Close Handle[Interface handle=%#x][LastError=%d]",
                           HandleValue(event), static_cast<int>(pf::GetLastError()));
        }
        if (thread_handle != pf::kNullHandle) pf::CloseHandle(thread_handle);
    }

    std::atomic<std::uint16_t> device_id{65535};
    std::atomic<std::uint32_t> exit_delay_ms{0};
    CKLVReceiveBuffer buffer;
    std::atomic<pf::Handle> reader_handle{pf::kInvalidHandle};  // ReaderHandle
    std::atomic<std::uint32_t> reader_thread_id{0};             // ReaderThreadId
    std::atomic<bool> stopping{false};                          // set before stop_event, never cleared
    const pf::Handle data_rx;                                   // hDataRx, auto-reset
    // StopEvent. Manual-reset: a slot serves one open, and once stopped it
    // stays stopped, so that every host read waiting on it wakes.
    const pf::Handle stop_event;
    pf::Handle thread_handle = pf::kNullHandle;                 // from CreateThread; closing it joins the thread
};

CEKLVUSBSession::CEKLVUSBSession() {
    device_id_ = 65535;
    slot_ = NewSlot();
}

std::shared_ptr<CEKLVUSBSession::ReaderSlot> CEKLVUSBSession::NewSlot() {
    auto slot = std::make_shared<ReaderSlot>();
    slot->device_id = device_id_;
    return slot;
}

std::shared_ptr<CEKLVUSBSession::ReaderSlot> CEKLVUSBSession::Slot() {
    std::lock_guard<std::mutex> lock(slot_mutex_);
    return slot_;
}

pf::Handle CEKLVUSBSession::ReaderHandle() { return Slot()->reader_handle; }

std::uint32_t CEKLVUSBSession::ReaderThreadId() { return Slot()->reader_thread_id; }

CEKLVUSBSession::~CEKLVUSBSession() {
    {
        pf::ScopedLock lock(interface_lock_);
        StopReadThread();
        for (auto& r : interfaces_)
            if (r.Handle != pf::kInvalidHandle) ReleaseHandle(r.Handle);
        interfaces_.clear();
    }
    // The reader slot closes its events when it goes (~ReaderSlot).
}

// ---- open handles and the calls using them ----------------------------------

class CEKLVUSBSession::HandleUse {
public:
    HandleUse(CEKLVUSBSession& session, pf::Handle handle) : session_(session), handle_(handle) {
        std::lock_guard<std::mutex> lock(session_.handles_mutex_);
        auto it = session_.handles_.find(handle);
        if (it == session_.handles_.end() || it->second.closing) return;
        ++it->second.users;
        in_use_ = true;
        blocking_ = it->second.blocking;
    }
    ~HandleUse() {
        if (!in_use_) return;
        std::lock_guard<std::mutex> lock(session_.handles_mutex_);
        auto it = session_.handles_.find(handle_);
        if (it != session_.handles_.end() && --it->second.users == 0) session_.handle_left_.notify_all();
    }
    HandleUse(const HandleUse&) = delete;
    HandleUse& operator=(const HandleUse&) = delete;
    // False for a handle the session has not opened, or is closing.
    bool in_use() const { return in_use_; }
    bool blocking() const { return blocking_; }

private:
    CEKLVUSBSession& session_;
    const pf::Handle handle_;
    bool in_use_ = false;
    bool blocking_ = false;
};

void CEKLVUSBSession::NoteOpen(pf::Handle handle, bool blocking) {
    std::lock_guard<std::mutex> lock(handles_mutex_);
    handles_[handle] = OpenHandle{blocking};
}

void CEKLVUSBSession::ReleaseHandle(pf::Handle handle) {
    {
        std::lock_guard<std::mutex> lock(handles_mutex_);
        auto it = handles_.find(handle);
        if (it != handles_.end()) it->second.closing = true;
    }
    // A read waiting for the reader's data wakes when the reader stops.
    if (handle == ReaderHandle()) StopReadThread();
    // The others are in a blocking transfer or an overlapped one of their
    // own: cancelling the handle's I/O ends them. A call that was about to
    // start its transfer when the cancel came is caught by the next one.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timings_.close_wait_ms);
    std::unique_lock<std::mutex> lock(handles_mutex_);
    for (auto it = handles_.find(handle); it != handles_.end() && it->second.users > 0; it = handles_.find(handle)) {
        if (Clock::now() >= deadline) {
            LogMessage(device_id_, kLogError, kCatGeneral,
                       "CEKLVUSBSession::CloseInterface - %d calls still use handle %#x after %u ms, closing it",
                       static_cast<int>(it->second.users), HandleValue(handle), timings_.close_wait_ms);
            break;
        }
        lock.unlock();
        pf::CancelIoEx(handle, nullptr);
        lock.lock();
        handle_left_.wait_for(lock, std::chrono::milliseconds(10));
    }
    handles_.erase(handle);
    lock.unlock();
    pf::CloseHandle(handle);
}

std::string CEKLVUSBSession::GetProductStringDescriptor() { return product_string_; }

// ---- interfaces -----------------------------------------------------------

std::uint32_t CEKLVUSBSession::AddInterface(const std::string& name, const std::string& description) {
    pf::ScopedLock lock(interface_lock_);
    for (const auto& r : interfaces_) {
        if (!SameInterfaceName(r.InterfaceDBCCName, name)) continue;
        LogMessage(device_id_, kLogInfo, kCatGeneral, "Interface is already existed.");
        LogMessage(device_id_, kLogInfo, kCatGeneral, "CEKLVUSBSession::AddInterface(%d), IntfDesc(%s)",
                   static_cast<int>(r.Type), description.c_str());
        return r.Type;
    }
    std::uint32_t type;
    if (CKLVUSBUtilities::IsCompositeDevice(name))
        type = INF_DATA;
    else
        type = GetInterfaceTypeFromSettings(description.empty() ? name : description);
    if (type == INF_UNDEFINED) {
        LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::AddInterface : Interface undefined");
        return INF_UNDEFINED;
    }
    InterfaceRecord record;
    std::uint8_t descriptor[9] = {};
    if (GetInterfaceDescriptor(name, descriptor,
                               static_cast<int>(InterfaceNumberFromName(name, WithoutMi::kInterfaceZero))))
        std::memcpy(record.Descriptor, descriptor + 2, 7);
    else
        LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::AddInterface : GetInterfaceDescriptor Failed.");
    record.InterfaceDBCCName = name;
    record.IntfDesc = description;
    record.Handle = pf::kInvalidHandle;
    record.Type = type;
    interfaces_.push_back(record);
    LogMessage(device_id_, kLogInfo, kCatGeneral, "CEKLVUSBSession::AddInterface(%d), IntfDesc(%s)",
               static_cast<int>(type), description.c_str());
    return type;
}

bool CEKLVUSBSession::GetInterfaceDescriptor(const std::string& name, std::uint8_t* output, int interface_number) {
    std::string hub_name;
    int port = 0;
    if (CKLVUSBUtilities::GetParentHubSymbolicName(name, &hub_name) != kUsbOk) return false;
    if (CKLVUSBUtilities::GetDeviceConnectionIndex(name, hub_name, &port, false) != kUsbOk) return false;
    pf::Handle hub = pf::CreateFileA(hub_name.c_str(), pf::kGenericRead | pf::kGenericWrite,
                                     pf::kFileShareRead | pf::kFileShareWrite, pf::kOpenExisting,
                                     pf::kFileFlagOverlapped);
    if (!pf::IsValidHandle(hub)) {
        LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::GetInterfaceDescriptor: Could not create hub handle");
        return false;
    }
    pf::Overlapped overlapped{};
    overlapped.event = pf::CreateEventA(true, false);
    if (overlapped.event == pf::kNullHandle) {
        pf::CloseHandle(hub);
        LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::GetInterfaceDescriptor: Could not create event");
        return false;
    }
    // USB_DESCRIPTOR_REQUEST: ConnectionIndex, setup packet, 255 data bytes.
    std::uint8_t request[267] = {};
    std::memcpy(request, &port, 4);
    request[6] = 0x00;  // wValue 0x0200: configuration descriptor, index 0
    request[7] = 0x02;
    request[10] = 255;  // wLength
    std::uint32_t returned = 0;
    bool found = false;
    bool done = pf::DeviceIoControl(hub, kIoctlUsbGetDescriptorFromNodeConnection, request, sizeof request, request,
                                    sizeof request, &returned, &overlapped);
    if (!done && pf::GetLastError() == pf::kErrorIoPending) {
        // The hub driver owns request and overlapped until it completes the
        // request: it is waited for, and when it takes too long, cancelled
        // and waited for again.
        if (pf::WaitForSingleObject(overlapped.event, kHubRequestWaitMs) != pf::kWaitObject0) {
            pf::CancelIo(hub);
            LogMessage(device_id_, kLogWarning, kCatGeneral,
                       "CEKLVUSBSession::GetInterfaceDescriptor - hub request not complete after %u ms, cancelled",
                       static_cast<unsigned>(kHubRequestWaitMs));
        }
        done = pf::GetOverlappedResult(hub, &overlapped, &returned, true);
    }
    if (!done) {
        LogMessage(device_id_, kLogError, kCatGeneral,
                   "CEKLVUSBSession::GetInterfaceDescriptor - IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION, Error = %i",
                   static_cast<int>(pf::GetLastError()));
    } else {
        // The configuration as far as its total length, at most the 255
        // bytes asked for; walked as the hub queries walk it.
        const std::size_t data = returned > 12 ? std::min<std::size_t>(returned - 12, 255) : 0;
        const std::size_t total = data >= 4 ? std::min<std::size_t>(data, request[14] | request[15] << 8) : 0;
        found = FindDescriptorInConfiguration(request + 12, total, kDescInterface,
                                              static_cast<std::uint32_t>(interface_number), output) == kUsbOk;
        if (found)
            LogMessage(device_id_, kLogInfo, kCatGeneral,
                       "CEKLVUSBSession::GetStringDescriptor:Found index for interface = %i", output[8]);
        else
            LogMessage(device_id_, kLogError, kCatGeneral,
                       "CEKLVUSBSession::GetInterfaceDescriptor - Unable to find Interface Descriptor");
    }
    pf::CloseHandle(overlapped.event);
    pf::CloseHandle(hub);
    return found;
}

// ---- opening and closing ----------------------------------------------------

pf::Handle CEKLVUSBSession::OpenInterface(std::uint32_t type, std::uint32_t synchronous) {
    LogMessage(device_id_, kLogInfo, kCatGeneral, "OpenInterface with bSynchronous=%d", static_cast<int>(synchronous));
    // One open at a time per session, and none while an interface is being
    // removed or closed: two host threads opening the same interface would
    // otherwise both open the port and the record would keep only one of
    // the handles, and an open finishing after the removal would record a
    // handle that nobody closes.
    pf::ScopedLock open_lock(interface_lock_);
    // Once EKLVUninitialize has begun to close the open interfaces, an open
    // that was already under way must not open another one behind it.
    if (DeviceCallsClosing()) {
        LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::OpenInterface - failed[library stopping][%d]",
                   static_cast<int>(type));
        return pf::kInvalidHandle;
    }
    bSynchronous = synchronous;
    if (synchronous == 0) return OpenInterfaceEx(type);

    InterfaceRecord record;
    std::string path;
    if (GetInterface(type, &record) == 0) {
        path = record.InterfaceDBCCName;
        if (path.empty()) {
            LogMessage(device_id_, kLogError, kCatGeneral, "Don't find interface %d", static_cast<int>(type));
            return pf::kInvalidHandle;
        }
        if (record.Handle != pf::kInvalidHandle) return record.Handle;
    }

    pf::Handle handle = pf::kInvalidHandle;
    bool locked = false;
    bool have_error = false;
    std::uint32_t error = 0;
    auto fail = [&]() {
        if (handle != pf::kInvalidHandle) pf::CloseHandle(handle);
        if (locked) Unlock();
        if (have_error)
            LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::OpenInterface - failed[LastError=%d][%d][%s]",
                       static_cast<int>(error), static_cast<int>(type), path.c_str());
        return pf::kInvalidHandle;
    };
    auto fail_with_error = [&]() {
        error = pf::GetLastError();
        have_error = true;
        return fail();
    };

    std::string device = path;
    if (type == INF_UART || CKLVUSBUtilities::IsCompositeDevice(path)) {
        std::string port;
        if (GetComPortName(&port, &type) != 0) {
            LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::OpenInterface - failed to get COM port[%s]",
                       path.c_str());
            return fail();
        }
        device = "\\\\.\\" + port;
    }

    Lock();
    locked = true;
    handle = pf::CreateFileA(device.c_str(), pf::kGenericRead | pf::kGenericWrite, pf::kFileShareRead | pf::kFileShareWrite,
                             pf::kOpenExisting, 0);
    if (handle == pf::kInvalidHandle) return fail_with_error();
    if (!pf::PurgeComm(handle, kPurgeAll)) return fail_with_error();

    // Time-outs from [PID_SETTINGS]: the key of the product, then pid_default.
    auto pid = path.find("pid_");
    std::string key = path.substr(pid == std::string::npos ? 0 : pid, 8);
    static const std::uint32_t kDefaults[5] = {100, 1, 2000, 2, 8000};
    std::uint32_t values[5];
    for (int i = 0; i < 5; ++i) {
        std::string field;
        values[i] = GetIniFieldFallback("PID_SETTINGS", key.c_str(), "pid_default", i, &field) == kIniOk
                        ? static_cast<std::uint32_t>(AtoiRule(field))
                        : kDefaults[i];
    }
    pf::CommTimeouts timeouts{values[0], values[1], values[2], values[3], values[4]};
    if (!pf::SetCommTimeouts(handle, &timeouts)) return fail_with_error();
    std::uint32_t errors = 0;
    pf::ComStat status{};
    if (!pf::ClearCommError(handle, &errors, &status)) return fail_with_error();
    pf::Dcb dcb{};
    if (!pf::GetCommState(handle, &dcb)) return fail_with_error();
    InitComPortConfig(&dcb);
    if (!pf::SetCommState(handle, &dcb)) return fail_with_error();
    Unlock();
    locked = false;

    record.Handle = handle;
    if (UpdateInterface(type, record) != 0) {
        LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::OpenInterface - Record interface handle failed[%d]",
                   static_cast<int>(type));
        return fail();
    }
    NoteOpen(handle, true);
    LogMessage(device_id_, kLogInfo, kCatGeneral, "CEKLVUSBSession::OpenInterface - OK[%#x][%s]", HandleValue(handle),
               path.c_str());
    return handle;
}

bool CEKLVUSBSession::ConfigureCommPort(pf::Handle handle) {
    auto failed = [&](const char* format) {
        LogMessage(device_id_, kLogError, kCatGeneral, format, static_cast<int>(pf::GetLastError()), HandleValue(handle));
        return false;
    };
    if (!pf::SetCommMask(handle, pf::kEvRxChar)) return failed("SetCommMask failed[LastError=%d][Interface handle=%#x]");
    pf::Dcb dcb{};
    if (!pf::GetCommState(handle, &dcb)) return failed("GetCommState failed[LastError=%d][Interface handle=%#x]");
    dcb.BaudRate = 921600;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = pf::kDtrControlDisable;
    dcb.fDsrSensitivity = 0;
    dcb.fRtsControl = pf::kRtsControlDisable;
    dcb.ByteSize = 8;
    dcb.Parity = pf::kNoParity;
    dcb.StopBits = pf::kOneStopBit;
    if (!pf::SetCommState(handle, &dcb)) return failed("SetCommState failed[LastError=%d][Interface handle=%#x]");
    if (!pf::EscapeCommFunction(handle, pf::kSetDtr))
        return failed("EscapeCommFunction failed[LastError=%d][Interface handle=%#x]");
    pf::CommTimeouts timeouts{pf::kMaxDword, 0, 0, 0, 0};  // reads answer at once with what has arrived
    if (!pf::SetCommTimeouts(handle, &timeouts))
        return failed("SetCommTimeouts failed[LastError=%d][Interface handle=%#x]");
    if (!pf::PurgeComm(handle, kPurgeAll)) return failed("PurgeComm failed[LastError=%d][Interface handle=%#x]");
    return true;
}

pf::Handle CEKLVUSBSession::OpenInterfaceEx(std::uint32_t type) {
    InterfaceRecord record;
    bool found = GetInterface(type, &record) == 0;
    if (found && record.Handle != pf::kInvalidHandle) {
        Slot()->reader_handle = record.Handle;
        return record.Handle;
    }
    if (record.InterfaceDBCCName.empty()) {
        LogMessage(device_id_, kLogError, kCatGeneral, "Empty InterfaceDBCCName for[%d]", static_cast<int>(type));
        return pf::kInvalidHandle;
    }
    pf::Handle handle = pf::kInvalidHandle;
    auto fail = [&]() {
        if (handle != pf::kInvalidHandle && !pf::CloseHandle(handle))
            LogMessage(device_id_, kLogError, kCatGeneral, "Failed to Close Handle[Interface handle=%#x][LastError=%d]",
                       HandleValue(handle), static_cast<int>(pf::GetLastError()));
        return pf::kInvalidHandle;
    };

    std::string device = record.InterfaceDBCCName;
    if (type == INF_UART) {
        std::string port;
        if (GetComPortName(&port, &type) != 0) {
            LogMessage(device_id_, kLogError, kCatGeneral, "GetComPortName failed for[%d]", static_cast<int>(type));
            return fail();
        }
        LogMessage(device_id_, kLogError, kCatGeneral, "Get UART COM port[%s]", port.c_str());
        device = "\\\\.\\" + port;
    }

    Lock();
    handle = pf::CreateFileA(device.c_str(), pf::kGenericRead | pf::kGenericWrite, pf::kFileShareRead | pf::kFileShareWrite,
                             pf::kOpenExisting, pf::kFileFlagOverlapped);
    if (handle == pf::kInvalidHandle || !ConfigureCommPort(handle)) {
        LogMessage(device_id_, kLogError, kCatGeneral, "Create interface handle failed[LastError=%d]",
                   static_cast<int>(pf::GetLastError()));
        Unlock();
        return fail();
    }
    Unlock();

    // One reader per session: a reader that serves another interface is
    // stopped first, so the slot always serves the newest overlapped open.
    // The new reader gets a fresh slot (its events not signalled, its
    // buffer empty): reads still waiting on the old one see it stopped.
    if (Slot()->reader_thread_id != 0) StopReadThread();
    auto slot = NewSlot();
    slot->exit_delay_ms = timings_.reader_exit_delay_ms;
    slot->reader_handle = handle;
    auto* context = new std::shared_ptr<ReaderSlot>(slot);
    std::uint32_t thread_id = 0;
    pf::Handle thread = pf::CreateThread(&CEKLVUSBSession::ThreadFn, context, &thread_id);
    if (thread == pf::kNullHandle) {
        delete context;
        LogMessage(kNoDevice, kLogError, kCatGeneral, "OpenInterfaceEx - AfxBeginThread failed[LastError=%d]",
                   static_cast<int>(pf::GetLastError()));
        return fail();
    }
    // Published here as well as by the thread, so a stop right after this
    // open always finds the reader.
    slot->reader_thread_id = thread_id;
    slot->thread_handle = thread;
    std::shared_ptr<ReaderSlot> previous;  // let go outside the lock: it may join its ended reader
    {
        std::lock_guard<std::mutex> lock(slot_mutex_);
        previous = std::exchange(slot_, slot);
    }

    record.Handle = handle;
    if (UpdateInterface(type, record) != 0) {
        LogMessage(device_id_, kLogError, kCatGeneral, "UpdateInterface failed for[%d]", static_cast<int>(type));
        return fail();
    }
    NoteOpen(handle, false);
    LogMessage(device_id_, kLogInfo, kCatGeneral, "Interface handle = (%#x), %s", HandleValue(handle),
               record.InterfaceDBCCName.c_str());
    return handle;
}

std::uint32_t CEKLVUSBSession::CloseInterface(std::uint32_t type) {
    if (type == INF_UNDEFINED) return EKLV_NO_SUCH_INTERFACE;
    pf::ScopedLock lock(interface_lock_);
    Lock();
    std::uint32_t result = EKLV_NO_SUCH_INTERFACE;
    for (auto& r : interfaces_) {
        if (r.Type != type || r.Handle == pf::kInvalidHandle) continue;
        ReleaseHandle(r.Handle);
        r.Handle = pf::kInvalidHandle;
        result = EKLV_OK;
        break;
    }
    Unlock();
    return result;
}

std::uint32_t CEKLVUSBSession::RemoveInterface(const std::string& name, std::uint32_t* type) {
    std::uint32_t removed = INF_UNDEFINED;
    pf::ScopedLock lock(interface_lock_);
    Lock();
    for (auto it = interfaces_.begin(); it != interfaces_.end(); ++it) {
        if (!SameInterfaceName(it->InterfaceDBCCName, name)) continue;
        removed = it->Type;
        if (it->Handle != pf::kInvalidHandle) ReleaseHandle(it->Handle);
        interfaces_.erase(it);
        break;
    }
    Unlock();
    if (type) *type = removed;
    return removed;
}

void CEKLVUSBSession::CloseAllInterfaces() {
    pf::ScopedLock lock(interface_lock_);
    StopReadThread();
    for (auto& r : interfaces_) {
        if (r.Handle == pf::kInvalidHandle) continue;
        ReleaseHandle(r.Handle);
        r.Handle = pf::kInvalidHandle;
    }
    interfaces_.clear();
}

// ---- reader thread -----------------------------------------------------------

std::uint32_t CEKLVUSBSession::ThreadFn(void* context) {
    auto* owned = static_cast<std::shared_ptr<ReaderSlot>*>(context);
    std::shared_ptr<ReaderSlot> slot = *owned;
    delete owned;
    const std::uint16_t id = slot->device_id;
    LogMessage(id, kLogInfo, kCatGeneral, "CEKLVUSBSession::ThreadFn started");
    const std::uint32_t self = pf::GetCurrentThreadId();
    slot->reader_thread_id = self;
    pf::Overlapped wait_ov{};
    pf::Overlapped read_ov{};
    wait_ov.event = pf::CreateEventA(true, false);
    read_ov.event = pf::CreateEventA(true, false);
    const pf::Handle waits[2] = {slot->stop_event, wait_ov.event};
    std::uint8_t block[256];

    // The mask and the OVERLAPPEDs stay in scope until the pending wait has
    // been cancelled below: a pending operation writes into them.
    std::uint32_t mask = 0;
    pf::Handle waited = pf::kInvalidHandle;
    bool pending = false;  // a wait was issued and its completion not seen yet
    bool running = true;
    while (running) {
        const pf::Handle port = slot->reader_handle;
        mask = 0;
        waited = port;
        // A wait that fails at once (the port is gone or closed) would never
        // signal; the reader ends instead of waiting for a stop forever.
        if (!pf::WaitCommEvent(port, &mask, &wait_ov)) {
            if (pf::GetLastError() != pf::kErrorIoPending) {
                LogMessage(id, kLogError, kCatGeneral, "CEKLVUSBSession::ThreadFn - WaitCommEvent failed[LastError=%d][Interface handle=%#x]",
                           static_cast<int>(pf::GetLastError()), HandleValue(port));
                break;
            }
            pending = true;
        }
        std::uint32_t r = pf::WaitForMultipleObjects(2, waits, false, pf::kInfinite);
        if (r == pf::kWaitObject0 + 1) pending = false;
        if (r == pf::kWaitObject0) break;
        if (r == pf::kWaitFailed) {
            LogMessage(id, kLogError, kCatGeneral, "CEKLVUSBSession::ThreadFn - wait failed[LastError=%d]",
                       static_cast<int>(pf::GetLastError()));
            break;
        }
        if (r != pf::kWaitObject0 + 1) continue;
        if (!(mask & pf::kEvRxChar)) {
            LogMessage(id, kLogInfo, kCatGeneral, "CEKLVUSBSession::ThreadFn - WaitCommEvent Not triggered by EV_RXCHAR, EventMask=%d",
                       static_cast<int>(mask));
            pf::ResetEvent(wait_ov.event);
            continue;
        }
        bool appended = false;
        slot->buffer.lock().Enter();
        try {
            std::memset(block, 0, sizeof block);
            pf::ResetEvent(read_ov.event);
            std::uint32_t count = 0;
            if (!pf::ReadFile(port, block, sizeof block, &count, &read_ov)) {
                LogMessage(id, kLogError, kCatGeneral, "CEKLVUSBSession::ThreadFn - ReadFile failed[LastError=%d][Interface handle=%#x]",
                           static_cast<int>(pf::GetLastError()), HandleValue(port));
                running = false;
            } else if (count > 0) {
                slot->buffer.Append(block, count);
                appended = true;
            }
        } catch (...) {
            LogMessage(id, kLogError, kCatGeneral, "CEKLVUSBSession::ThreadFn - Catch Unhandled exception[LastError=%d]",
                       static_cast<int>(pf::GetLastError()));
            running = false;
        }
        slot->buffer.lock().Leave();
        if (appended) pf::SetEvent(slot->data_rx);
        pf::ResetEvent(wait_ov.event);
    }

    if (slot->exit_delay_ms != 0) pf::Sleep(slot->exit_delay_ms);
    const pf::Handle port = slot->reader_handle;
    if (port != pf::kInvalidHandle) {
        if (!pf::CancelIo(port))
            LogMessage(id, kLogError, kCatGeneral, "CEKLVUSBSession::ThreadFn - CancelIo failed[LastError=%d]",
                       static_cast<int>(pf::GetLastError()));
        else
            LogMessage(id, kLogInfo, kCatGeneral, "CEKLVUSBSession::ThreadFn - CancelIo OK[Interface handle=%#x]",
                       HandleValue(port));
    }
    if (waited != port && waited != pf::kInvalidHandle) pf::CancelIo(waited);  // served handle changed under us
    // A wait that another thread's close completes instead still writes into
    // mask and wait_ov: see it complete before they go out of scope.
    if (pending) pf::WaitForSingleObject(wait_ov.event, pf::kInfinite);
    for (pf::Handle event : {wait_ov.event, read_ov.event}) {
        if (!pf::CloseHandle(event))
            LogMessage(id, kLogError, kCatGeneral, "Failed to Close Handle[Interface handle=%#x][LastError=%d]",
                       HandleValue(event), static_cast<int>(pf::GetLastError()));
    }
    slot->reader_thread_id = 0;
    slot->reader_handle = pf::kInvalidHandle;
    pf::SetEvent(slot->data_rx);  // a host read waiting for data learns that no more will come
    LogMessage(id, kLogInfo, kCatGeneral, "CEKLVUSBSession::ThreadFn ended");
    return 0;
}

void CEKLVUSBSession::StopReadThread() {
    auto slot = Slot();
    const std::uint32_t id = slot->reader_thread_id;
    LogMessage(device_id_, kLogWarning, kCatGeneral, "CEKLVUSBSession::StopReadThread() - request to stop[%04d]",
               static_cast<int>(id));
    slot->stopping = true;
    pf::SetEvent(slot->stop_event);
    // Joins a reader that has ended; harmless while it still runs.
    auto release_thread = [&] {
        std::lock_guard<std::mutex> lock(slot_mutex_);
        if (slot->thread_handle != pf::kNullHandle && (slot->reader_thread_id == 0)) {
            pf::CloseHandle(slot->thread_handle);
            slot->thread_handle = pf::kNullHandle;
        }
    };
    if (id == 0) {
        LogMessage(device_id_, kLogWarning, kCatGeneral, "CEKLVUSBSession::StopReadThread() - Thread exited already");
        release_thread();
        return;
    }
    (void)kThreadAllAccess;
    pf::Handle thread = pf::OpenThread(id);
    if (thread == pf::kNullHandle) {
        LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::StopReadThread - OpenThread[%04d] failed[LastError=%d]",
                   static_cast<int>(id), static_cast<int>(pf::GetLastError()));
        return;
    }
    if (pf::WaitForSingleObject(thread, timings_.stop_wait_ms) == pf::kWaitTimeout) {
        bool terminated = pf::TerminateThread(thread, 9);
        pf::CloseHandle(thread);
        LogMessage(device_id_, kLogWarning, kCatGeneral, "CEKLVUSBSession::StopReadThread() - [%04d] wait timeout",
                   static_cast<int>(id));
        // Whether killed (its end steps never ran) or left running (no forced
        // termination here), the reader keeps its old slot: the session takes
        // a fresh one, so neither side touches the other's state again. A
        // reader left running still sees its stop event and ends on its own.
        if (!terminated)
            LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::StopReadThread() - [%04d] reader abandoned",
                       static_cast<int>(id));
        auto fresh = NewSlot();
        std::lock_guard<std::mutex> lock(slot_mutex_);
        slot_ = fresh;
        return;
    }
    LogMessage(device_id_, kLogInfo, kCatGeneral, "CEKLVUSBSession::StopReadThread() - [%04d] terminated",
               static_cast<int>(id));
    pf::CloseHandle(thread);
    release_thread();
}

// ---- data transfer --------------------------------------------------------------

// Each transfer takes the path of the mode its handle was opened in.
std::uint32_t CEKLVUSBSession::ReadData(pf::Handle handle, void* buffer, std::uint32_t* length) {
    if (length == nullptr) return EKLV_READ_FAILED;
    HandleUse use(*this, handle);
    if (!use.in_use()) {
        LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::ReadData - failed[handle %#x is not open]",
                   HandleValue(handle));
        *length = 0;
        return EKLV_READ_FAILED;
    }
    if (!use.blocking()) return ReadDataEx(handle, buffer, length);
    std::uint32_t count = 0;
    if (pf::ReadFile(handle, buffer, *length, &count, nullptr)) {
        LogMessage(device_id_, kLogInfo, kCatGeneral, "CEKLVUSBSession::ReadData - OK");
        *length = count;
        return EKLV_OK;
    }
    LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::MDMRead Data - Failed. Error = (%d)",
               static_cast<int>(pf::GetLastError()));
    *length = count;
    return EKLV_READ_FAILED;
}

// The host read's own watch on the port: see WaitForResponseData.
struct CEKLVUSBSession::HelpWait {
    PooledEvent event;
    pf::Overlapped overlapped{};
    std::uint32_t mask = 0;
    std::uint8_t block[256];
};

// Waits for hDataRx as the reader's handoff, and at the same time for the
// port itself: when bytes arrive, this thread moves them into the receive
// buffer the way the reader does (under the buffer lock, at most 256 bytes),
// instead of waiting for the reader to wake up and pass them on. Whichever
// thread gets the lock first reads; the other finds nothing. This saves one
// thread handoff per response. Only where the port takes a second wait: a
// Windows driver takes one per handle, and a wait of this thread pending
// when the reader waits again would make the reader's wait fail and the
// reader end. The reader's stop ends the wait too (kWaitObject0 + 1). The
// thread's last error is left as the wait left it.
std::uint32_t CEKLVUSBSession::WaitForResponseData(ReaderSlot& slot, pf::Handle port, HelpWait* help) {
    const std::uint32_t saved_error = pf::GetLastError();
    bool watching = false;
    bool pending = false;
    if (help != nullptr) help->overlapped.event = help->event.Get();
    if (help != nullptr && help->overlapped.event != pf::kNullHandle && pf::CommWaitsShared(port)) {
        help->mask = 0;
        if (pf::WaitCommEvent(port, &help->mask, &help->overlapped)) {
            watching = true;
        } else if (pf::GetLastError() == pf::kErrorIoPending) {
            watching = pending = true;
        }
    }
    pf::SetLastError(saved_error);
    constexpr std::uint32_t kPortReady = pf::kWaitObject0 + 2;
    const pf::Handle objects[3] = {slot.data_rx, slot.stop_event, watching ? help->overlapped.event : pf::kNullHandle};
    const std::uint32_t r = pf::WaitForMultipleObjects(watching ? 3 : 2, objects, false, timings_.read_wait_ms);
    const std::uint32_t wait_error = pf::GetLastError();
    if (watching) {
        if (r == kPortReady) pending = false;
        if (pending) {
            pf::CancelIo(port);
            pf::WaitForSingleObject(help->overlapped.event, pf::kInfinite);  // completed, cancelled or closed
        }
        pf::ResetEvent(help->overlapped.event);
        if (r == kPortReady && (help->mask & pf::kEvRxChar)) {
            std::uint32_t count = 0;
            pf::ScopedLock lock(slot.buffer.lock());
            // Bytes are waiting, so the read completes at once; should it not,
            // it is taken back. A failure is the reader's to report.
            if (pf::ReadFile(port, help->block, sizeof help->block, &count, &help->overlapped)) {
                if (count > 0) slot.buffer.Append(help->block, count);
            } else if (pf::GetLastError() == pf::kErrorIoPending) {
                pf::CancelIo(port);
                pf::WaitForSingleObject(help->overlapped.event, pf::kInfinite);
            }
            pf::ResetEvent(help->overlapped.event);
        }
    }
    pf::SetLastError(wait_error);
    return r;
}

std::uint32_t CEKLVUSBSession::ReadDataEx(pf::Handle handle, void* buffer, std::uint32_t* length) {
    std::uint32_t result = EKLV_READ_FAILED;
    std::string response;
    std::uint32_t passes = 0;
    auto slot = Slot();
    // Its event borrowed from the pool: no event is made per read.
    HelpWait help_wait;
    HelpWait* help = &help_wait;
    try {
        for (;;) {
            // No reader, one that stops, or one serving another interface:
            // nothing will come for this handle.
            const pf::Handle port = slot->reader_handle;
            if (port == pf::kInvalidHandle || port != handle || slot->stopping) {
                LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::ReadDataEx - failed[COMM Port is NOT available]");
                break;
            }
            ++passes;
            if (WaitForResponseData(*slot, port, help) == pf::kWaitTimeout) {
                const std::uint32_t error = pf::GetLastError();
                if (error == pf::kErrorIoPending) {
                    LogMessage(device_id_, kLogError, kCatGeneral, "ReadDataEx delayed[LastError=%d][hDataRx=%04d]",
                               static_cast<int>(error), static_cast<int>(slot->data_rx));
                    if (!pf::CancelIo(port))
                        LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::ReadDataEx - CancelIo failed[LastError=%d]",
                                   static_cast<int>(pf::GetLastError()));
                    else
                        LogMessage(device_id_, kLogInfo, kCatGeneral, "CEKLVUSBSession::ReadDataEx - CancelIo OK[Interface handle=%#x]",
                                   HandleValue(port));
                } else {
                    LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::ReadDataEx - WaitForSingleObject failed[LastError=%d]",
                               static_cast<int>(error));
                }
                break;
            }
            if (slot->buffer.TakeAll(&response, slot->data_rx)) {
                bool complete = response.find("OK") != std::string::npos;
                if (!complete && response.find("ERROR") != std::string::npos) {
                    LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::ReadDataEx - got ERROR[response=%s]",
                               response.c_str());
                    complete = true;
                }
                if (complete) {
                    // Delivered as text, cut to the caller's capacity (with its
                    // terminating zero): never past the buffer.
                    const std::size_t text = std::min(response.size(), std::strlen(response.c_str()));
                    std::size_t delivered = 0;
                    if (*length > 0 && buffer != nullptr) {
                        delivered = std::min<std::size_t>(text, *length - 1);
                        std::memcpy(buffer, response.data(), delivered);
                        static_cast<char*>(buffer)[delivered] = '\0';
                    }
                    if (delivered < text)
                        LogMessage(device_id_, kLogWarning, kCatGeneral,
                                   "CEKLVUSBSession::ReadDataEx - response truncated[%d of %d bytes]",
                                   static_cast<int>(delivered), static_cast<int>(text));
                    *length = static_cast<std::uint32_t>(delivered);
                    result = EKLV_OK;
                    break;
                }
            }
            if (passes >= timings_.read_passes) break;
        }
    } catch (...) {
        LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::ReadDataEx - Catch Unhandled exception[LastError=%d]",
                   static_cast<int>(pf::GetLastError()));
    }
    if (result != 0)
        LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::ReadDataEx() failed with retry[%d][response=%s]",
                   static_cast<int>(passes), response.c_str());
    return result;
}

bool CEKLVUSBSession::WriteData(pf::Handle handle, const void* buffer, std::uint32_t* length) {
    if (length == nullptr) return false;
    HandleUse use(*this, handle);
    if (!use.in_use()) {
        LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::WriteData - failed[handle %#x is not open]",
                   HandleValue(handle));
        return false;
    }
    if (!use.blocking()) return WriteDataEx(handle, buffer, *length);
    std::uint32_t written = 0;
    bool ok = pf::WriteFile(handle, buffer, *length, &written, nullptr);
    if (ok) {
        LogMessage(device_id_, kLogInfo, kCatGeneral, "CEKLVUSBSession::WriteData - OK");
    } else {
        LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::WriteData - Failed. Error = (%d)",
                   static_cast<int>(pf::GetLastError()));
        if (buffer != nullptr) DumpPacket(buffer, *length);
    }
    *length = written;
    return ok;
}

bool CEKLVUSBSession::WriteDataEx(pf::Handle handle, const void* buffer, std::uint32_t length) {
    if (!pf::PurgeComm(handle, kPurgeAll)) {
        LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::WriteDataEx - PurgeComm failed[LastError=%d][Interface handle=%#x]",
                   static_cast<int>(pf::GetLastError()), HandleValue(handle));
        return false;
    }
    // The OVERLAPPED's event: manual-reset, borrowed from the pool (WriteFile
    // resets it when it starts).
    PooledEvent write_event;
    pf::Overlapped overlapped{};
    overlapped.event = write_event.Get();
    if (overlapped.event == pf::kNullHandle) return false;
    std::uint32_t written = 0;
    bool ok = pf::WriteFile(handle, buffer, length, &written, &overlapped);
    if (!ok && pf::GetLastError() == pf::kErrorIoPending) {
        // An overlapped port has no write time-out: the wait is bounded here
        // and a write that does not finish is cancelled and reported.
        const std::uint64_t bound =
            timings_.write_wait_ms + static_cast<std::uint64_t>(timings_.write_wait_per_byte_ms) * length;
        const std::uint32_t wait = static_cast<std::uint32_t>(std::min<std::uint64_t>(bound, 0xFFFFFFFEu));
        if (pf::WaitForSingleObject(overlapped.event, wait) != pf::kWaitObject0) {
            pf::CancelIo(handle);
            // Cancelled here, or completed by a close elsewhere: either way the
            // event is set once nothing writes into overlapped any more.
            pf::WaitForSingleObject(overlapped.event, pf::kInfinite);
            LogMessage(device_id_, kLogError, kCatGeneral,
                       "CEKLVUSBSession::WriteDataEx - write did not complete in %u ms[Interface handle=%#x]", wait,
                       HandleValue(handle));
        } else {
            ok = pf::GetOverlappedResult(handle, &overlapped, &written, false);
            if (!ok)
                LogMessage(device_id_, kLogError, kCatGeneral,
                           "CEKLVUSBSession::WriteDataEx - write failed[LastError=%d][Interface handle=%#x]",
                           static_cast<int>(pf::GetLastError()), HandleValue(handle));
        }
    } else if (!ok) {
        LogMessage(device_id_, kLogError, kCatGeneral, "CEKLVUSBSession::WriteDataEx - WriteFile failed[LastError=%d][Interface handle=%#x]",
                   static_cast<int>(pf::GetLastError()), HandleValue(handle));
    }
    return ok;
}

}  // namespace eklv
