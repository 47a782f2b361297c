#include "station_ini.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace eklvctl {
namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text) {
    std::size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return "";
    std::size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

constexpr const char* kInterfaceKeys[] = {"INF_DATA",  "INF_UART",   "INF_MSD",     "INF_MTP",    "INF_IMAGE",
                                          "INF_FLASH", "INF_SFLASH", "INF_HSFLASH", "INF_HBFLASH"};

}  // namespace

std::optional<IniFile> IniFile::Load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return Parse(text.str());
}

IniFile IniFile::Parse(const std::string& text) {
    IniFile ini;
    std::istringstream lines(text);
    std::string line;
    std::string section;
    bool in_section = false;
    while (std::getline(lines, line)) {
        std::string t = Trim(line);
        if (t.empty()) continue;
        if (t.front() == '[') {
            std::size_t close = t.find(']');
            in_section = close != std::string::npos;
            if (in_section) section = Lower(Trim(t.substr(1, close - 1)));
            continue;
        }
        std::size_t eq = t.find('=');
        if (!in_section || eq == std::string::npos) continue;
        std::string value = Trim(t.substr(eq + 1)).substr(0, 255);
        std::size_t semicolon = value.find(';');
        if (semicolon != std::string::npos) value = Trim(value.substr(0, semicolon));
        ini.values_.emplace(std::make_pair(section, Lower(Trim(t.substr(0, eq)))), value);
    }
    return ini;
}

std::optional<std::string> IniFile::Get(const std::string& section, const std::string& key) const {
    auto it = values_.find({Lower(section), Lower(key)});
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

bool IsGuidText(const std::string& text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
    }
    return true;
}

std::optional<std::string> CheckStationIni(const std::string& folder) {
    std::string path = folder + "/eklv.ini";
    std::optional<IniFile> ini = IniFile::Load(path);
    if (!ini)
        return "cannot read " + path + ": the library would support no phone; put an eklv.ini there (start from the "
               "example eklv.ini), beside the library, or in the folder EKLV_CONFIG_DIR names";
    int classes = 0;
    for (int i = 0;; ++i) {
        std::string key = "GUID_" + std::to_string(i);
        std::optional<std::string> value = ini->Get("GUID", key);
        if (!value || value->empty()) break;
        if (!IsGuidText(*value))
            return path + ": [GUID] " + key + "=" + *value + " is not a class GUID (8-4-4-4-12 hex digits, no braces)";
        ++classes;
    }
    if (classes == 0) return path + ": no [GUID] GUID_0: the library would watch no interface class";
    std::optional<std::string> vid = ini->Get("VID_FILTER", "VID_0");
    if (!vid || vid->empty()) return path + ": no [VID_FILTER] VID_0: the library would accept no phone";
    for (const char* key : kInterfaceKeys) {
        std::optional<std::string> value = ini->Get("INF_SETTINGS", key);
        if (value && !value->empty()) return std::nullopt;
    }
    return path + ": no [INF_SETTINGS] entry: no interface would get a type";
}

std::optional<std::string> TopologyLogProblem(const IniFile& ini) {
    const std::string level = ini.Get("CORE_LOGGING", "Level").value_or("");
    const std::string flush = ini.Get("CORE_LOGGING", "Flush").value_or("");
    char* end = nullptr;
    unsigned long mask = std::strtoul(level.c_str(), &end, 0);
    const std::string fix = "; eklvctl log --level 0x7 --flush 1 turns both on";
    if (level.empty() || *end != '\0' || (mask & 1) == 0)
        return "the core log's information lines are off ([CORE_LOGGING] Level=" + (level.empty() ? "unset" : level) +
               "), so the view cannot tell hubs, ports or TIDs" + fix;
    if (std::strtoul(flush.c_str(), nullptr, 0) == 0)
        return "the core log is buffered ([CORE_LOGGING] Flush=" + (flush.empty() ? "unset" : flush) +
               "), so hubs, ports and TIDs show late or not at all" + fix;
    return std::nullopt;
}

}  // namespace eklvctl
