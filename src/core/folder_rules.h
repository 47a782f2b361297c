// Where eklv.ini and the core log live. The rule is shared by the library
// and its hosts (eklvctl reads the same files), so it is a pure function
// of the facts each gathers:
//   settings: $EKLV_CONFIG_DIR; else the library's own folder when an
//             eklv.ini lies there (a library shipped inside a host's
//             folder); else the installed settings folder (/etc/eklv).
//   log:      $EKLV_LOG_DIR; else beside the library when the settings are;
//             else the user's own state folder (~/.local/state/eklv).
#pragma once

#include <functional>
#include <string>

namespace eklv {

struct FolderFacts {
    std::string config_env;          // $EKLV_CONFIG_DIR, empty when unset
    std::string log_env;             // $EKLV_LOG_DIR, empty when unset
    std::string module_folder;       // the library's folder
    bool ini_beside_module = false;  // an eklv.ini lies in module_folder
    std::string installed_settings;  // empty where the platform has none
};

enum class FolderSource { kEnvironment, kBesideLibrary, kInstalled, kUserState, kNone };

struct FolderChoice {
    std::string folder;  // without a trailing separator; empty with kNone
    FolderSource source = FolderSource::kNone;
};

FolderChoice ChooseSettingsFolder(const FolderFacts& facts);
// settings: how the settings folder was chosen. user_state answers the
// user's state folder (empty when there is none); it is asked only when the
// rule comes to it.
FolderChoice ChooseLogFolder(const FolderFacts& facts, FolderSource settings,
                             const std::function<std::string()>& user_state);

// How the folder was chosen, for messages: "EKLV_CONFIG_DIR", "beside the
// library", ...
const char* DescribeSource(FolderSource source, bool log);

// folder + separator + name, with no doubled separator.
std::string JoinPath(const std::string& folder, const std::string& name, char separator);

}  // namespace eklv
