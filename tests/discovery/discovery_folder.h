// A module folder for discovery tests: eklv.ini with the given sections
// and every log level enabled (ModuleFolder points the ini path and the
// logger at it).
#pragma once

#include <string>

#include "support/lib_folder.h"

namespace eklv::test {

class DiscoveryFolder : public ModuleFolder {
public:
    explicit DiscoveryFolder(const std::string& ini = "") : ModuleFolder(VerboseLogIni(ini)) {}

    void WriteIni(const std::string& ini) { Write("eklv.ini", VerboseLogIni(ini)); }

    // How often text occurs in the log (no log line holds a text twice).
    int CountLines(const std::string& text) const { return CountOf(ReadLogs(), text); }
};

}  // namespace eklv::test
