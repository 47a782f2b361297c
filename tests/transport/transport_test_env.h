// The library's folder for tests of the statically linked core: one
// temporary folder for the whole process (the ini path is fixed at its first
// use), removed at exit; eklv.ini and the core log live there.
#pragma once

#include <atomic>
#include <string>

#include "log/message_logger.h"
#include "support/lib_folder.h"

namespace eklv::test {

inline ModuleFolder& CoreFolder() {
    static ModuleFolder folder(VerboseLogIni());
    return folder;
}

// Replaces eklv.ini with text (logging of every level stays on).
inline void WriteCoreIni(const std::string& text) { CoreFolder().Write("eklv.ini", VerboseLogIni(text)); }

// Logs a unique line; LogSince answers what was logged after it.
inline std::string LogMark() {
    static std::atomic<int> counter{0};
    CoreFolder();
    std::string mark = "TEST-MARK-" + std::to_string(++counter);
    LogMessage(kNoDevice, kLogError, kCatGeneral, "%s", mark.c_str());
    return mark;
}

inline std::string LogSince(const std::string& mark) {
    const std::string all = CoreFolder().ReadLogs();
    auto at = all.rfind(mark);
    return at == std::string::npos ? std::string() : all.substr(at + mark.size());
}

}  // namespace eklv::test
