#include "platform/linux/present_interfaces.h"

#include <algorithm>

#include "platform/devnotify.h"

namespace eklv::pf::lx {
namespace {

bool IsBelow(const std::string& path, const std::string& ancestor) {
    return path.size() > ancestor.size() && path.compare(0, ancestor.size(), ancestor) == 0 &&
           path[ancestor.size()] == '/';
}

bool SameNames(const PresentInterfaces::Names& a, const PresentInterfaces::Names& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!(a[i].interface_class == b[i].interface_class) || a[i].symbolic_name != b[i].symbolic_name)
            return false;
    }
    return true;
}

void Announce(std::uint32_t event, const PresentInterfaces::Names& names, bool reverse,
              std::vector<Broadcast>* out) {
    if (reverse) {
        for (auto it = names.rbegin(); it != names.rend(); ++it)
            out->push_back({event, it->interface_class, it->symbolic_name});
    } else {
        for (const auto& name : names) out->push_back({event, name.interface_class, name.symbolic_name});
    }
}

}  // namespace

void PresentInterfaces::Add(const std::string& syspath, Names names, bool replay, std::vector<Broadcast>* out) {
    auto it = nodes_.find(syspath);
    if (it != nodes_.end() && SameNames(it->second, names)) {
        if (replay) return;
    } else if (it != nodes_.end()) {
        Announce(kDbtDeviceRemoveComplete, it->second, true, out);
    }
    Announce(kDbtDeviceArrival, names, false, out);
    nodes_[syspath] = std::move(names);
}

void PresentInterfaces::Remove(const std::string& syspath, std::vector<Broadcast>* out) {
    std::vector<std::map<std::string, Names>::iterator> gone;
    for (auto it = nodes_.lower_bound(syspath); it != nodes_.end(); ++it) {
        if (it->first != syspath && !IsBelow(it->first, syspath)) break;
        gone.push_back(it);
    }
    // Deeper paths first: children are removed before their parents.
    std::stable_sort(gone.begin(), gone.end(), [](const auto& a, const auto& b) {
        return std::count(a->first.begin(), a->first.end(), '/') > std::count(b->first.begin(), b->first.end(), '/');
    });
    for (auto it : gone) {
        Announce(kDbtDeviceRemoveComplete, it->second, true, out);
        nodes_.erase(it);
    }
}

void PresentInterfaces::Resync(std::map<std::string, Names> now, std::vector<Broadcast>* out) {
    std::vector<std::string> gone;
    for (const auto& [path, names] : nodes_) {
        auto it = now.find(path);
        if (it == now.end() || !SameNames(it->second, names)) gone.push_back(path);
    }
    for (auto it = gone.rbegin(); it != gone.rend(); ++it) {
        auto node = nodes_.find(*it);
        if (node == nodes_.end()) continue;
        Announce(kDbtDeviceRemoveComplete, node->second, true, out);
        nodes_.erase(node);
    }
    for (auto& [path, names] : now) {
        if (nodes_.count(path) != 0) continue;
        Announce(kDbtDeviceArrival, names, false, out);
        nodes_.emplace(path, std::move(names));
    }
}

}  // namespace eklv::pf::lx
