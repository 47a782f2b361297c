// Profile (ini) files: kernel32's own profile functions, so eklv.ini and
// USBConnectivityConfig.ini follow Windows' rules exactly.
#include "platform/profile.h"

#include <windows.h>

namespace eklv::pf {

std::uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                                       char* buffer, std::uint32_t size, const std::string& file) {
    return ::GetPrivateProfileStringA(section, key, default_value, buffer, size, file.c_str());
}

bool WritePrivateProfileStringA(const char* section, const char* key, const char* value, const std::string& file) {
    return ::WritePrivateProfileStringA(section, key, value, file.c_str()) != FALSE;
}

std::uint32_t GetPrivateProfileSectionNamesA(char* buffer, std::uint32_t size, const std::string& file) {
    return ::GetPrivateProfileSectionNamesA(buffer, size, file.c_str());
}

std::uint32_t GetPrivateProfileSectionA(const char* section, char* buffer, std::uint32_t size,
                                        const std::string& file) {
    return ::GetPrivateProfileSectionA(section, buffer, size, file.c_str());
}

}  // namespace eklv::pf
