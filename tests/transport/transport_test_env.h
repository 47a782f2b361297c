// A folder of the test process's own that stands in for the library's
// folder: eklv.ini and the core log live there. The ini path is fixed at its
// first use, so there is one folder per test process.
#pragma once

#include <string>

namespace eklv::test {

class LibraryFolder {
public:
    static LibraryFolder& Get();
    // Replaces eklv.ini with text (logging of every level stays on).
    void WriteIni(const std::string& text);
    // Logs a unique line; LogSince answers what was logged after it.
    std::string Mark();
    std::string LogSince(const std::string& mark);
    const std::string& path() const { return path_; }

private:
    LibraryFolder();
    std::string path_;
};

}  // namespace eklv::test
