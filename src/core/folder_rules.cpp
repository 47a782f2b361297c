#include "core/folder_rules.h"

namespace eklv {
namespace {

std::string WithoutTrailingSeparators(std::string folder) {
    while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\')) folder.pop_back();
    return folder;
}

}  // namespace

FolderChoice ChooseSettingsFolder(const FolderFacts& facts) {
    if (!facts.config_env.empty())
        return {WithoutTrailingSeparators(facts.config_env), FolderSource::kEnvironment};
    if (facts.ini_beside_module || facts.installed_settings.empty())
        return {WithoutTrailingSeparators(facts.module_folder), FolderSource::kBesideLibrary};
    return {WithoutTrailingSeparators(facts.installed_settings), FolderSource::kInstalled};
}

FolderChoice ChooseLogFolder(const FolderFacts& facts, FolderSource settings,
                             const std::function<std::string()>& user_state) {
    if (!facts.log_env.empty()) return {WithoutTrailingSeparators(facts.log_env), FolderSource::kEnvironment};
    if (settings == FolderSource::kBesideLibrary)
        return {WithoutTrailingSeparators(facts.module_folder), FolderSource::kBesideLibrary};
    std::string state = user_state();
    if (state.empty()) return {};
    return {WithoutTrailingSeparators(state), FolderSource::kUserState};
}

const char* DescribeSource(FolderSource source, bool log) {
    switch (source) {
        case FolderSource::kEnvironment:
            return log ? "EKLV_LOG_DIR" : "EKLV_CONFIG_DIR";
        case FolderSource::kBesideLibrary:
            return "beside the library";
        case FolderSource::kInstalled:
            return "the installed settings folder";
        case FolderSource::kUserState:
            return "the user's state folder";
        case FolderSource::kNone:
            break;
    }
    return "no folder";
}

std::string JoinPath(const std::string& folder, const std::string& name, char separator) {
    if (folder.empty()) return name;
    if (folder.back() == separator) return folder + name;
    return folder + separator + name;
}

}  // namespace eklv
