#include "support/lib_folder.h"

#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/linux/module_override.h"

namespace eklv::test {

TempFolder::TempFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/eklv-test-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = name.data();
}

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

// An eklv.ini, even an empty one, keeps the settings and the log beside the
// library rather than in the installed folders.
ModuleFolder::ModuleFolder(const std::string& ini_text) {
    Write("eklv.ini", ini_text);
    pf::lx::OverrideModuleFileName(File("libeklv.so"));
}

ModuleFolder::~ModuleFolder() { pf::lx::OverrideModuleFileName(""); }

std::string VerboseLogIni(const std::string& extra) {
    return "[CORE_LOGGING]\nLevel=0x7\nFlush=1\n" + extra;
}

LoadedLibrary::LoadedLibrary(const std::string& ini_text) {
    const char* built = std::getenv("EKLV_LIBRARY");
    if (built == nullptr) {
        ADD_FAILURE() << "EKLV_LIBRARY is not set (run the tests through ctest)";
        return;
    }
    Write("eklv.ini", ini_text);
    std::error_code ec;
    std::filesystem::copy_file(built, File("libeklv.so"), ec);
    if (ec) {
        ADD_FAILURE() << "cannot copy " << built << ": " << ec.message();
        return;
    }
    handle_ = dlopen(File("libeklv.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        ADD_FAILURE() << "dlopen: " << dlerror();
        return;
    }
    ok_ = true;
    auto resolve = [this](auto& fn, const char* name) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(handle_, name));
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

LoadedLibrary::~LoadedLibrary() {
    if (handle_ != nullptr) dlclose(handle_);
}

void* LoadedLibrary::Symbol(const char* name) const { return handle_ ? dlsym(handle_, name) : nullptr; }

int CountOf(const std::string& haystack, const std::string& text) {
    int n = 0;
    for (std::size_t pos = haystack.find(text); pos != std::string::npos; pos = haystack.find(text, pos + 1)) ++n;
    return n;
}

}  // namespace eklv::test
