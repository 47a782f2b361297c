// Small text helpers for eklvctl's output: JSON strings, clock times, AT
// response lines, and what the library's core log says of device ids.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace eklvctl {

// The text as a JSON string literal, quotes included.
std::string Json(const std::string& text);
// "14:03:07.412", local time.
std::string ClockTime(std::chrono::system_clock::time_point when);

// A modem response split into its non-empty lines, CR and LF removed.
std::vector<std::string> ResponseLines(const std::string& response);
// The final result code of a response: "OK", an error line ("ERROR",
// "+CME ERROR: 10", "NO CARRIER", ...), or empty when it has none yet.
std::string FinalResult(const std::string& response);
bool IsErrorResult(const std::string& final_result);

// Reads what the core log beside the library writes during this run: the
// log files' sizes are noted when it is made, and only text written later
// is read.
class LogTail {
public:
    explicit LogTail(std::string folder);

    // Text appended to the folder's *EKLV_Core.log files since construction.
    std::string NewText() const;
    // The TID of each device id, from the device-id manager's allocation
    // lines among the new text (none when information lines are not logged).
    std::map<std::uint16_t, std::string> Tids() const;
    // The root TID of each USB controller, from the same kind of lines.
    std::map<std::string, std::string> RootTids() const;
    // The most recently written log file, or empty when there is none.
    std::string NewestFile() const;

private:
    std::vector<std::string> Files() const;

    std::string folder_;
    std::map<std::string, std::uintmax_t> sizes_;
};

}  // namespace eklvctl
