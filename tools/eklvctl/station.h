// The station as the view draws it: USB controllers with their root TIDs,
// the hubs below them with their ports, and on each port the phone the
// library announced there. A removed phone stays on its port for a while,
// first "removed", then "fading", so that an operator sees which one left.
//
// Topology comes from the core log's device-id manager lines (core_log.h):
// a hub's TID is its parent hub's TID, a dot and its port, so the tree is
// rebuilt from TIDs alone; a root hub belongs to the controller that got
// its root TID. Port counts come from the platform (HubPortCount). The
// model is plain data, driven by one thread, and knows no library.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core_log.h"
#include "json_text.h"
#include "phones.h"

namespace eklvctl {

class Station {
public:
    using Time = std::chrono::steady_clock::time_point;
    // How long a removed phone shows as removed, then as fading.
    static constexpr std::chrono::milliseconds kRemovedFor{3000};
    static constexpr std::chrono::milliseconds kFadingFor{5000};

    // Takes a topology line of the core log; true when the tree changed.
    bool Learn(const LogFact& fact);
    // Hubs whose port count has not been set.
    std::vector<std::string> HubsToCount() const;
    // ports < 0: the platform could not tell.
    void SetPortCount(const std::string& hub_name, int ports);
    // The TID the log gave device id; empty when none.
    std::string TidOf(std::uint16_t id) const;

    // The phone as it is after an announcement of its id, at when (the
    // announcement's time of day).
    void Present(Phone phone, std::chrono::system_clock::time_point when);
    // The phone with id left at now (steady) and when (time of day).
    void Gone(std::uint16_t id, Time now, std::chrono::system_clock::time_point when);
    // An interface of a present phone opened or closed by this program.
    void SetOpen(std::uint16_t id, std::uint32_t type, bool open);
    bool IsPresent(std::uint16_t id) const { return present_.count(id) != 0; }
    // The COM port of a present phone's interface; empty when none.
    std::string ComPortOf(std::uint16_t id, std::uint32_t type) const;

    // When a removed phone next changes state; nullopt when none will.
    std::optional<Time> NextChange() const;
    // Moves removed phones on to fading and off the station as of now;
    // true when any changed.
    bool Age(Time now);

    // {"controllers":[{"controller","root_tids","hubs":[hub]}],
    //  "unplaced":[phone],"phones":N}; hub {"name","device","tid","root","port_count",
    //  "ports":[{"port","tid","state","hub"|"phone"}]}; phone: PhoneJson
    //  with "state" and "since", each interface with "open".
    JsonValue Snapshot(Time now) const;

private:
    struct Card {
        Phone phone;
        std::set<std::uint32_t> open;  // interface types open by this program
        std::string since;             // time of day of the last change
        std::optional<Time> removed;   // when it left; unset while present
        std::string shown;             // the state Age last saw
    };
    struct Hub {
        std::string tid;
        std::optional<int> ports;  // unset: not asked yet; -1: unknown
    };

    const char* StateOf(const Card& card, Time now) const;
    JsonValue CardJson(const Card& card, Time now) const;
    JsonValue HubJson(const std::string& name, const Hub& hub, bool root, Time now, std::set<std::string>* drawn,
                      std::set<const Card*>* placed) const;
    // The card shown at tid: a present phone before a removed one.
    const Card* CardAt(const std::string& tid) const;
    std::string CardTid(const Card& card) const;

    std::vector<std::pair<std::string, std::string>> roots_;  // controller, root TID
    std::map<std::string, Hub> hubs_;                         // by symbolic name
    std::map<std::uint16_t, std::string> device_tids_;
    std::map<std::uint16_t, Card> present_;
    std::vector<Card> removed_;
};

// Splits "1.3.2" into its parent "1.3" and port 2; false when tid does not
// end in a port number.
bool SplitTid(const std::string& tid, std::string* parent, int* port);

}  // namespace eklvctl
