// Module file, paths, shell folders, version and UUID text on Linux.
#include "platform/module.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/handle.h"
#include "platform/linux/module_override.h"

namespace eklv::pf {
namespace {

std::mutex g_override_mutex;
std::string g_module_override;  // tests point the library at a folder of their own

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHex(const char* text, int digits, std::uint64_t* value) {
    std::uint64_t v = 0;
    for (int i = 0; i < digits; ++i) {
        int h = HexValue(text[i]);
        if (h < 0) return false;
        v = (v << 4) | static_cast<std::uint64_t>(h);
    }
    *value = v;
    return true;
}

}  // namespace

namespace lx {
void OverrideModuleFileName(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_override_mutex);
    g_module_override = path;
}
}  // namespace lx

std::string GetOwnModuleFileName() {
    {
        std::lock_guard<std::mutex> lock(g_override_mutex);
        if (!g_module_override.empty()) return g_module_override;
    }
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&GetOwnModuleFileName), &info) == 0 || info.dli_fname == nullptr) {
        SetLastError(kErrorFileNotFound);
        return {};
    }
    std::string name = info.dli_fname;
    if (!name.empty() && name[0] != '/') name = GetFullPathName(name);
    return name;
}

char PathSeparator() { return '/'; }

std::string GetFullPathName(const std::string& path) {
    if (path.empty()) {
        SetLastError(kErrorInvalidParameter);
        return {};
    }
    std::string absolute = path;
    if (path[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            SetLastError(kErrorGenFailure);
            return {};
        }
        absolute = std::string(cwd) + "/" + path;
    }
    // Resolve "." and ".." lexically, as GetFullPathName does: the file
    // need not exist.
    std::string result;
    std::size_t pos = 0;
    while (pos <= absolute.size()) {
        std::size_t next = absolute.find('/', pos);
        if (next == std::string::npos) next = absolute.size();
        std::string part = absolute.substr(pos, next - pos);
        if (part == "..") {
            std::size_t cut = result.rfind('/');
            result.erase(cut == std::string::npos ? 0 : cut);
        } else if (!part.empty() && part != ".") {
            result.push_back('/');
            result.append(part);
        }
        pos = next + 1;
    }
    if (result.empty()) result.assign(1, '/');
    if (absolute.size() > 1 && absolute.back() == '/' && result != "/") result.push_back('/');
    return result;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string GetCommonAppDataFolder() {
    const char* env = std::getenv("EKLV_COMMON_APPDATA");
    std::string folder = (env != nullptr && *env != '\0') ? env : "/var/lib";
    struct stat st;
    if (stat(folder.c_str(), &st) != 0 && mkdir(folder.c_str(), 0755) != 0) {
        SetLastError(kErrorAccessDenied);
        return {};
    }
    return folder;
}

std::string GetProgramFilesFolder() { return "/usr/lib"; }

bool GetVersionEx(OsVersion* version) {
    if (version == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    // The core's version tests only distinguish old Windows releases; a
    // current system answers as version 6.x does.
    version->major = 6;
    version->minor = 1;
    return true;
}

bool GetVersionComments(const std::string& module_file, std::string* comments) {
    (void)module_file;
#ifdef EKLV_BUILD_LABEL
    *comments = EKLV_BUILD_LABEL;
    return true;
#else
    (void)comments;
    SetLastError(kErrorFileNotFound);
    return false;
#endif
}

bool operator==(const Guid& a, const Guid& b) { return std::memcmp(&a, &b, sizeof(Guid)) == 0; }

bool UuidFromStringA(const char* text, Guid* guid) {
    // xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx, exactly 36 characters.
    if (text == nullptr || guid == nullptr || std::strlen(text) != 36 || text[8] != '-' || text[13] != '-' ||
        text[18] != '-' || text[23] != '-') {
        SetLastError(1705);  // RPC_S_INVALID_STRING_UUID
        return false;
    }
    std::uint64_t v[11];
    bool ok = ParseHex(text, 8, &v[0]) && ParseHex(text + 9, 4, &v[1]) && ParseHex(text + 14, 4, &v[2]) &&
              ParseHex(text + 19, 2, &v[3]) && ParseHex(text + 21, 2, &v[4]);
    for (int i = 0; ok && i < 6; ++i) ok = ParseHex(text + 24 + 2 * i, 2, &v[5 + i]);
    if (!ok) {
        SetLastError(1705);
        return false;
    }
    guid->data1 = static_cast<std::uint32_t>(v[0]);
    guid->data2 = static_cast<std::uint16_t>(v[1]);
    guid->data3 = static_cast<std::uint16_t>(v[2]);
    for (int i = 0; i < 8; ++i) guid->data4[i] = static_cast<std::uint8_t>(v[3 + i]);
    return true;
}

// Written out by hand: an arrival names a few interfaces, and snprintf's
// format parsing was a noticeable part of naming one.
std::string GuidToString(const Guid& g) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    auto put = [&](std::uint32_t value, int digits) {
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) text += kHex[(value >> shift) & 0xF];
    };
    put(g.data1, 8);
    text += '-';
    put(g.data2, 4);
    text += '-';
    put(g.data3, 4);
    text += '-';
    for (int i = 0; i < 8; ++i) {
        if (i == 2) text += '-';
        put(g.data4[i], 2);
    }
    return text;
}

}  // namespace eklv::pf
