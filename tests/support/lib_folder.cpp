#include "support/lib_folder.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>

#include "platform/win32/module_override.h"
#else
#include <dlfcn.h>

#include "platform/linux/module_override.h"
#endif

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <iterator>

#include "core/settings.h"
#include "log/message_logger.h"

namespace eklv::test {
namespace {
#ifdef _WIN32
void OverrideModule(const std::string& path) { pf::w32::OverrideModuleFileName(path); }
void* Open(const std::string& file) { return ::LoadLibraryA(file.c_str()); }
void* Lookup(void* module, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name));
}
void Close(void* module) { ::FreeLibrary(static_cast<HMODULE>(module)); }
std::string OpenError() { return "LoadLibraryA error " + std::to_string(::GetLastError()); }
#else
void OverrideModule(const std::string& path) { pf::lx::OverrideModuleFileName(path); }
void* Open(const std::string& file) { return dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL); }
void* Lookup(void* module, const char* name) { return dlsym(module, name); }
void Close(void* module) { dlclose(module); }
std::string OpenError() { return dlerror(); }
#endif
}  // namespace

// A fresh folder under the system's temporary folder ($TMPDIR here, where
// umockdev keeps its testbeds too), readable by this user only.
TempFolder::TempFolder() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    for (int attempt = 0; attempt < 100 && path_.empty() && !base.empty(); ++attempt) {
        const auto name = base / ("eklv-test-" + std::to_string(random()) + "-" + std::to_string(counter++));
        if (std::filesystem::create_directory(name, ec)) path_ = name.string();
    }
    if (path_.empty()) ADD_FAILURE() << "cannot make a temporary folder: " << ec.message();
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempFolder::Write(const std::string& name, const std::string& text) const {
    std::ofstream(File(name), std::ios::binary | std::ios::trunc) << text;
}

std::string TempFolder::Read(const std::string& name) const {
    std::ifstream in(File(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> TempFolder::LogFiles() const {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(path_, ec))
        if (auto name = entry.path().filename().string(); name.size() > 13 && name.ends_with("EKLV_Core.log"))
            files.push_back(name);
    std::sort(files.begin(), files.end());
    return files;
}

std::string TempFolder::ReadLogs() const {
    std::string all;
    for (const auto& name : LogFiles()) all += Read(name);
    return all;
}

// The core keeps the ini path from its first use and the logger its
// settings: the logger writes its settings back to the folder it came from
// and the path is computed afresh, so a test never reads the ini or writes
// the log of one that went before. An eklv.ini, even an empty one, keeps
// the settings and the log beside the library rather than in the installed
// folders.
ModuleFolder::ModuleFolder(const std::string& ini_text) {
    CKLVMessageLogger::UnInitialize();
    Write("eklv.ini", ini_text);
    OverrideModule(File(kLibraryName));
    InitSettings();
}

ModuleFolder::~ModuleFolder() {
    CKLVMessageLogger::UnInitialize();
    UseQuietModuleFolder();
}

void UseQuietModuleFolder() {
    // Made once per process with an empty eklv.ini and removed at exit.
    static const TempFolder quiet;
    static const bool written = (quiet.Write("eklv.ini", ""), true);
    (void)written;
    OverrideModule(quiet.File(TempFolder::kLibraryName));
    InitSettings();
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
    Write("eklv.ini", ini_text);
    std::error_code ec;
#ifdef _WIN32
    // CTest names the built DLL by its Unix path; Wine's drive Z: is the root.
    std::string source = built[0] == '/' ? std::string("Z:") + built : std::string(built);
#else
    std::string source = built;
#endif
    std::filesystem::copy_file(source, File(kLibraryName), ec);
    if (ec) {
        ADD_FAILURE() << "cannot copy " << built << ": " << ec.message();
        return;
    }
    handle_ = Open(File(kLibraryName));
    if (handle_ == nullptr) {
        ADD_FAILURE() << "loading the library: " << OpenError();
        return;
    }
    ok_ = true;
    auto resolve = [this](auto& fn, const char* name) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(Lookup(handle_, name));
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

LoadedLibrary::~LoadedLibrary() { Unload(); }

void LoadedLibrary::Unload() {
    if (handle_ != nullptr) Close(handle_);
    handle_ = nullptr;
    ok_ = false;
}

int CountOf(const std::string& haystack, const std::string& text) {
    int n = 0;
    for (std::size_t pos = haystack.find(text); pos != std::string::npos; pos = haystack.find(text, pos + 1)) ++n;
    return n;
}

std::string FirstMissingInOrder(const std::string& log, std::initializer_list<const char*> lines) {
    std::size_t pos = 0;
    for (const char* line : lines)
        if ((pos = log.find(line, pos)) == std::string::npos) return line;
    return "";
}

}  // namespace eklv::test
