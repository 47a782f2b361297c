// The library as a host sees it: libeklv.so or eklv.dll loaded at run time,
// its entry points, and the words for its result codes and interface types.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "eklv/eklv.h"
#include "system.h"

namespace eklvctl {

class Library {
public:
    // Loads the library at path; null with the reason in *error when it
    // cannot be loaded or lacks an entry point.
    static std::unique_ptr<Library> Load(const std::string& path, std::string* error);
    ~Library();
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    const std::string& path() const { return path_; }
    // The library's own folder.
    std::string Folder() const;
    // The folder it reads eklv.ini from and the one it writes its logs to,
    // by the library's own rule (src/core/folder_rules.h).
    std::string SettingsFolder() const;
    std::string LogFolder() const;

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

private:
    explicit Library(std::string path) : path_(std::move(path)) {}

    std::string path_;
    std::unique_ptr<Module> module_;
};

// Where to load the library from when --library is not given: $EKLV_LIBRARY,
// then the library beside this program, then the library installed with it
// (../lib/...), then the build tree's copy, then the system's search by name.
std::string DefaultLibraryPath();

// The call a result code came from: some codes mean different things for
// different calls (1 from EKLVInitialize is not 1 from EKLVGetComPort).
enum class Call {
    kInitialize,
    kUninitialize,
    kOpen,
    kClose,
    kRead,
    kWrite,
    kComPort,
    kBaudRate,
    kProduct,
    kLogging,
    kNotification,
};

// What a result code means for that call, in a few words.
std::string ResultMeaning(Call call, std::uint32_t code);
// "<meaning> (result N)"; with a device id, result 3 reads "no attached
// device has id 7 (result 3)".
std::string Explain(Call call, std::uint32_t code, std::optional<std::uint32_t> device_id = std::nullopt);

// "INF_UART" for 0x8003; "0x1234" for a code the table lacks.
std::string InterfaceTypeName(std::uint32_t type);
// Accepts a table name in any case, with or without "INF_", or a number
// ("0x8003", "32771"); nullopt when it names no interface type.
std::optional<std::uint32_t> ParseInterfaceType(const std::string& text);

}  // namespace eklvctl
