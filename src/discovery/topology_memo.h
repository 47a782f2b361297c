// The place of a device in the tree (its parent hub and the hub port it is
// on) as one handling of a device change found it.
//
// Handling one arrival asks for it several times: for the device's TID,
// again for its device id, and once more for every descriptor read through
// the parent hub. Each answer walks up the device tree and over the hub's
// ports, most of an arrival's work. While a CKLVTopologyMemo lives on a
// thread, the successful answers of that thread are kept in it and given
// again; a failure is asked (and logged) afresh every time. A memo lives
// for the handling of one device change, so nothing it keeps outlives the
// handling that found it: a device re-plugged later is asked about anew.
#pragma once

#include <map>
#include <string>
#include <utility>

namespace eklv {

class CKLVTopologyMemo {
public:
    // Becomes the calling thread's memo; an outer one on the same thread
    // stays in use (one handling may run inside another's scope).
    CKLVTopologyMemo();
    ~CKLVTopologyMemo();
    CKLVTopologyMemo(const CKLVTopologyMemo&) = delete;
    CKLVTopologyMemo& operator=(const CKLVTopologyMemo&) = delete;

    // False when the thread has no memo or it holds no answer yet.
    static bool FindParentHub(const std::string& name, std::string* hub_name);
    static void KeepParentHub(const std::string& name, const std::string& hub_name);
    static bool FindPort(const std::string& name, const std::string& hub_name, int* port);
    static void KeepPort(const std::string& name, const std::string& hub_name, int port);

private:
    bool owner_;
    std::map<std::string, std::string> hubs_;
    std::map<std::pair<std::string, std::string>, int> ports_;
};

}  // namespace eklv
