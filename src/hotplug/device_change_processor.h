// CKLVDeviceChangeProcessor: the one queue of device notification records
// and the thread that handles them in order. Producers (the device-change
// window, the start-up scan, host threads in EKLVNotification) append
// records; the DeviceChangeNotice thread takes them one at a time: hub
// changes go to the device-id manager, a supported interface's arrival
// makes, types and adopts a session and announces it, a removal takes the
// interface out of its session and announces that.
//
// Ownership: a record belongs to the queue, then to the thread while it is
// handled, then (when its interface type is not decided yet) to the list of
// pending arrivals, until the thread finishes it: signals its host-fed
// waiter if still in time and destroys it. Records still queued or pending
// when the thread stops are destroyed unhandled and unsignalled.
//
// One retry policy: an arrival whose interface type is undefined is tried
// again MODEM_WAIT ms after each failed attempt, MODEM_CREATE_RETRY
// attempts in all ("Interface undefined", "Need to check Modem Interface
// again, time num:%d", "Unable to add interface, abandon current session."),
// while the thread goes on with the records of other devices, which come
// first: a due retry waits while records are queued.
//
// Its log lines keep the names they have always had ("CKLVSession::..."),
// which log readers and hosts' tools look for.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>

#include "hotplug/device_notification.h"
#include "hotplug/pending_arrivals.h"
#include "platform/handle.h"
#include "platform/sync.h"
#include "session/session.h"

namespace eklv {

class CEKLVUSBSession;

class CKLVDeviceChangeProcessor {
public:
    // Creates the instance, its two events and its thread: EKLV_OK, or
    // EKLV_NO_RESOURCES. A second call keeps the instance.
    static std::uint32_t Initialize();
    // Stops the thread if the supervisor has not, waits for it, and
    // destroys the instance with every record left.
    static void UnInitialize();
    static CKLVDeviceChangeProcessor* GetInstance();
    // The thread's stop routine: 1 without instance or termination event,
    // else signals the termination event and answers 0.
    static int StopRoutine();

    // Appends under the queue lock, stamps the queued-at tick and signals
    // the device event. A null record is logged by the thread and passed over.
    void QueueRecord(std::unique_ptr<DeviceNotificationRecord> record);

    // 1 when an arrival or removal was carried out, else 0. When the
    // arrival's interface type is not decided yet, the record moves to the
    // pending arrivals (record is then null).
    std::uint32_t HandleDeviceNotification(std::unique_ptr<DeviceNotificationRecord>& record);
    // 1 when the interface was announced, else 0; record as above.
    std::uint32_t DeviceArrival(const std::string& tid, std::unique_ptr<DeviceNotificationRecord>& record);
    // Always 1.
    std::uint32_t DeviceRemoval(const std::string& tid, const DeviceNotificationRecord& record);
    void GetDeviceSessionInfo(DeviceSessionInfo* info, const DeviceNotificationRecord& record);

private:
    CKLVDeviceChangeProcessor() = default;
    ~CKLVDeviceChangeProcessor();

    static std::uint32_t DeviceChangeNotice(void* instance);
    std::size_t QueueLength();
    // True when no record is queued; the device event is then reset, ready
    // for the wait for the next one.
    bool ArmWhenEmpty();
    // Tries the pending arrivals that are due; answers the wait until the
    // next one is (pf::kInfinite when none waits).
    std::uint32_t RunDueRetries();
    // The end of an arrival once its interface type is known (or given up,
    // INF_UNDEFINED): adopts the session and announces the interface, or
    // deletes the session. 1 when announced.
    std::uint32_t CompleteArrival(std::unique_ptr<CEKLVUSBSession> session, const DeviceSessionInfo& info,
                                  const DeviceNotificationRecord& record, std::uint32_t type);

    pf::CriticalSection queue_lock_;  // queue_ and the two events
    std::deque<std::unique_ptr<DeviceNotificationRecord>> queue_;
    pf::Handle device_event_ = pf::kNullHandle;  // manual reset; set by every producer
    pf::Handle term_event_ = pf::kNullHandle;    // manual reset; set by the stop routine
    pf::Handle thread_ = pf::kNullHandle;        // DeviceChangeNotice, kept to wait for it
    PendingArrivals pending_;                    // the thread's alone
    // In self-monitoring mode, the interfaces announced and not removed
    // since (lower case), the thread's alone: an arrival of one of them is
    // not announced twice (a phone plugged while the start-up scan runs is
    // both broadcast and listed).
    std::set<std::string> announced_;
};

}  // namespace eklv
