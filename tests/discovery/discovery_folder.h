// A module folder for discovery tests: eklv.ini with the given sections
// and every log level enabled (ModuleFolder points the ini path and the
// logger at it).
#pragma once

#include <sstream>
#include <string>

#include "support/lib_folder.h"

namespace eklv::test {

class DiscoveryFolder : public ModuleFolder {
public:
    explicit DiscoveryFolder(const std::string& ini = "") : ModuleFolder(VerboseLogIni(ini)) {}

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
