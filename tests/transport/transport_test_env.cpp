#include "transport/transport_test_env.h"

#include <atomic>

#include "log/message_logger.h"
#include "support/lib_folder.h"

namespace eklv::test {

namespace {
// The ini path is fixed at its first use, so the folder lives as long as the
// process; it is removed at exit.
ModuleFolder& Folder() {
    static ModuleFolder folder(VerboseLogIni());
    return folder;
}
}  // namespace

LibraryFolder& LibraryFolder::Get() {
    static LibraryFolder folder;
    return folder;
}

LibraryFolder::LibraryFolder() : path_(Folder().path()) {}

void LibraryFolder::WriteIni(const std::string& text) { Folder().Write("eklv.ini", VerboseLogIni(text)); }

std::string LibraryFolder::Mark() {
    static std::atomic<int> counter{0};
    std::string mark = "TEST-MARK-" + std::to_string(++counter);
    LogMessage(kNoDevice, kLogError, kCatGeneral, "%s", mark.c_str());
    return mark;
}

std::string LibraryFolder::LogSince(const std::string& mark) {
    const std::string all = Folder().ReadLogs();
    auto at = all.rfind(mark);
    return at == std::string::npos ? std::string() : all.substr(at + mark.size());
}

}  // namespace eklv::test
