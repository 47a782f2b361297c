#include "transport/transport_test_env.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "log/message_logger.h"
#include "platform/linux/module_override.h"

namespace eklv::test {

LibraryFolder& LibraryFolder::Get() {
    static LibraryFolder* folder = new LibraryFolder;
    return *folder;
}

LibraryFolder::LibraryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "eklv_transport_XXXXXX").string();
    path_ = mkdtemp(pattern.data());
    pf::lx::OverrideModuleFileName(path_ + "/libeklv.so");
    WriteIni("");
}

void LibraryFolder::WriteIni(const std::string& text) {
    std::ofstream out(path_ + "/eklv.ini", std::ios::trunc);
    out << "[CORE_LOGGING]\nLevel=0x7\nFlush=1\n" << text << "\n";
}

std::string LibraryFolder::Mark() {
    static std::atomic<int> counter{0};
    std::string mark = "TEST-MARK-" + std::to_string(++counter);
    LogMessage(kNoDevice, kLogError, kCatGeneral, "%s", mark.c_str());
    return mark;
}

std::string LibraryFolder::LogSince(const std::string& mark) {
    std::string all;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
        if (entry.path().string().find("EKLV_Core.log") == std::string::npos) continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        all += text.str();
    }
    auto at = all.rfind(mark);
    return at == std::string::npos ? std::string() : all.substr(at + mark.size());
}

}  // namespace eklv::test
