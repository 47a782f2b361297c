// eklv.ini as the library reads it, for the checks eklvctl makes before it
// starts the library: a station whose eklv.ini lacks the classes, the
// vendor filter or the interface types would run and find nothing.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>

namespace eklvctl {

// An ini file read with the library's rules: section and key names compare
// without regard to case, the first key found wins, a value is cut at 255
// characters and loses everything from its first ';' and the white space
// before it.
class IniFile {
public:
    // nullopt when the file cannot be read.
    static std::optional<IniFile> Load(const std::string& path);
    static IniFile Parse(const std::string& text);

    std::optional<std::string> Get(const std::string& section, const std::string& key) const;

private:
    std::map<std::pair<std::string, std::string>, std::string> values_;  // lower-case names
};

// True for a class GUID written as the library wants it: 8-4-4-4-12
// hexadecimal digits, no braces.
bool IsGuidText(const std::string& text);

// Why the eklv.ini in the settings folder would keep the library from announcing any
// phone, in one line; nullopt when it would not.
std::optional<std::string> CheckStationIni(const std::string& folder);

// Why the core log configured in ini would not tell the station's topology
// (TIDs, hubs) in time, in one line; nullopt when it would. The library
// logs it at information level (bit 1 of [CORE_LOGGING] Level); with Flush
// off the lines reach the file only when the log's buffer is written.
std::optional<std::string> TopologyLogProblem(const IniFile& ini);

}  // namespace eklvctl
