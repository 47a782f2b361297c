// The device interfaces of the nodes the device monitor has seen, by sysfs
// path: a removal carries the names of the arrival after sysfs has gone,
// and after lost uevents the tree is compared with what is known.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/linux/udev_tree.h"

namespace eklv::pf::lx {

// One device-interface arrival or removal.
struct Broadcast {
    std::uint32_t event;  // kDbtDeviceArrival or kDbtDeviceRemoveComplete
    Guid interface_class;
    std::string symbolic_name;
};

class PresentInterfaces {
public:
    using Names = std::vector<DeviceTree::InterfaceName>;

    // An added node: if it was known under other names, the removal of
    // those first; then the arrival of every name, again if it was known
    // (an "add" racing the enumeration at start is never lost), unless the
    // add is a replay (udevadm trigger, SYNTH_UUID) of a node known under
    // the same names: that is no new plug and announces nothing.
    void Add(const std::string& syspath, Names names, bool replay, std::vector<Broadcast>* out);
    // A removed node: the removal of its names and of every known node
    // below it, deepest first, each node's names in reverse order.
    void Remove(const std::string& syspath, std::vector<Broadcast>* out);
    // Takes the nodes present now (path -> names): removals of the known
    // ones that are gone, then arrivals of the new ones.
    void Resync(std::map<std::string, Names> now, std::vector<Broadcast>* out);
    // Remembers without announcing (the nodes present at start).
    void Remember(const std::string& syspath, Names names) { nodes_[syspath] = std::move(names); }
    void Clear() { nodes_.clear(); }
    std::size_t size() const { return nodes_.size(); }

private:
    std::map<std::string, Names> nodes_;
};

}  // namespace eklv::pf::lx
