#include "hotplug/pending_arrivals.h"

#include <algorithm>

#include "platform/sync.h"

namespace eklv {

bool PendingArrivals::TakeDue(std::uint32_t now, PendingArrival* out) {
    for (auto it = items_.begin(); it != items_.end(); ++it) {
        if (TickAhead(now, it->due)) continue;
        *out = std::move(*it);
        items_.erase(it);
        return true;
    }
    return false;
}

bool PendingArrivals::HasNamed(const std::string& name) const {
    return std::any_of(items_.begin(), items_.end(),
                       [&](const PendingArrival& p) { return SameInterfaceName(p.info.DevicePath, name); });
}

std::vector<PendingArrival> PendingArrivals::TakeNamed(const std::string& name) {
    std::vector<PendingArrival> taken;
    for (auto it = items_.begin(); it != items_.end();) {
        if (!SameInterfaceName(it->info.DevicePath, name)) {
            ++it;
            continue;
        }
        taken.push_back(std::move(*it));
        it = items_.erase(it);
    }
    return taken;
}

std::uint32_t PendingArrivals::WaitFrom(std::uint32_t now) const {
    std::uint32_t wait = pf::kInfinite;
    for (const PendingArrival& p : items_) wait = std::min(wait, TickAhead(now, p.due) ? p.due - now : 0);
    return wait;
}

}  // namespace eklv
