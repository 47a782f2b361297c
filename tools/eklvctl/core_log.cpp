#include "core_log.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace eklvctl {
namespace {

constexpr const char* kRootMark = "CKLVDeviceIdMgr::AllocateRootTID - ";
constexpr const char* kHubMark = "CKLVDeviceIdMgr::AddHubToTIDMap - ";
constexpr const char* kHubRemovedMark = "CKLVDeviceIdMgr::AddRemoveUSBHub - (";
constexpr const char* kDeviceMark = "CKLVDeviceIdMgr::AllocUSBDeviceID - DevId = (";

// The text after mark in line, or npos.
std::size_t After(const std::string& line, const char* mark) {
    std::size_t at = line.find(mark);
    return at == std::string::npos ? at : at + std::char_traits<char>::length(mark);
}

}  // namespace

LogFact ParseLogLine(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    LogFact fact;
    std::size_t at = std::string::npos;
    if ((at = After(line, kDeviceMark)) != std::string::npos) {
        unsigned id = 0;
        char tid[64] = {};
        if (std::sscanf(line.c_str() + at, "%u), TID = (%63[^)])", &id, tid) == 2 && id < 65535) {
            fact = {LogFact::Kind::kDeviceTid, "", tid, static_cast<std::uint16_t>(id)};
        }
    } else if ((at = After(line, kRootMark)) != std::string::npos || (at = After(line, kHubMark)) != std::string::npos) {
        // "<controller or hub>: <tid>"; the warnings of the same operations
        // hold no ": " or a space in the name.
        const bool root = line.find(kRootMark) != std::string::npos;
        std::size_t colon = line.rfind(": ");
        if (colon != std::string::npos && colon > at && colon + 2 < line.size()) {
            std::string name = line.substr(at, colon - at);
            if (name.find(' ') == std::string::npos)
                fact = {root ? LogFact::Kind::kRootTid : LogFact::Kind::kHubTid, name, line.substr(colon + 2), 0};
        }
    } else if ((at = After(line, kHubRemovedMark)) != std::string::npos) {
        // "(<hub name>, <tid>) removed"; the same operation logs each port
        // id it forgets as "(<tid>, <device id>) removed".
        std::size_t comma = line.rfind(", ");
        std::size_t close = line.rfind(") removed");
        if (comma != std::string::npos && close != std::string::npos && at < comma && comma < close) {
            std::string name = line.substr(at, comma - at);
            if (name.find('#') != std::string::npos)
                fact = {LogFact::Kind::kHubRemoved, name, line.substr(comma + 2, close - comma - 2), 0};
        }
    }
    return fact;
}

LogTail::LogTail(std::string folder) : folder_(std::move(folder)) {
    std::error_code ec;
    for (const std::string& file : Files()) sizes_[file] = std::filesystem::file_size(file, ec);
    taken_ = sizes_;
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

std::vector<std::string> LogTail::TakeLines() {
    std::vector<std::string> lines;
    for (const std::string& file : Files()) {
        std::uintmax_t& offset = taken_[file];
        std::ifstream in(file, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(offset));
        std::ostringstream part;
        part << in.rdbuf();
        const std::string text = part.str();
        std::size_t begin = 0;
        for (std::size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1)
            lines.push_back(text.substr(begin, end - begin));
        offset += begin;
    }
    return lines;
}

std::vector<LogFact> LogTail::Facts() const {
    std::vector<LogFact> facts;
    std::istringstream lines(NewText());
    std::string line;
    while (std::getline(lines, line)) {
        LogFact fact = ParseLogLine(line);
        if (fact.kind != LogFact::Kind::kNone) facts.push_back(std::move(fact));
    }
    return facts;
}

std::map<std::uint16_t, std::string> LogTail::Tids() const {
    std::map<std::uint16_t, std::string> tids;
    for (const LogFact& fact : Facts())
        if (fact.kind == LogFact::Kind::kDeviceTid) tids[fact.device_id] = fact.tid;
    return tids;
}

std::map<std::string, std::string> LogTail::RootTids() const {
    std::map<std::string, std::string> roots;
    for (const LogFact& fact : Facts())
        if (fact.kind == LogFact::Kind::kRootTid) roots[fact.name] = fact.tid;
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
