#include "station.h"

#include <algorithm>
#include <cctype>

#include "library.h"
#include "output.h"

namespace eklvctl {

bool SplitTid(const std::string& tid, std::string* parent, int* port) {
    std::size_t dot = tid.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == tid.size() || tid.size() - dot > 4) return false;
    for (std::size_t i = dot + 1; i < tid.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(tid[i]))) return false;
    *parent = tid.substr(0, dot);
    *port = std::stoi(tid.substr(dot + 1));
    return *port > 0;
}

bool Station::Learn(const LogFact& fact) {
    switch (fact.kind) {
        case LogFact::Kind::kRootTid: {
            std::pair<std::string, std::string> root{fact.name, fact.tid};
            if (std::find(roots_.begin(), roots_.end(), root) != roots_.end()) return false;
            roots_.push_back(std::move(root));
            return true;
        }
        case LogFact::Kind::kHubTid: {
            Hub& hub = hubs_[fact.name];
            if (hub.tid == fact.tid) return false;
            hub.tid = fact.tid;
            return true;
        }
        case LogFact::Kind::kHubRemoved:
            return hubs_.erase(fact.name) != 0;
        case LogFact::Kind::kDeviceTid: {
            std::string& tid = device_tids_[fact.device_id];
            if (tid == fact.tid) return false;
            tid = fact.tid;
            return present_.count(fact.device_id) != 0;
        }
        case LogFact::Kind::kNone:
            break;
    }
    return false;
}

std::vector<std::string> Station::HubsToCount() const {
    std::vector<std::string> names;
    for (const auto& [name, hub] : hubs_)
        if (!hub.ports) names.push_back(name);
    return names;
}

void Station::SetPortCount(const std::string& hub_name, int ports) {
    auto hub = hubs_.find(hub_name);
    if (hub != hubs_.end()) hub->second.ports = ports < 0 ? -1 : ports;
}

std::string Station::TidOf(std::uint16_t id) const {
    auto tid = device_tids_.find(id);
    return tid == device_tids_.end() ? "" : tid->second;
}

void Station::Present(Phone phone, std::chrono::system_clock::time_point when) {
    Card& card = present_[phone.id];
    if (card.since.empty()) card.since = ClockTime(when);
    // Open marks survive for the interfaces still there.
    std::set<std::uint32_t> open;
    for (const PhoneInterface& i : phone.interfaces)
        if (card.open.count(i.type)) open.insert(i.type);
    card.open = std::move(open);
    card.phone = std::move(phone);
    card.removed.reset();
    // A phone back on its port replaces the card of the one that left.
    const std::string tid = CardTid(card);
    removed_.erase(std::remove_if(removed_.begin(), removed_.end(),
                                  [&](const Card& gone) {
                                      return gone.phone.id == card.phone.id || (!tid.empty() && CardTid(gone) == tid);
                                  }),
                   removed_.end());
}

void Station::Gone(std::uint16_t id, Time now, std::chrono::system_clock::time_point when) {
    auto found = present_.find(id);
    if (found == present_.end()) return;
    Card card = std::move(found->second);
    present_.erase(found);
    card.phone.tid = CardTid(card);  // kept: the id may be given to another port later
    card.open.clear();
    card.removed = now;
    card.since = ClockTime(when);
    card.shown = "removed";
    removed_.push_back(std::move(card));
}

void Station::SetOpen(std::uint16_t id, std::uint32_t type, bool open) {
    auto found = present_.find(id);
    if (found == present_.end()) return;
    if (open)
        found->second.open.insert(type);
    else
        found->second.open.erase(type);
}

std::string Station::ComPortOf(std::uint16_t id, std::uint32_t type) const {
    auto found = present_.find(id);
    if (found == present_.end()) return "";
    for (const PhoneInterface& i : found->second.phone.interfaces)
        if (i.type == type && i.com_port_result == EKLV_OK) return i.com_port;
    return "";
}

std::optional<Station::Time> Station::NextChange() const {
    std::optional<Time> next;
    for (const Card& card : removed_) {
        Time at = *card.removed + (card.shown == "removed" ? kRemovedFor : kRemovedFor + kFadingFor);
        if (!next || at < *next) next = at;
    }
    return next;
}

bool Station::Age(Time now) {
    bool changed = false;
    for (auto card = removed_.begin(); card != removed_.end();) {
        if (now >= *card->removed + kRemovedFor + kFadingFor) {
            card = removed_.erase(card);
            changed = true;
            continue;
        }
        std::string state = StateOf(*card, now);
        if (state != card->shown) {
            card->shown = state;
            changed = true;
        }
        ++card;
    }
    return changed;
}

const char* Station::StateOf(const Card& card, Time now) const {
    if (card.removed) return now < *card.removed + kRemovedFor ? "removed" : "fading";
    return card.open.empty() ? "arrived" : "open";
}

std::string Station::CardTid(const Card& card) const {
    if (card.removed) return card.phone.tid;
    std::string tid = TidOf(card.phone.id);
    return tid.empty() ? card.phone.tid : tid;
}

const Station::Card* Station::CardAt(const std::string& tid) const {
    for (const auto& [id, card] : present_)
        if (CardTid(card) == tid) return &card;
    for (auto card = removed_.rbegin(); card != removed_.rend(); ++card)
        if (CardTid(*card) == tid) return &*card;
    return nullptr;
}

JsonValue Station::CardJson(const Card& card, Time now) const {
    Phone phone = card.phone;
    phone.tid = CardTid(card);
    JsonValue json = PhoneJson(phone);
    json["state"] = StateOf(card, now);
    json["since"] = card.since;
    for (std::size_t i = 0; i < phone.interfaces.size(); ++i)
        json["interfaces"][i]["open"] = card.open.count(phone.interfaces[i].type) != 0;
    return json;
}

JsonValue Station::HubJson(const std::string& name, const Hub& hub, bool root, Time now,
                           std::set<std::string>* drawn, std::set<const Card*>* placed) const {
    drawn->insert(name);
    // What hangs on each port, by port number.
    std::map<int, JsonValue> ports;
    const int count = hub.ports.value_or(-1);
    for (int p = 1; p <= count; ++p)
        ports[p] = {{"port", p}, {"tid", hub.tid + "." + std::to_string(p)}, {"state", "empty"}};
    for (const auto& [child_name, child] : hubs_) {
        std::string parent;
        int port = 0;
        if (drawn->count(child_name) || !SplitTid(child.tid, &parent, &port) || parent != hub.tid) continue;
        JsonValue& slot = ports[port];
        slot = {{"port", port}, {"tid", child.tid}, {"state", "hub"}};
        slot["hub"] = HubJson(child_name, child, false, now, drawn, placed);
    }
    auto place = [&](const Card& card) {
        std::string parent;
        int port = 0;
        const std::string tid = CardTid(card);
        if (!SplitTid(tid, &parent, &port) || parent != hub.tid) return;
        const Card* shown = CardAt(tid);
        if (shown != &card || (ports.count(port) != 0 && ports[port]["state"] == "hub")) return;
        JsonValue& slot = ports[port];
        slot = {{"port", port}, {"tid", tid}, {"state", "phone"}};
        slot["phone"] = CardJson(card, now);
        placed->insert(&card);
    };
    for (const auto& [id, card] : present_) place(card);
    for (const Card& card : removed_) place(card);

    JsonValue list = JsonValue::array();
    for (auto& [port, slot] : ports) list.push_back(std::move(slot));
    return {{"name", name},
            {"device", InstanceFromName(name)},
            {"tid", hub.tid},
            {"root", root},
            {"port_count", count >= 0 ? JsonValue(count) : JsonValue(nullptr)},
            {"ports", std::move(list)}};
}

JsonValue Station::Snapshot(Time now) const {
    std::set<std::string> drawn;
    std::set<const Card*> placed;
    // Controllers in name order, each with the root hubs that have one of
    // its root TIDs; root hubs whose controller the log did not tell go
    // under a controller null.
    std::map<std::string, std::vector<std::string>> controllers;
    for (const auto& [controller, tid] : roots_) controllers[controller].push_back(tid);
    auto is_root = [&](const Hub& hub) {
        std::string parent;
        int port = 0;
        if (!SplitTid(hub.tid, &parent, &port)) return true;
        return std::none_of(hubs_.begin(), hubs_.end(), [&](const auto& other) { return other.second.tid == parent; });
    };
    JsonValue list = JsonValue::array();
    for (const auto& [controller, tids] : controllers) {
        JsonValue hubs = JsonValue::array();
        for (const auto& [name, hub] : hubs_) {
            if (drawn.count(name) || std::find(tids.begin(), tids.end(), hub.tid) == tids.end()) continue;
            hubs.push_back(HubJson(name, hub, true, now, &drawn, &placed));
        }
        list.push_back({{"controller", controller}, {"root_tids", tids}, {"hubs", std::move(hubs)}});
    }
    JsonValue orphans = JsonValue::array();
    for (const auto& [name, hub] : hubs_)
        if (!drawn.count(name) && is_root(hub)) orphans.push_back(HubJson(name, hub, true, now, &drawn, &placed));
    if (!orphans.empty())
        list.push_back({{"controller", nullptr}, {"root_tids", JsonValue::array()}, {"hubs", std::move(orphans)}});

    JsonValue unplaced = JsonValue::array();
    for (const auto& [id, card] : present_)
        if (!placed.count(&card)) unplaced.push_back(CardJson(card, now));
    return {{"controllers", std::move(list)},
            {"unplaced", std::move(unplaced)},
            {"phones", present_.size()}};
}

}  // namespace eklvctl
