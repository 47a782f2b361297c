// Profile (ini) files: kernel32's own profile functions, so eklv.ini and
// USBConnectivityConfig.ini follow Windows' own rules. A file that is not an
// ordinary file (a folder, a device) or is larger than 1 MiB reads as an
// absent one and is never written, as on Linux.
#include "platform/profile.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

namespace eklv::pf {
namespace {

constexpr ULONGLONG kLargestProfile = 1u << 20;

std::atomic<ProfileNotice> g_notice{nullptr};
std::mutex g_refused_mutex;
std::map<std::string, std::string> g_refused;  // file -> reason last told

// Why the file is refused, or empty when it may be read (absent files too:
// the profile functions answer for them as for an empty file).
std::string Refusal(const std::string& file) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data)) return {};
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
        return "not a regular file";
    ULONGLONG size = (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    if (size > kLargestProfile) return "larger than 1048576 bytes";
    return {};
}

// True when the file may be used; otherwise tells the notice once for each
// reason (outside the lock) and answers false.
bool Usable(const std::string& file) {
    std::string why = Refusal(file);
    bool tell = false;
    {
        std::lock_guard<std::mutex> lock(g_refused_mutex);
        if (why.empty()) {
            g_refused.erase(file);
            return true;
        }
        std::string& told = g_refused[file];
        tell = told != why;
        told = why;
    }
    ProfileNotice notice = g_notice.load();
    if (tell && notice != nullptr) notice(file, why);
    return false;
}

// What the profile functions give for a file without sections.
std::uint32_t EmptyList(char* buffer, std::uint32_t size) {
    if (buffer != nullptr && size >= 2) buffer[0] = buffer[1] = '\0';
    else if (buffer != nullptr && size == 1) buffer[0] = '\0';
    return 0;
}

}  // namespace

// The system's profile calls keep nothing of their own to scope.
ProfileReadScope::ProfileReadScope() = default;
ProfileReadScope::~ProfileReadScope() = default;

void SetProfileNotice(ProfileNotice notice) { g_notice.store(notice); }

std::uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                                       char* buffer, std::uint32_t size, const std::string& file) {
    if (Usable(file)) return ::GetPrivateProfileStringA(section, key, default_value, buffer, size, file.c_str());
    if (section == nullptr || key == nullptr) return EmptyList(buffer, size);
    if (buffer == nullptr || size == 0) return 0;
    std::size_t length = std::min<std::size_t>(default_value != nullptr ? std::strlen(default_value) : 0, size - 1);
    if (length > 0) std::memcpy(buffer, default_value, length);
    buffer[length] = '\0';
    return static_cast<std::uint32_t>(length);
}

bool WritePrivateProfileStringA(const char* section, const char* key, const char* value, const std::string& file) {
    if (!Usable(file)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return ::WritePrivateProfileStringA(section, key, value, file.c_str()) != FALSE;
}

std::uint32_t GetPrivateProfileSectionNamesA(char* buffer, std::uint32_t size, const std::string& file) {
    if (!Usable(file)) return EmptyList(buffer, size);
    return ::GetPrivateProfileSectionNamesA(buffer, size, file.c_str());
}

std::uint32_t GetPrivateProfileSectionA(const char* section, char* buffer, std::uint32_t size,
                                        const std::string& file) {
    if (!Usable(file)) return EmptyList(buffer, size);
    return ::GetPrivateProfileSectionA(section, buffer, size, file.c_str());
}

}  // namespace eklv::pf
