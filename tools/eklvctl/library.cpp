#include "library.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "core/folder_rules.h"

namespace eklvctl {

using eklv::FolderFacts;
namespace {

struct TypeName {
    std::uint32_t code;
    const char* name;
};

// In the library's own table order (INF_MTP before INF_IMAGE).
constexpr std::array<TypeName, 9> kTypeNames = {{{INF_DATA, "INF_DATA"},
                                                 {INF_UART, "INF_UART"},
                                                 {INF_MSD, "INF_MSD"},
                                                 {INF_MTP, "INF_MTP"},
                                                 {INF_IMAGE, "INF_IMAGE"},
                                                 {INF_FLASH, "INF_FLASH"},
                                                 {INF_SFLASH, "INF_SFLASH"},
                                                 {INF_HSFLASH, "INF_HSFLASH"},
                                                 {INF_HBFLASH, "INF_HBFLASH"}}};

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

}  // namespace

std::unique_ptr<Library> Library::Load(const std::string& path, std::string* error) {
    std::unique_ptr<Library> library(new Library(path));
    library->module_ = Module::Load(path, error);
    if (!library->module_) return nullptr;
    bool complete = true;
    std::string missing;
    auto resolve = [&](auto& fn, const char* name) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(library->module_->Symbol(name));
        if (fn == nullptr) {
            complete = false;
            missing += missing.empty() ? name : std::string(", ") + name;
        }
    };
    resolve(library->Initialize, "EKLVInitialize");
    resolve(library->Uninitialize, "EKLVUninitialize");
    resolve(library->OpenDevice, "EKLVOpenDevice");
    resolve(library->CloseDevice, "EKLVCloseDevice");
    resolve(library->ReadData, "EKLVReadData");
    resolve(library->WriteData, "EKLVWriteData");
    resolve(library->GetComPort, "EKLVGetComPort");
    resolve(library->SetBaudRate, "EKLVSetBaudRate");
    resolve(library->GetProductStringDescriptor, "EKLVGetProductStringDescriptor");
    resolve(library->SetCoreLogging, "EKLVSetCoreLogging");
    resolve(library->Notification, "EKLVNotification");
    if (!complete) {
        *error = path + " is not the eklv library: it lacks " + missing;
        return nullptr;
    }
    // The library's own folder, as the library itself finds it.
    std::string file = library->module_->FileName();
    if (!file.empty()) library->path_ = file;
    return library;
}

Library::~Library() = default;

std::string Library::Folder() const {
    std::error_code ec;
    std::filesystem::path full = std::filesystem::absolute(path_, ec);
    return (ec ? std::filesystem::path(path_) : full).parent_path().string();
}

namespace {

FolderFacts FactsFor(const std::string& folder) {
    auto env = [](const char* name) -> std::string {
        const char* value = std::getenv(name);
        return value != nullptr ? value : "";
    };
    FolderFacts facts;
    facts.config_env = env("EKLV_CONFIG_DIR");
    facts.log_env = env("EKLV_LOG_DIR");
    facts.module_folder = folder;
    facts.ini_beside_module = Exists(folder + "/eklv.ini");
#ifdef EKLVCTL_SETTINGS_DIR
    facts.installed_settings = EKLVCTL_SETTINGS_DIR;
#endif
    return facts;
}

}  // namespace

std::string Library::SettingsFolder() const { return eklv::ChooseSettingsFolder(FactsFor(Folder())).folder; }

std::string Library::LogFolder() const {
    FolderFacts facts = FactsFor(Folder());
    return eklv::ChooseLogFolder(facts, eklv::ChooseSettingsFolder(facts).source, [] {
        // The library makes this folder when it first logs there.
        const char* state = std::getenv("XDG_STATE_HOME");
        if (state != nullptr && state[0] == '/') return std::string(state) + "/eklv";
        const char* home = std::getenv("HOME");
        return home != nullptr && home[0] == '/' ? std::string(home) + "/.local/state/eklv" : std::string();
    }).folder;
}

std::string DefaultLibraryPath() {
    const char* env = std::getenv("EKLV_LIBRARY");
    if (env != nullptr && *env != '\0') return env;
    std::string folder = ProgramFolder();
    if (!folder.empty()) {
        std::string beside = (std::filesystem::path(folder) / kLibraryFileName).string();
        if (Exists(beside)) return beside;
#ifdef EKLVCTL_INSTALLED_LIBRARY
        std::string installed = folder + "/" EKLVCTL_INSTALLED_LIBRARY;
        if (Exists(installed)) return installed;
#endif
    }
    if (Exists(EKLVCTL_BUILD_LIBRARY)) return EKLVCTL_BUILD_LIBRARY;
    return kLibraryFileName;
}

std::string ResultMeaning(Call call, std::uint32_t code) {
    switch (code) {
        case EKLV_OK:
            return "success";
        case EKLV_NOT_COMPLETED:
            switch (call) {
                case Call::kInitialize:
                    return "the library could not start: no USB hub was found or one could not be mapped to a "
                           "port id";
                case Call::kNotification:
                    return "the device change was not handled within 30 seconds";
                case Call::kComPort:
                    return "the interface is absent or its COM port name could not be read";
                default:
                    return "the operation did not complete";
            }
        case EKLV_INVALID_HANDLE:
            return call == Call::kBaudRate ? "the interface is not open" : "invalid interface handle";
        case EKLV_NO_SUCH_DEVICE:
            return "no attached device has that id";
        case EKLV_WRITE_FAILED:
            return "the write failed";
        case EKLV_READ_FAILED:
            return "the read failed: no complete answer came, or the port went away";
        case EKLV_NO_PARAMETER_BLOCK:
            return "no parameter block was given";
        case EKLV_OPEN_FAILED:
            return "the interface could not be opened";
        case EKLV_NO_SUCH_INTERFACE:
            switch (call) {
                case Call::kClose:
                    return "that interface is not open";
                case Call::kComPort:
                    return "the interface has no device-interface name";
                default:
                    return "the device has no such interface, or it is not open";
            }
        case EKLV_NO_SUPERVISOR:
            return "the library was not initialised";
        case EKLV_NOT_INITIALIZED:
            return "the library is not initialised";
        case EKLV_NO_RESOURCES:
            return "a part of the library or one of its threads could not be created";
        case EKLV_GET_COMM_STATE_FAILED:
            return "reading the serial port state failed";
        case EKLV_SET_COMM_STATE_FAILED:
            return "writing the serial port state failed";
        default:
            return "unknown result code";
    }
}

std::string Explain(Call call, std::uint32_t code, std::optional<std::uint32_t> device_id) {
    std::string meaning = code == EKLV_NO_SUCH_DEVICE && device_id
                              ? "no attached device has id " + std::to_string(*device_id & 0xFFFF)
                              : ResultMeaning(call, code);
    return meaning + " (result " + std::to_string(code) + ")";
}

std::string InterfaceTypeName(std::uint32_t type) {
    for (const TypeName& t : kTypeNames)
        if (t.code == type) return t.name;
    char text[16];
    std::snprintf(text, sizeof text, "0x%04x", static_cast<unsigned>(type));
    return text;
}

std::optional<std::uint32_t> ParseInterfaceType(const std::string& text) {
    std::string name = Upper(text);
    if (name.rfind("INF_", 0) != 0) name = "INF_" + name;
    for (const TypeName& t : kTypeNames)
        if (name == t.name) return t.code;
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (*end != '\0') return std::nullopt;
    for (const TypeName& t : kTypeNames)
        if (value == t.code) return t.code;
    return std::nullopt;
}

}  // namespace eklvctl
