// CKLVSessionList: the table of device sessions, a doubly linked list that
// host threads walk while the device-change thread inserts and deletes.
//
// Every iterator holds a reference on the node it stands on. A deletion
// unlinks its node at once but destroys it (and its session) only when the
// references have drained; a node still referenced after the delete wait
// (21 s) is parked in the trash list instead. Walks step under the list lock;
// a deletion holds back new steps (the stable event) until it has disposed
// of its node, and waits for steps in progress (the no-transit event) before
// it unlinks.
//
// Lock order: list lock, step lock, then the transit mutex or a node's
// reference mutex.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/handle.h"
#include "platform/sync.h"
#include "session/session.h"

namespace eklv {

struct DeviceListEntry {
    std::vector<std::uint32_t> types;
    std::uint16_t device_id = 65535;
};

class CKLVSessionList {
public:
    // The product's wait for a deleted node's references; tests shorten it.
    struct TestTimings {
        std::uint32_t delete_wait_ms = 21000;
    };

    class Node;

    class Iterator {
    public:
        explicit Iterator(CKLVSessionList& list);
        ~Iterator();
        Iterator(const Iterator&) = delete;
        Iterator& operator=(const Iterator&) = delete;

        // True on a session node that is not dead.
        bool IsValid() const;
        // The current node's session (null on a sentinel).
        CKLVSession* Get() const;

    private:
        friend class CKLVSessionList;
        CKLVSessionList& list_;
        Node* node_;
    };

    CKLVSessionList();
    ~CKLVSessionList();
    CKLVSessionList(const CKLVSessionList&) = delete;
    CKLVSessionList& operator=(const CKLVSessionList&) = delete;

    bool FindByDeviceId(Iterator& it, std::uint16_t device_id, bool restart);
    bool FindByTID(Iterator& it, const std::string& tid, bool restart);
    bool FindByInterface(Iterator& it, const std::string& name, bool restart);
    // Links the session behind the iterator's node (at the front for a fresh
    // iterator) and moves the iterator onto it; the list owns the session.
    // False, with the list unchanged and the session not taken, when the node
    // cannot be made.
    bool Insert(Iterator& it, CKLVSession* session);
    // Unlinks the iterator's node, moves the iterator to the next one, and
    // disposes of the node (see above). Does nothing for an invalid iterator.
    void Delete(Iterator& it);
    // 0, or 3 when the list is empty or no session has an interface.
    std::uint32_t GetDeviceList(Iterator& it, std::vector<std::uint16_t>* ids);
    // 0, or 3 when the list is empty.
    std::uint32_t GetDeviceListEx(Iterator& it, std::vector<DeviceListEntry>* entries);

    std::uint32_t Count();
    std::size_t TrashCount();
    void SetTestTimings(const TestTimings& timings) { timings_ = timings; }

private:
    template <class Match>
    bool Find(Iterator& it, bool restart, Match match);
    void StepForward(Iterator& it);
    void StepBack(Iterator& it);
    void MoveTo(Iterator& it, Node* target);
    void Restart(Iterator& it);
    bool IsEnd(const Node* node) const;
    void WaitNoTransit();
    void BeginStep(Node* from);
    void EndStep();

    std::uint32_t count_ = 0;
    Node* head_;
    Node* tail_;
    std::mutex transit_mutex_;
    std::uint32_t transit_ = 0;
    std::uint32_t transit_waiters_ = 0;  // threads in WaitNoTransit
    // Manual-reset; while a thread waits for it, signalled exactly when no
    // step is in progress.
    pf::Handle no_transit_;
    pf::Handle stable_;  // manual-reset, reset while a deletion disposes of its node
    pf::CriticalSection list_lock_;
    pf::CriticalSection step_lock_;
    std::mutex delete_mutex_;  // one deletion at a time, wait included
    std::mutex trash_mutex_;
    std::deque<Node*> trash_;
    TestTimings timings_;
};

}  // namespace eklv
