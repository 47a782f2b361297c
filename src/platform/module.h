// The library's own file, paths, shell folders, OS version and UUID text.
#pragma once

#include <cstdint>
#include <string>

namespace eklv::pf {

// Full file name of the module that contains the library's code (not the
// host executable); empty when it cannot be found.
std::string GetOwnModuleFileName();

// The separator of path components ('\\' on Windows, '/' elsewhere).
char PathSeparator();

// Absolute form of a path, resolved against the current directory; the
// file need not exist. Empty on failure.
std::string GetFullPathName(const std::string& path);

bool FileExists(const std::string& path);

// The common application-data folder (created when absent); empty on failure.
std::string GetCommonAppDataFolder();
// The program-files folder; empty on failure.
std::string GetProgramFilesFolder();

struct OsVersion {
    std::uint32_t major;
    std::uint32_t minor;
};
// False (last error set) when the version cannot be read.
bool GetVersionEx(OsVersion* version);

// The comment string of the library's version resource (its build label);
// false when there is none.
bool GetVersionComments(const std::string& module_file, std::string* comments);

struct Guid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};
bool operator==(const Guid& a, const Guid& b);

// Parses "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (no braces). False with
// the last error set when the text is not of that form.
bool UuidFromStringA(const char* text, Guid* guid);

// Lower-case text form without braces.
std::string GuidToString(const Guid& guid);

}  // namespace eklv::pf
