#include "core/settings.h"

#include <cstdlib>
#include <mutex>

#include "core/folder_rules.h"
#include "core/path_utils.h"
#include "log/message_logger.h"
#include "notify/interface_types.h"
#include "platform/folders.h"
#include "platform/module.h"
#include "platform/profile.h"

namespace eklv {
namespace {

// Set once (during EKLVInitialize, before any worker thread) and then only
// read; the mutex covers the first-use path that tests may hit concurrently.
std::mutex g_path_mutex;
std::string g_ini_file_path;
FolderSource g_settings_source = FolderSource::kNone;  // how g_ini_file_path was chosen

FolderFacts GatherFolderFacts() {
    FolderFacts facts;
    facts.config_env = pf::GetEnvironmentVariableA("EKLV_CONFIG_DIR");
    facts.log_env = pf::GetEnvironmentVariableA("EKLV_LOG_DIR");
    facts.module_folder = GetModuleFolder();
    facts.ini_beside_module = pf::FileExists(JoinPath(facts.module_folder, "eklv.ini", pf::PathSeparator()));
    facts.installed_settings = pf::GetInstalledSettingsFolder();
    return facts;
}

// Under g_path_mutex.
std::string ComputeIniFilePath() {
    FolderChoice choice = ChooseSettingsFolder(GatherFolderFacts());
    g_settings_source = choice.source;
    return JoinPath(choice.folder, "eklv.ini", pf::PathSeparator());
}

// One line on the process's error channel when the settings cannot be read
// (the log's own level comes from them, so the log cannot carry it), and a
// warning in the log when anyone may change them.
void CheckSettingsFolder() {
    FolderChoice choice = ChooseSettingsFolder(GatherFolderFacts());
    std::string ini = JoinPath(choice.folder, "eklv.ini", pf::PathSeparator());
    const char* source = DescribeSource(choice.source, false);
    std::string problem;
    switch (pf::CheckPathAccess(choice.folder, false)) {
        case pf::PathAccess::kMissing:
            problem = "settings folder " + choice.folder + " (" + source +
                      ") does not exist: create it with an eklv.ini (start from the example eklv.ini), put "
                      "eklv.ini beside the library, or set EKLV_CONFIG_DIR to the folder that holds it";
            break;
        case pf::PathAccess::kDenied:
            problem = "settings folder " + choice.folder + " (" + source +
                      ") cannot be read by this user: give the user read access or set EKLV_CONFIG_DIR";
            break;
        case pf::PathAccess::kOk:
            switch (pf::CheckPathAccess(ini, false)) {
                case pf::PathAccess::kMissing:
                    problem = "no eklv.ini in the settings folder " + choice.folder + " (" + source +
                              "): copy the example eklv.ini there and adapt it, or set EKLV_CONFIG_DIR";
                    break;
                case pf::PathAccess::kDenied:
                    problem = ini + " cannot be read by this user: give the user read access to it";
                    break;
                case pf::PathAccess::kOk:
                    break;
            }
    }
    if (!problem.empty()) {
        pf::OutputDebugStringA(problem.c_str());
        return;
    }
    if (pf::IsWritableByOthers(ini))
        LogMessage(kNoDevice, kLogWarning, kCatGeneral,
                   "InitSettings - [%s] may be changed by any user: remove the write access of others", ini.c_str());
}

const std::string& IniFilePath() {
    bool fresh = false;
    {
        std::lock_guard<std::mutex> lock(g_path_mutex);
        if (g_ini_file_path.empty()) {
            g_ini_file_path = ComputeIniFilePath();
            fresh = true;
        }
    }
    if (fresh) LogVersionLabel();
    return g_ini_file_path;
}

}  // namespace

namespace {
// A settings file that cannot be a settings file: one line, once for
// each time it is found so (eklv.ini, or USBConnectivityConfig.ini).
void LogRefusedFile(const std::string& file, const std::string& why) {
    LogMessage(kNoDevice, kLogError, kCatGeneral, "GetPrivateProfileString - %s not read: %s", file.c_str(), why.c_str());
}
}  // namespace

std::uint32_t InitSettings() {
    pf::SetProfileNotice(&LogRefusedFile);
    {
        std::lock_guard<std::mutex> lock(g_path_mutex);
        g_ini_file_path = ComputeIniFilePath();
    }
    LogVersionLabel();
    CheckSettingsFolder();
    return 0;
}

std::uint32_t UnInitSettings() { return 0; }

std::string GetIniFilePath() { return IniFilePath(); }

FolderChoice GetLogFolder() {
    FolderFacts facts = GatherFolderFacts();
    FolderSource settings;
    {
        // The log follows the settings as they were chosen, even when
        // eklv.ini has gone from beside the library since.
        std::lock_guard<std::mutex> lock(g_path_mutex);
        settings = g_ini_file_path.empty() ? ChooseSettingsFolder(facts).source : g_settings_source;
    }
    return ChooseLogFolder(facts, settings, [] { return pf::GetUserStateFolder(); });
}

std::string ApplyCommentRule(const std::string& value) {
    std::size_t semicolon = value.find(';');
    if (semicolon == std::string::npos) return value;
    std::string kept = value.substr(0, semicolon);
    while (!kept.empty() && (kept.back() == ' ' || kept.back() == '\t' || kept.back() == '\r' ||
                             kept.back() == '\n' || kept.back() == '\v' || kept.back() == '\f'))
        kept.pop_back();
    return kept;
}

int AtoiRule(const std::string& text) { return std::atoi(text.c_str()); }

bool SplitField(const std::string& value, int index, std::string* out) {
    if (index < 0) return false;
    int field = 0;
    std::size_t pos = 0;
    while (pos < value.size()) {
        while (pos < value.size() && value[pos] == ',') ++pos;
        if (pos >= value.size()) break;
        std::size_t end = value.find(',', pos);
        if (end == std::string::npos) end = value.size();
        if (field == index) {
            *out = value.substr(pos, end - pos);
            return true;
        }
        ++field;
        pos = end;
    }
    return false;
}

bool GetIniString(const char* section, const char* key, const char* default_value, std::string* out) {
    char buffer[256];
    std::uint32_t n = pf::GetPrivateProfileStringA(section, key, default_value != nullptr ? default_value : "",
                                                   buffer, sizeof buffer, IniFilePath());
    *out = ApplyCommentRule(std::string(buffer, n));
    return n > 0;
}

std::uint32_t GetIniValue(const char* section, const char* key, std::string* out) {
    std::string value;
    if (!GetIniString(section, key, "", &value)) return kIniKeyNotFound;
    *out = value;
    return kIniOk;
}

std::uint32_t GetIniInt(const char* section, const char* key, int* out) {
    std::string value;
    if (!GetIniString(section, key, "", &value)) return kIniKeyNotFound;
    *out = AtoiRule(value);
    return kIniOk;
}

std::uint32_t GetIniIntDefault(const char* section, const char* key, int default_value, int* out) {
    if (GetIniInt(section, key, out) != kIniOk) *out = default_value;
    return kIniOk;
}

std::uint32_t GetIniField(const char* section, const char* key, int index, std::string* out) {
    std::string value;
    GetIniString(section, key, "", &value);
    if (value.empty()) return kIniFieldNotFound;
    std::string field;
    if (!SplitField(value, index, &field)) return kIniFieldNotFound;
    *out = field;
    return kIniOk;
}

std::uint32_t GetIniFieldFallback(const char* section, const char* key, const char* fallback_key, int index,
                                  std::string* out) {
    std::uint32_t r = GetIniField(section, key, index, out);
    if (r != kIniOk) r = GetIniField(section, fallback_key, index, out);
    return r;
}

std::uint32_t WriteIniString(const char* section, const char* key, const char* value) {
    return pf::WritePrivateProfileStringA(section, key, value, IniFilePath()) ? kIniOk : kIniWriteFailed;
}

std::uint32_t GetInterfaceTypeFromSettings(const std::string& text) {
    for (const auto& entry : kInterfaceTypeNames) {
        if (entry.code == INF_UNDEFINED) break;
        std::string value;
        GetIniString("INF_SETTINGS", entry.name, "", &value);
        if (value.empty()) continue;
        // Every comma separates items here, so "a,,b" and "a," hold an empty
        // item, and an empty item occurs in every text.
        std::size_t pos = 0;
        for (;;) {
            std::size_t end = value.find(',', pos);
            std::string item = value.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
            if (text.find(item) != std::string::npos) return entry.code;
            if (end == std::string::npos) break;
            pos = end + 1;
        }
    }
    return INF_UNDEFINED;
}

}  // namespace eklv
