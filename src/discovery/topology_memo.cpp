#include "discovery/topology_memo.h"

namespace eklv {
namespace {

thread_local CKLVTopologyMemo* t_memo = nullptr;

}  // namespace

CKLVTopologyMemo::CKLVTopologyMemo() : owner_(t_memo == nullptr) {
    if (owner_) t_memo = this;
}

CKLVTopologyMemo::~CKLVTopologyMemo() {
    if (owner_) t_memo = nullptr;
}

bool CKLVTopologyMemo::FindParentHub(const std::string& name, std::string* hub_name) {
    if (t_memo == nullptr) return false;
    auto it = t_memo->hubs_.find(name);
    if (it == t_memo->hubs_.end()) return false;
    *hub_name = it->second;
    return true;
}

void CKLVTopologyMemo::KeepParentHub(const std::string& name, const std::string& hub_name) {
    if (t_memo != nullptr) t_memo->hubs_[name] = hub_name;
}

bool CKLVTopologyMemo::FindPort(const std::string& name, const std::string& hub_name, int* port) {
    if (t_memo == nullptr) return false;
    auto it = t_memo->ports_.find({name, hub_name});
    if (it == t_memo->ports_.end()) return false;
    *port = it->second;
    return true;
}

void CKLVTopologyMemo::KeepPort(const std::string& name, const std::string& hub_name, int port) {
    if (t_memo != nullptr) t_memo->ports_[{name, hub_name}] = port;
}

}  // namespace eklv
