// Profile (ini) files with the Windows rules: section and key names match
// without regard to case, the first matching key wins, a missing file reads
// as empty, and every write rewrites the whole file.
#pragma once

#include <cstdint>
#include <string>

namespace eklv::pf {

// Copies the value (or the default when the key is absent) into buffer,
// cut to size - 1 characters and NUL-terminated. Answers the number of
// characters copied, not counting the NUL.
std::uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                                       char* buffer, std::uint32_t size, const std::string& file);

// Sets key=value in the section, creating section and file as needed.
// A null value deletes the key, a null key deletes the section.
bool WritePrivateProfileStringA(const char* section, const char* key, const char* value,
                                const std::string& file);

// All section names as a list of NUL-terminated strings ending with an
// extra NUL; cut to fit the buffer. Answers the characters copied, not
// counting the final NUL.
std::uint32_t GetPrivateProfileSectionNamesA(char* buffer, std::uint32_t size, const std::string& file);

// All key=value lines of the first section of that name, in the same list
// form. Lines without '=' come back as they are.
std::uint32_t GetPrivateProfileSectionA(const char* section, char* buffer, std::uint32_t size,
                                        const std::string& file);

// While one lives on a thread, each file the thread reads is checked for a
// change (one stat) at its first read in the scope only; later reads get
// the same parse. For handlings that read many settings at once (a device
// arrival reads about twenty). A write still takes effect at once.
class ProfileReadScope {
public:
    ProfileReadScope();
    ~ProfileReadScope();
    ProfileReadScope(const ProfileReadScope&) = delete;
    ProfileReadScope& operator=(const ProfileReadScope&) = delete;
};

// Files that are not regular files, or are larger than 1 MiB, read as empty
// and are never written; reading one never blocks. The notice, when set, is
// called once for each such file (again after it changes), outside every
// lock of these functions, with the file and the reason.
using ProfileNotice = void (*)(const std::string& file, const std::string& why);
void SetProfileNotice(ProfileNotice notice);

}  // namespace eklv::pf
