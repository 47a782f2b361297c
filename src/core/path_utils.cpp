#include "core/path_utils.h"

#include "log/message_logger.h"
#include "platform/handle.h"
#include "platform/module.h"

namespace eklv {

std::string GetModuleFolder() {
    std::string name = pf::GetOwnModuleFileName();
    std::size_t cut = name.rfind(pf::PathSeparator());
    if (cut == std::string::npos) return {};
    return name.substr(0, cut + 1);
}

std::string GetFullPath(const std::string& path) { return pf::GetFullPathName(path); }

std::string MakeLongPathForm(const std::string& path,
                             const std::function<std::string(const std::string&)>& full_path) {
    static const std::string kLocal = "\\\\?\\";
    static const std::string kUnc = "\\\\?\\UNC\\";
    if (path.empty() || path.compare(0, kLocal.size(), kLocal) == 0) return path;
    if (path.size() >= 2 && path[0] == '\\' && path[1] == '\\') return kUnc + path.substr(2);
    std::string full = full_path(path);
    if (full.empty()) return {};
    return kLocal + full;
}

std::string MakeLongPath(const std::string& path) {
    // Only a platform whose separator is the backslash knows the prefixes.
    if (pf::PathSeparator() != '\\') return path;
    return MakeLongPathForm(path, GetFullPath);
}

bool IsXPOrLater() {
    pf::OsVersion v{};
    if (!pf::GetVersionEx(&v)) {
        LogMessage(kNoDevice, kLogError, kCatGeneral, "GetVersionEx() failed with error %d",
                   static_cast<int>(pf::GetLastError()));
        return false;
    }
    return v.major > 5 || (v.major == 5 && v.minor > 0);
}

bool IsVistaOrLater() {
    pf::OsVersion v{};
    if (!pf::GetVersionEx(&v)) return false;
    return v.major > 5;
}

void LogVersionLabel() {
    // The label is looked up in the file "eklv.dll" of the module folder,
    // whatever name the module was loaded under.
    std::string label;
    if (pf::GetVersionComments(GetModuleFolder() + "eklv.dll", &label))
        LogMessage(kNoDevice, kLogInfo, kCatGeneral, "Label - %s", label.c_str());
}

}  // namespace eklv
