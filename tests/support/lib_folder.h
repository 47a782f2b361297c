// Test folders for the library: a fresh temporary folder with an eklv.ini,
// either as the module folder of the statically linked core (unit tests)
// or holding a copy of libeklv.so that is loaded as a host would load it.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "eklv/eklv.h"

namespace eklv::test {

// A temporary folder, removed with its contents on destruction.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + kSeparator + name; }
#ifdef _WIN32
    static constexpr const char* kSeparator = "\\";
    static constexpr const char* kLibraryName = "eklv.dll";
#else
    static constexpr const char* kSeparator = "/";
    static constexpr const char* kLibraryName = "libeklv.so";
#endif
    void Write(const std::string& name, const std::string& text) const;
    std::string Read(const std::string& name) const;
    // Contents of every "*EKLV_Core.log" in the folder, in name order.
    std::string ReadLogs() const;
    std::vector<std::string> LogFiles() const;

private:
    std::string path_;
};

// Points the statically linked core at a temporary folder: eklv.ini and the
// log files live there. Restores the real module name on destruction.
class ModuleFolder : public TempFolder {
public:
    explicit ModuleFolder(const std::string& ini_text = "");
    ~ModuleFolder();
};

// Points the statically linked core at a folder of the test process's own
// (empty eklv.ini) when no ModuleFolder is active: without it, a unit test
// would read the machine's installed eklv.ini and log to the user's state
// folder. The test mains call it first; ModuleFolder returns to it.
void UseQuietModuleFolder();

// An ini with logging of every level, flushed, for tests that read the log.
std::string VerboseLogIni(const std::string& extra = "");

// A copy of libeklv.so in a temporary folder, loaded with dlopen, with the
// twelve entry points resolved.
class LoadedLibrary : public TempFolder {
public:
    explicit LoadedLibrary(const std::string& ini_text = "");
    ~LoadedLibrary();

    decltype(&::EKLVInitialize) Initialize = nullptr;
    decltype(&::EKLVUninitialize) Uninitialize = nullptr;
    decltype(&::EKLVOpenDevice) OpenDevice = nullptr;
    decltype(&::EKLVCloseDevice) CloseDevice = nullptr;
    decltype(&::EKLVReadData) ReadData = nullptr;
    decltype(&::EKLVWriteData) WriteData = nullptr;
    decltype(&::EKLVGetComPort) GetComPort = nullptr;
    decltype(&::EKLVSetBaudRate) SetBaudRate = nullptr;
    decltype(&::EKLVGetProductStringDescriptor) GetProductStringDescriptor = nullptr;
    decltype(&::EKLVSetCoreLogging) SetCoreLogging = nullptr;
    decltype(&::EKLVNotification) Notification = nullptr;
    decltype(&::ZORVAN_OnCall) OnCall = nullptr;

    // True when the copy loaded and every entry point resolved.
    bool ok() const { return ok_; }
    // The loaded copy (dlopen's handle, or the HMODULE on Windows).
    void* module() const { return handle_; }
    // Lets go of the copy as a host does (dlclose, FreeLibrary); the entry
    // points are no longer callable.
    void Unload();

private:
    void* handle_ = nullptr;
    bool ok_ = false;
};

// Number of times text occurs in haystack.
int CountOf(const std::string& haystack, const std::string& text);

// The first of lines that log does not hold after the ones before it; empty
// when it holds them all in this order.
std::string FirstMissingInOrder(const std::string& log, std::initializer_list<const char*> lines);

}  // namespace eklv::test
