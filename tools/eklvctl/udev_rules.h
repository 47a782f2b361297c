// "eklvctl udev-rules": a udev rules file for the phones an eklv.ini
// supports. Their tty nodes get group dialout and mode 0660, and
// ModemManager is told to leave the phones alone (ID_MM_DEVICE_IGNORE).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "station_ini.h"

namespace eklvctl {

// One vendor the rules cover, with its product ids (empty: every product).
struct UdevMatch {
    std::string vendor;                 // four lower-case hex digits
    std::vector<std::string> products;  // four lower-case hex digits each
};

// The vendors and products the library's filters accept, read as they
// read eklv.ini: [VID_FILTER] VID_0, VID_1, ... up to the first missing or
// empty key, each a text the interface name must contain ("vid_6b4d",
// "vid_1a86&pid_7523"); for vendor 6b4d only the products whose four
// digits occur in [MTK_SMART_PID_FILTER] PID_LIST. A filter text that names
// no vendor id cannot be a udev match: it is reported in *skipped.
std::vector<UdevMatch> SupportedPhones(const IniFile& ini, std::vector<std::string>* skipped);

// The rules file text; source names the ini in its head comment.
std::string UdevRulesText(const std::vector<UdevMatch>& matches, const std::string& source);

struct UdevRulesOptions {
    std::string ini;     // empty: eklv.ini of the default library's settings folder
    std::string output;  // empty: standard output
    std::string library; // --library, for the default ini
};

// Writes the rules; kExitSetup when the ini cannot be read or supports no
// phone, kExitFailed when the output cannot be written.
int RunUdevRules(const UdevRulesOptions& options);

}  // namespace eklvctl
