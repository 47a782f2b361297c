// The library's own module, paths, shell folders, OS version and UUID text.
#include "platform/module.h"

#include <windows.h>
#include <rpc.h>
#include <shlobj.h>

// windows.h maps these names to their A forms; here they name our functions.
#undef GetFullPathName
#undef GetVersionEx

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/win32/module_override.h"

namespace eklv::pf {

static_assert(sizeof(Guid) == sizeof(GUID));

namespace {
std::mutex g_override_mutex;
std::string g_module_override;
}  // namespace

namespace w32 {
void OverrideModuleFileName(const std::string& path) {
    std::lock_guard<std::mutex> lock(g_override_mutex);
    g_module_override = path;
}
}  // namespace w32

std::string GetOwnModuleFileName() {
    {
        std::lock_guard<std::mutex> lock(g_override_mutex);
        if (!g_module_override.empty()) return g_module_override;
    }
    HMODULE module = nullptr;
    if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCSTR>(&GetOwnModuleFileName), &module))
        return {};
    char name[MAX_PATH];
    DWORD length = ::GetModuleFileNameA(module, name, sizeof name);
    if (length == 0 || length >= sizeof name) return {};
    return std::string(name, length);
}

char PathSeparator() { return '\\'; }

std::string GetFullPathName(const std::string& path) {
    char full[MAX_PATH];
    DWORD length = ::GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    if (length == 0 || length >= sizeof full) return {};
    return std::string(full, length);
}

bool FileExists(const std::string& path) {
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

namespace {
std::string ShellFolder(int csidl) {
    char folder[MAX_PATH];
    HRESULT result = ::SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, folder);
    if (FAILED(result)) {
        ::SetLastError(HRESULT_CODE(result));
        return {};
    }
    return folder;
}
}  // namespace

std::string GetCommonAppDataFolder() { return ShellFolder(CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE); }
std::string GetProgramFilesFolder() { return ShellFolder(CSIDL_PROGRAM_FILES); }

bool GetVersionEx(OsVersion* version) {
    if (version == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!::GetVersionExA(&info)) return false;
    version->major = info.dwMajorVersion;
    version->minor = info.dwMinorVersion;
    return true;
}

bool GetVersionComments(const std::string& module_file, std::string* comments) {
    DWORD ignored = 0;
    DWORD size = ::GetFileVersionInfoSizeA(module_file.c_str(), &ignored);
    if (size == 0) return false;
    std::vector<char> data(size);
    if (!::GetFileVersionInfoA(module_file.c_str(), 0, size, data.data())) return false;
    struct Translation {
        WORD language;
        WORD code_page;
    }* translation = nullptr;
    UINT length = 0;
    if (!::VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                          &length) ||
        length < sizeof *translation) {
        ::SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return false;
    }
    char query[64];
    std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\Comments", translation->language,
                  translation->code_page);
    char* text = nullptr;
    if (!::VerQueryValueA(data.data(), query, reinterpret_cast<void**>(&text), &length) || text == nullptr) {
        ::SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return false;
    }
    *comments = text;
    return true;
}

bool operator==(const Guid& a, const Guid& b) { return std::memcmp(&a, &b, sizeof(Guid)) == 0; }

bool UuidFromStringA(const char* text, Guid* guid) {
    if (text == nullptr || guid == nullptr) {
        ::SetLastError(RPC_S_INVALID_STRING_UUID);
        return false;
    }
    UUID uuid;
    RPC_STATUS status = ::UuidFromStringA(reinterpret_cast<RPC_CSTR>(const_cast<char*>(text)), &uuid);
    if (status != RPC_S_OK) {
        ::SetLastError(static_cast<DWORD>(status));
        return false;
    }
    std::memcpy(guid, &uuid, sizeof uuid);
    return true;
}

std::string GuidToString(const Guid& g) {
    char text[40];
    std::snprintf(text, sizeof text, "%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                  static_cast<unsigned long>(g.data1), g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2],
                  g.data4[3], g.data4[4], g.data4[5], g.data4[6], g.data4[7]);
    return text;
}

}  // namespace eklv::pf
