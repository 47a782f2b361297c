#include "output.h"

#include <cstdio>
#include <ctime>

#include "system.h"

namespace eklvctl {

std::string ClockTime(std::chrono::system_clock::time_point when) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
    std::tm local = LocalTime(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(ms));
    return text;
}

std::vector<std::string> ResponseLines(const std::string& response) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : response) {
        if (c == '\r' || c == '\n' || c == '\0') {
            if (!line.empty()) lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

bool IsErrorResult(const std::string& r) {
    return r == "ERROR" || r.rfind("+CME ERROR", 0) == 0 || r.rfind("+CMS ERROR", 0) == 0 || r == "NO CARRIER" ||
           r == "BUSY" || r == "NO ANSWER" || r == "NO DIALTONE";
}

std::string FinalResult(const std::string& response) {
    for (const std::string& line : ResponseLines(response))
        if (line == "OK" || IsErrorResult(line)) return line;
    return "";
}

}  // namespace eklvctl
