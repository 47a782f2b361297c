// A module folder for discovery tests: eklv.ini with the given sections
// and every log level enabled, the ini path and the logger pointed at it.
#pragma once

#include <sstream>
#include <string>

#include "core/settings.h"
#include "log/message_logger.h"
#include "support/lib_folder.h"

namespace eklv::test {

class DiscoveryFolder : public ModuleFolder {
public:
    explicit DiscoveryFolder(const std::string& ini = "") : ModuleFolder(VerboseLogIni(ini)) {
        CKLVMessageLogger::UnInitialize();
        InitSettings();
    }
    // The logger writes its settings back before the folder goes.
    ~DiscoveryFolder() { CKLVMessageLogger::UnInitialize(); }

    void WriteIni(const std::string& ini) { Write("eklv.ini", VerboseLogIni(ini)); }

    // Log lines that contain text.
    int CountLines(const std::string& text) const {
        std::istringstream lines(ReadLogs());
        int count = 0;
        for (std::string line; std::getline(lines, line);) count += line.find(text) != std::string::npos;
        return count;
    }
};

}  // namespace eklv::test
