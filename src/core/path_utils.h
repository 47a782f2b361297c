// The library's folder, long-path forms and OS version tests.
#pragma once

#include <functional>
#include <string>

namespace eklv {

// Folder of the library's own module file, ending with the path separator;
// empty when the name cannot be obtained.
std::string GetModuleFolder();

// Absolute form of the path as the system resolves it; empty on failure.
std::string GetFullPath(const std::string& path);

// The long-path form where the platform has one ("\\?\" and "\\?\UNC\"
// prefixes on Windows); elsewhere the path unchanged.
std::string MakeLongPath(const std::string& path);

// The long-path rules on their own, with the full-path resolver passed in:
// empty or already prefixed paths stay; "\\server\share" becomes
// "\\?\UNC\server\share"; anything else becomes "\\?\" + full path, or empty
// when the full path is empty.
std::string MakeLongPathForm(const std::string& path, const std::function<std::string(const std::string&)>& full_path);

bool IsXPOrLater();
bool IsVistaOrLater();

// Logs "Label - <build label>" when the library carries one.
void LogVersionLabel();

}  // namespace eklv
