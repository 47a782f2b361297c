#include "output.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "system.h"

namespace eklvctl {

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

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

LogTail::LogTail(std::string folder) : folder_(std::move(folder)) {
    std::error_code ec;
    for (const std::string& file : Files()) sizes_[file] = std::filesystem::file_size(file, ec);
}

std::vector<std::string> LogTail::Files() const {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, ec)) {
        std::string name = entry.path().filename().string();
        if (name.size() > 13 && name.compare(name.size() - 13, 13, "EKLV_Core.log") == 0)
            files.push_back(entry.path().string());
    }
    return files;
}

std::string LogTail::NewText() const {
    std::string text;
    for (const std::string& file : Files()) {
        auto known = sizes_.find(file);
        std::ifstream in(file, std::ios::binary);
        if (known != sizes_.end()) in.seekg(static_cast<std::streamoff>(known->second));
        std::ostringstream part;
        part << in.rdbuf();
        text += part.str();
    }
    return text;
}

std::map<std::uint16_t, std::string> LogTail::Tids() const {
    static const std::string kMark = "AllocUSBDeviceID - DevId = (";
    std::map<std::uint16_t, std::string> tids;
    std::istringstream lines(NewText());
    std::string line;
    while (std::getline(lines, line)) {
        std::size_t at = line.find(kMark);
        if (at == std::string::npos) continue;
        unsigned id = 0;
        char tid[64] = {};
        if (std::sscanf(line.c_str() + at + kMark.size(), "%u), TID = (%63[^)])", &id, tid) == 2 && id < 65535)
            tids[static_cast<std::uint16_t>(id)] = tid;
    }
    return tids;
}

std::map<std::string, std::string> LogTail::RootTids() const {
    static const std::string kMark = "AllocateRootTID - ";
    std::map<std::string, std::string> roots;
    std::istringstream lines(NewText());
    std::string line;
    while (std::getline(lines, line)) {
        std::size_t at = line.find(kMark);
        std::size_t colon = line.rfind(": ");
        if (at == std::string::npos || colon == std::string::npos || colon < at) continue;
        if (line.back() == '\r') line.pop_back();
        roots[line.substr(at + kMark.size(), colon - at - kMark.size())] = line.substr(colon + 2);
    }
    return roots;
}

std::string LogTail::NewestFile() const {
    std::string newest;
    std::filesystem::file_time_type newest_time{};
    std::error_code ec;
    for (const std::string& file : Files()) {
        auto t = std::filesystem::last_write_time(file, ec);
        if (!ec && (newest.empty() || t > newest_time)) {
            newest = file;
            newest_time = t;
        }
    }
    return newest;
}

}  // namespace eklvctl
