// Where settings and logs may live, and the checks made on them before the
// library trusts a file there or writes one.
#pragma once

#include <cstdio>
#include <string>

namespace eklv::pf {

// The variable's value; empty when it is unset or empty.
std::string GetEnvironmentVariableA(const char* name);

// The settings folder of an installed library (compiled in, /etc/eklv for
// the prefix /usr); empty where the platform has none.
std::string GetInstalledSettingsFolder();

// The user's own folder for the library's state such as logs, created with
// access for the user alone when absent; empty (last error set) when it
// cannot be made.
std::string GetUserStateFolder();

enum class PathAccess { kOk, kMissing, kDenied };
// Whether the folder or file exists and the process may read it (write:
// also change it).
PathAccess CheckPathAccess(const std::string& path, bool write);

// True when users other than the owner may replace or change the file:
// it, or its folder without the sticky bit, is writable by others.
bool IsWritableByOthers(const std::string& path);

// Opens a stream as fopen does (mode "a", "w", "r", with "+"), but fails
// with a last error when the name is a symbolic link or the file belongs
// to another user: a log name that anyone can predict must not let a
// planted link or file take the library's lines.
std::FILE* OpenOwnFile(const std::string& path, const char* mode);

// One line for whoever watches the process (standard error on Linux, the
// debugger on Windows), for problems that the log cannot carry.
void OutputDebugStringA(const char* text);

}  // namespace eklv::pf
