// What eklvctl reads from the library's core log. No exported function
// answers a TID or the hubs the library knows, but at information level the
// device-id manager logs each root TID it gives a controller, each hub it
// maps with the hub's TID, each hub it forgets, and each device id it
// allocates with the port's TID.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace eklvctl {

// One topology line of the core log.
struct LogFact {
    enum class Kind {
        kNone,        // any other line
        kRootTid,     // name: a USB controller's instance id ("pci\0000:00:14.0")
        kHubTid,      // name: a hub's symbolic name, mapped to tid
        kHubRemoved,  // name: a hub's symbolic name, forgotten with its tid
        kDeviceTid,   // device_id allocated for the port tid
    };
    Kind kind = Kind::kNone;
    std::string name;
    std::string tid;
    std::uint16_t device_id = 0;
};

// The fact a log line states; kind kNone for every other line.
LogFact ParseLogLine(std::string line);

// Reads what the core log beside the library writes during this run: the
// log files' sizes are noted when it is made, and only text written later
// is read.
class LogTail {
public:
    explicit LogTail(std::string folder);

    // Text appended to the folder's *EKLV_Core.log files since construction.
    std::string NewText() const;
    // The complete lines appended since construction or the last call; a
    // line still being written waits for the next call.
    std::vector<std::string> TakeLines();
    // The TID of each device id, from the device-id manager's allocation
    // lines among the new text (none when information lines are not logged).
    std::map<std::uint16_t, std::string> Tids() const;
    // The root TID of each USB controller, from the same kind of lines.
    std::map<std::string, std::string> RootTids() const;
    // The most recently written log file, or empty when there is none.
    std::string NewestFile() const;

private:
    std::vector<std::string> Files() const;
    std::vector<LogFact> Facts() const;

    std::string folder_;
    std::map<std::string, std::uintmax_t> sizes_;  // at construction
    std::map<std::string, std::uintmax_t> taken_;  // up to the last TakeLines
};

}  // namespace eklvctl
