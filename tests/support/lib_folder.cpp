// The parts of the test folders that are the same on every OS.
#include "support/lib_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace eklv::test {

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempFolder::Write(const std::string& name, const std::string& text) const {
    std::ofstream out(File(name), std::ios::binary | std::ios::trunc);
    out << text;
}

std::string TempFolder::Read(const std::string& name) const {
    std::ifstream in(File(name), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> TempFolder::LogFiles() const {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(path_, ec)) {
        std::string name = entry.path().filename().string();
        if (name.size() > 13 && name.compare(name.size() - 13, 13, "EKLV_Core.log") == 0) files.push_back(name);
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string TempFolder::ReadLogs() const {
    std::string all;
    for (const auto& name : LogFiles()) all += Read(name);
    return all;
}

std::string VerboseLogIni(const std::string& extra) {
    return "[CORE_LOGGING]\nLevel=0x7\nFlush=1\n" + extra;
}

LoadedLibrary::LoadedLibrary(const std::string& ini_text) {
    const char* built = std::getenv("EKLV_LIBRARY");
    if (built == nullptr) {
        ADD_FAILURE() << "EKLV_LIBRARY is not set (run the tests through ctest)";
        return;
    }
    if (!ini_text.empty()) Write("eklv.ini", ini_text);
    std::error_code ec;
    std::filesystem::copy_file(built, File(kLibraryFileName), ec);
    if (ec) {
        ADD_FAILURE() << "cannot copy " << built << ": " << ec.message();
        return;
    }
    std::string error;
    if (!Open(&error)) {
        ADD_FAILURE() << error;
        return;
    }
    ok_ = true;
    auto resolve = [this](auto& fn, const char* name) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(Symbol(name));
        if (fn == nullptr) {
            ADD_FAILURE() << "missing export " << name;
            ok_ = false;
        }
    };
    resolve(Initialize, "EKLVInitialize");
    resolve(Uninitialize, "EKLVUninitialize");
    resolve(OpenDevice, "EKLVOpenDevice");
    resolve(CloseDevice, "EKLVCloseDevice");
    resolve(ReadData, "EKLVReadData");
    resolve(WriteData, "EKLVWriteData");
    resolve(GetComPort, "EKLVGetComPort");
    resolve(SetBaudRate, "EKLVSetBaudRate");
    resolve(GetProductStringDescriptor, "EKLVGetProductStringDescriptor");
    resolve(SetCoreLogging, "EKLVSetCoreLogging");
    resolve(Notification, "EKLVNotification");
    resolve(OnCall, "ZORVAN_OnCall");
}

int CountOf(const std::string& haystack, const std::string& text) {
    int n = 0;
    for (std::size_t pos = haystack.find(text); pos != std::string::npos; pos = haystack.find(text, pos + 1)) ++n;
    return n;
}

}  // namespace eklv::test
