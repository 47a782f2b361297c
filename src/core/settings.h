// eklv.ini in the settings folder: readers with the comment, atoi and list
// rules, the one writer, and the interface-type lookup of [INF_SETTINGS].
// Every read answers from the file as it is now (the platform layer
// reuses a parse only while the file is unchanged).
#pragma once

#include <cstdint>
#include <string>

#include "core/folder_rules.h"

namespace eklv {

// Internal result codes; they never reach the host.
inline constexpr std::uint32_t kIniOk = 0;
inline constexpr std::uint32_t kIniFieldNotFound = 10;
inline constexpr std::uint32_t kIniKeyNotFound = 11;
inline constexpr std::uint32_t kIniWriteFailed = 12;

// Sets the ini path to eklv.ini in the settings folder (folder_rules.h),
// logs the version label, and reports a settings folder or eklv.ini that
// cannot be read (one line on the process's error channel) or that anyone
// may change (a warning in the log).
std::uint32_t InitSettings();
std::uint32_t UnInitSettings();
// The ini path, computed on first use.
std::string GetIniFilePath();
// The folder the core log is written to, by the rule of folder_rules.h as
// things are now (kNone when there is none). Creates the user's state
// folder when the rule comes to it.
FolderChoice GetLogFolder();

// True when at least one character was read. out holds the value after the
// comment rule, or the default when the key is absent.
bool GetIniString(const char* section, const char* key, const char* default_value, std::string* out);
std::uint32_t GetIniValue(const char* section, const char* key, std::string* out);
// 0 and atoi of the value, or 11 with *out unchanged.
std::uint32_t GetIniInt(const char* section, const char* key, int* out);
// Always 0: the value, or the default when nothing was read.
std::uint32_t GetIniIntDefault(const char* section, const char* key, int default_value, int* out);
// The index-th comma-separated field (empty fields skipped), or 10.
std::uint32_t GetIniField(const char* section, const char* key, int index, std::string* out);
std::uint32_t GetIniFieldFallback(const char* section, const char* key, const char* fallback_key, int index,
                                  std::string* out);
std::uint32_t WriteIniString(const char* section, const char* key, const char* value);

// The INF_ code of the first [INF_SETTINGS] type (in name-table order) one
// of whose comma-separated items occurs in text; 0x8000 when none does.
std::uint32_t GetInterfaceTypeFromSettings(const std::string& text);

// Pure helpers of the rules above.
std::string ApplyCommentRule(const std::string& value);
int AtoiRule(const std::string& text);
// Fields split at commas with runs of commas as one separator.
bool SplitField(const std::string& value, int index, std::string* out);

}  // namespace eklv
