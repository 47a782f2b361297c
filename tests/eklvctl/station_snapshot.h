// A station snapshot (GET /api/station) as the tests read it.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace eklv::test {

using Snapshot = nlohmann::ordered_json;

// The port object at tid anywhere in the snapshot's tree; null when none.
inline const Snapshot* PortAt(const Snapshot& snapshot, const std::string& tid) {
    struct Walk {
        const std::string& tid;
        const Snapshot* In(const Snapshot& hub) const {
            for (const Snapshot& port : hub["ports"]) {
                if (port["tid"] == tid) return &port;
                if (port["state"] == "hub")
                    if (const Snapshot* found = In(port["hub"])) return found;
            }
            return nullptr;
        }
    } walk{tid};
    if (!snapshot.is_object() || !snapshot.contains("controllers")) return nullptr;  // not drawn yet
    for (const Snapshot& controller : snapshot["controllers"])
        for (const Snapshot& hub : controller["hubs"])
            if (const Snapshot* found = walk.In(hub)) return found;
    return nullptr;
}

}  // namespace eklv::test
