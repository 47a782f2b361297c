// Settings and log folders on Windows: eklv.ini and the log lie beside the
// DLL (there is no installed settings folder), the user's state folder is
// under the local application data folder, and the checks on predictable
// file names refuse links.
#include "platform/folders.h"

#include <windows.h>
#include <shlobj.h>

#undef GetEnvironmentVariable
#undef OutputDebugString

#include <vector>

#include "platform/handle.h"

namespace eklv::pf {

std::string GetEnvironmentVariableA(const char* name) {
    DWORD needed = ::GetEnvironmentVariableA(name, nullptr, 0);
    if (needed == 0) return {};
    std::vector<char> value(needed);
    DWORD length = ::GetEnvironmentVariableA(name, value.data(), needed);
    return length > 0 && length < needed ? std::string(value.data(), length) : std::string();
}

std::string GetInstalledSettingsFolder() { return {}; }

std::string GetUserStateFolder() {
    char base[MAX_PATH];
    HRESULT result = ::SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, base);
    if (FAILED(result)) {
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return {};
    }
    std::string folder = std::string(base) + "\\eklv";
    if (!::CreateDirectoryA(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) return {};
    return folder;
}

PathAccess CheckPathAccess(const std::string& path, bool write) {
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathAccess::kMissing
                                                                              : PathAccess::kDenied;
    }
    if (write && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        return PathAccess::kDenied;
    return PathAccess::kOk;
}

// Who may write a file is a matter of its access list on Windows; the
// library's files lie beside the DLL in the host's own folder, whose access
// the host's installer sets. Not checked here.
bool IsWritableByOthers(const std::string&) { return false; }

std::FILE* OpenOwnFile(const std::string& path, const char* mode) {
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::FILE* stream = std::fopen(path.c_str(), mode);
    if (stream == nullptr) ::SetLastError(ERROR_ACCESS_DENIED);
    return stream;
}

void OutputDebugStringA(const char* text) {
    std::string line = std::string("eklv: ") + text + "\n";
    ::OutputDebugStringA(line.c_str());
}

}  // namespace eklv::pf
