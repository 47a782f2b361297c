#include "session/session_list.h"

#include <atomic>
#include <chrono>
#include <new>

#include "eklv/eklv.h"
#include "log/message_logger.h"

namespace eklv {

class CKLVSessionList::Node {
public:
    explicit Node(CKLVSession* s) : session(s), no_refs(pf::CreateEventA(true, false)) {}
    virtual ~Node() {
        delete session;
        if (no_refs != pf::kNullHandle) pf::CloseHandle(no_refs);
    }

    // Once a deletion waits for the references to drain (WatchDrain), the
    // event follows the count under the mutex, so a deletion that sees it
    // signalled and then the count at 0 knows no reference is left. Before
    // that nobody waits for it: walks take and drop a reference at every
    // step and need not set and reset it each time.
    void AddRef() {
        std::lock_guard<std::mutex> lock(ref_mutex);
        if (refs++ == 0 && drain_watched) pf::ResetEvent(no_refs);
    }
    void Release() {
        std::lock_guard<std::mutex> lock(ref_mutex);
        if (--refs == 0 && drain_watched) pf::SetEvent(no_refs);
    }
    void WatchDrain() {
        std::lock_guard<std::mutex> lock(ref_mutex);
        drain_watched = true;
        if (refs == 0)
            pf::SetEvent(no_refs);
        else
            pf::ResetEvent(no_refs);
    }
    bool Unreferenced() {
        std::lock_guard<std::mutex> lock(ref_mutex);
        return refs == 0;
    }

    std::uint32_t refs = 0;
    bool drain_watched = false;
    std::mutex ref_mutex;
    Node* next = nullptr;
    Node* prev = nullptr;
    CKLVSession* session;
    const pf::Handle no_refs;
    std::atomic<bool> unlinked{false};
    std::atomic<bool> dead{false};
};

CKLVSessionList::Iterator::Iterator(CKLVSessionList& list) : list_(list), node_(list.head_) { node_->AddRef(); }

CKLVSessionList::Iterator::~Iterator() { node_->Release(); }

bool CKLVSessionList::Iterator::IsValid() const { return !list_.IsEnd(node_); }

// Not under the list lock: the iterator's reference keeps the node, and a
// node's session never changes once the node is linked. Taking the lock
// here would deadlock a host call that found a session just before its
// removal: the deletion waits for that call's reference, while searches
// that hold the list lock wait for the deletion to finish.
CKLVSession* CKLVSessionList::Iterator::Get() const { return node_->session; }

CKLVSessionList::CKLVSessionList()
    : head_(new Node(nullptr)),
      tail_(new Node(nullptr)),
      no_transit_(pf::CreateEventA(true, true)),
      stable_(pf::CreateEventA(true, true)) {
    head_->prev = head_;
    head_->next = tail_;
    tail_->prev = head_;
    tail_->next = tail_;
}

CKLVSessionList::~CKLVSessionList() {
    WaitNoTransit();
    pf::ResetEvent(stable_);
    Node* node = head_;
    while (node != tail_) {
        Node* next = node->next;
        delete node;
        node = next;
    }
    delete tail_;
    for (Node* trashed : trash_) delete trashed;
    pf::CloseHandle(no_transit_);
    pf::CloseHandle(stable_);
}

bool CKLVSessionList::IsEnd(const Node* node) const { return node == head_ || node == tail_ || node->dead; }

// The no-transit event follows the transit count only while someone waits
// for it, so that a walk, one step after the other, makes no system call
// for it.
void CKLVSessionList::WaitNoTransit() {
    {
        std::lock_guard<std::mutex> lock(transit_mutex_);
        ++transit_waiters_;
        if (transit_ == 0)
            pf::SetEvent(no_transit_);
        else
            pf::ResetEvent(no_transit_);
    }
    pf::WaitForSingleObject(no_transit_, pf::kInfinite);
    std::lock_guard<std::mutex> lock(transit_mutex_);
    --transit_waiters_;
}

void CKLVSessionList::BeginStep(Node* from) {
    step_lock_.Enter();
    {
        std::lock_guard<std::mutex> lock(transit_mutex_);
        if (transit_++ == 0 && transit_waiters_ != 0) pf::ResetEvent(no_transit_);
    }
    step_lock_.Leave();
    // A walker standing on a node that is being deleted may leave it at once.
    if (!from->unlinked) pf::WaitForSingleObject(stable_, pf::kInfinite);
}

void CKLVSessionList::EndStep() {
    std::lock_guard<std::mutex> lock(transit_mutex_);
    if (--transit_ == 0 && transit_waiters_ != 0) pf::SetEvent(no_transit_);
}

void CKLVSessionList::MoveTo(Iterator& it, Node* target) {
    target->AddRef();
    Node* old = it.node_;
    it.node_ = target;
    old->Release();
}

void CKLVSessionList::StepForward(Iterator& it) {
    BeginStep(it.node_);
    MoveTo(it, it.node_->dead ? tail_ : it.node_->next);
    EndStep();
}

void CKLVSessionList::StepBack(Iterator& it) {
    BeginStep(it.node_);
    MoveTo(it, it.node_->dead ? head_ : it.node_->prev);
    EndStep();
}

void CKLVSessionList::Restart(Iterator& it) {
    BeginStep(it.node_);
    MoveTo(it, head_);
    EndStep();
}

template <class Match>
bool CKLVSessionList::Find(Iterator& it, bool restart, Match match) {
    pf::ScopedLock lock(list_lock_);
    if (restart) Restart(it);
    for (;;) {
        StepForward(it);
        if (IsEnd(it.node_)) return false;
        if (match(it.node_->session)) return true;
    }
}

bool CKLVSessionList::FindByDeviceId(Iterator& it, std::uint16_t device_id, bool restart) {
    return Find(it, restart, [&](CKLVSession* s) { return s->GetDeviceId() == device_id; });
}

bool CKLVSessionList::FindByTID(Iterator& it, const std::string& tid, bool restart) {
    return Find(it, restart, [&](CKLVSession* s) { return s->GetTID() == tid; });
}

bool CKLVSessionList::FindByInterface(Iterator& it, const std::string& name, bool restart) {
    return Find(it, restart, [&](CKLVSession* s) { return s->HasInterface(name); });
}

bool CKLVSessionList::Insert(Iterator& it, CKLVSession* session) {
    pf::ScopedLock lock(list_lock_);
    // From a sentinel or a node on its way out, insert behind the node before.
    if (IsEnd(it.node_) || it.node_->unlinked) StepBack(it);
    Node* node = new (std::nothrow) Node(session);
    if (node == nullptr) return false;
    if (node->no_refs == pf::kNullHandle) {
        node->session = nullptr;  // not ours yet
        delete node;
        return false;
    }
    Node* prev = it.node_;
    Node* next = prev->next;
    node->prev = prev;
    node->next = next;
    BeginStep(prev);
    MoveTo(it, node);
    EndStep();
    prev->next = node;
    next->prev = node;
    ++count_;
    return true;
}

void CKLVSessionList::Delete(Iterator& it) {
    std::lock_guard<std::mutex> serial(delete_mutex_);
    list_lock_.Enter();
    Node* node = it.node_;
    if (IsEnd(node) || node->unlinked) {
        list_lock_.Leave();
        return;
    }
    step_lock_.Enter();
    WaitNoTransit();
    pf::ResetEvent(stable_);
    node->unlinked = true;
    step_lock_.Leave();
    node->prev->next = node->next;
    node->next->prev = node->prev;
    MoveTo(it, node->next);
    --count_;
    list_lock_.Leave();

    const std::uint16_t device_id = node->session->GetDeviceId();
    node->WatchDrain();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timings_.delete_wait_ms);
    bool drained = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        std::uint32_t r = pf::WaitForSingleObject(node->no_refs, left.count() > 0 ? static_cast<std::uint32_t>(left.count()) : 0);
        if (r == pf::kWaitObject0 && node->Unreferenced()) {
            drained = true;
            break;
        }
        if (r != pf::kWaitObject0) break;
    }
    if (drained) {
        LogMessage(device_id, kLogInfo, kCatGeneral, "CKLVSessionList::Delete - Session removed");
        delete node;
    } else {
        node->dead = true;
        std::vector<Node*> doomed;
        {
            std::lock_guard<std::mutex> lock(trash_mutex_);
            trash_.push_back(node);
            if (trash_.size() >= 50) {
                // Oldest first, down to 24. A node that an iterator still
                // stands on is kept: destroying it would pull memory out from
                // under that iterator.
                for (auto t = trash_.begin(); t != trash_.end() && trash_.size() >= 25;) {
                    if ((*t)->Unreferenced()) {
                        doomed.push_back(*t);
                        t = trash_.erase(t);
                    } else {
                        ++t;
                    }
                }
            }
        }
        for (Node* d : doomed) delete d;
        LogMessage(device_id, kLogWarning, kCatGeneral, "CKLVSessionList::Delete - Added to trash list");
    }
    pf::SetEvent(stable_);
}

std::uint32_t CKLVSessionList::GetDeviceList(Iterator& it, std::vector<std::uint16_t>* ids) {
    ids->clear();
    pf::ScopedLock lock(list_lock_);
    if (count_ == 0) return EKLV_NO_SUCH_DEVICE;
    WaitNoTransit();
    Restart(it);
    for (;;) {
        StepForward(it);
        Node* n = it.node_;
        if (IsEnd(n)) break;
        pf::ScopedLock step(step_lock_);
        if (!n->unlinked && n->session->GetInterfaceCount() > 0) ids->push_back(n->session->GetDeviceId());
    }
    if (ids->empty()) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "KLVSessionMgr::GetDeviceList - Size = (0)");
        return EKLV_NO_SUCH_DEVICE;
    }
    return EKLV_OK;
}

std::uint32_t CKLVSessionList::GetDeviceListEx(Iterator& it, std::vector<DeviceListEntry>* entries) {
    entries->clear();
    pf::ScopedLock lock(list_lock_);
    if (count_ == 0) return EKLV_NO_SUCH_DEVICE;
    entries->resize(count_);
    WaitNoTransit();
    Restart(it);
    for (std::size_t k = 0; k < entries->size(); ++k) {
        StepForward(it);
        Node* n = it.node_;
        if (IsEnd(n)) break;
        pf::ScopedLock step(step_lock_);
        if (n->unlinked || n->session->GetInterfaceCount() == 0) continue;
        std::vector<InterfaceRecord> records;
        n->session->GetInterfaces(&records);
        DeviceListEntry& entry = (*entries)[k];
        entry.device_id = n->session->GetDeviceId();
        for (const auto& r : records) entry.types.push_back(r.Type);
    }
    LogMessage(kNoDevice, kLogInfo, kCatGeneral, "KLVSessionMgr::GetDeviceListEx - Size = %d",
               static_cast<int>(entries->size()));
    return 0;
}

std::uint32_t CKLVSessionList::Count() {
    pf::ScopedLock lock(list_lock_);
    return count_;
}

std::size_t CKLVSessionList::TrashCount() {
    std::lock_guard<std::mutex> lock(trash_mutex_);
    return trash_.size();
}

}  // namespace eklv
