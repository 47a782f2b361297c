// Small text helpers for eklvctl's output: clock times and AT response
// lines.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace eklvctl {

// "14:03:07.412", local time.
std::string ClockTime(std::chrono::system_clock::time_point when);

// A modem response split into its non-empty lines, CR and LF removed.
std::vector<std::string> ResponseLines(const std::string& response);
// The final result code of a response: "OK", an error line ("ERROR",
// "+CME ERROR: 10", "NO CARRIER", ...), or empty when it has none yet.
std::string FinalResult(const std::string& response);
bool IsErrorResult(const std::string& final_result);

}  // namespace eklvctl
