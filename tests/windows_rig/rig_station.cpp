#include "windows_rig/rig_station.h"

#include <shlobj.h>

#include <filesystem>
#include <fstream>
#include <iostream>

namespace eklv::test {

namespace {

// Loads the copy and binds its imports to the tree.
std::unique_ptr<LoadedLibrary> Load(const std::string& ini) {
    auto lib = std::make_unique<LoadedLibrary>(ini);
    const int rebound = lib->ok() ? UsbTree::Install(static_cast<HMODULE>(lib->module())) : 0;
    EXPECT_EQ(rebound, UsbTree::kCalls) << "import entries of eklv.dll bound to the tree";
    return lib;
}

LoadedLibrary& Shared(const std::string& ini) {
    static std::unique_ptr<LoadedLibrary> shared;
    if (!shared) {
        shared = Load(ini);
    } else {
        shared->Write("eklv.ini", ini);
        std::error_code ignored;
        for (const std::string& log : shared->LogFiles()) std::filesystem::remove(shared->File(log), ignored);
    }
    return *shared;
}

}  // namespace

RigStation::RigStation(const std::string& ini, Copy copy)
    : own_(copy == Copy::kOwn ? Load(ini) : nullptr), lib(own_ ? *own_ : Shared(ini)) {
    EXPECT_TRUE(modems.connected()) << "no modem station: run through with_modem_station.sh";
    char folder[MAX_PATH];
    if (SUCCEEDED(::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, folder)))
        config_path_ = std::string(folder) + "\\Common Files\\Norvanta Shared\\KVTSDK\\USBConnectivityConfig.ini";
    std::error_code ignored;
    std::filesystem::remove(config_path_, ignored);
}

RigStation::~RigStation() {
    if (started_) Stop();
    std::error_code ignored;
    std::filesystem::remove(config_path_, ignored);
    if (!testing::Test::HasFailure()) return;
    const std::string log = Log();  // its end, for the reader of a failed run
    std::cerr << "end of the log:\n" << log.substr(log.size() > 30000 ? log.size() - 30000 : 0);
}

std::uint32_t RigStation::Start(CallbackLog* callbacks) {
    std::string config = "[HISTORY]\nwhen=rig\n[ROOT_TID]\n";
    int root = 0;
    for (const std::string& controller : tree.Controllers()) config += controller + "=" + std::to_string(root++) + "\n";
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(config_path_).parent_path(), ignored);
    std::ofstream(config_path_, std::ios::binary | std::ios::trunc) << config << config_sections_;
    for (const std::string& port : tree.ComPorts(0)) EXPECT_TRUE(modems.Open(port)) << port;
    EKLVInitParams params = HostParams(host.hwnd(), callbacks);
    const std::uint32_t r = lib.Initialize(&params);
    started_ = r == 0;
    return r;
}

std::uint32_t RigStation::Stop() {
    started_ = false;
    return lib.Uninitialize();
}

void RigStation::Pull(UsbTree::NodeId node) {
    for (const std::string& port : tree.ComPorts(node)) modems.HangUp(port);
    tree.Unplug(node);
}

void RigStation::PlugIn(UsbTree::NodeId node) {
    for (const std::string& port : tree.ComPorts(node)) EXPECT_TRUE(modems.Open(port)) << port;
    tree.Plug(node);
}

HostMessage RigStation::Nth(std::size_t n) {
    auto messages = host.WaitFor(n);
    return messages.size() >= n ? messages[n - 1] : HostMessage{false, EKLV_NO_DEVICE, 0};
}

std::uint32_t RigStation::IdOf(std::uint32_t type, std::size_t n) {
    std::uint32_t id = EKLV_NO_DEVICE;
    auto messages = host.WaitFor(n);
    for (std::size_t i = 0; i < messages.size() && i < n; ++i)
        if (messages[i].type == type) id = messages[i].device_id;
    return id;
}

std::string RigStation::ComPort(std::uint32_t id, std::uint32_t type) {
    EKLVString s;
    EKLVStringInit(&s);
    const std::uint32_t r = lib.GetComPort(id, type, &s);
    std::string text = r == 0 ? EKLVStringGet(&s) : "result " + std::to_string(r);
    EKLVStringFree(&s);
    return text;
}

std::string RigStation::Product(std::uint32_t id) {
    EKLVString s;
    EKLVStringInit(&s);
    const std::uint32_t r = lib.GetProductStringDescriptor(id, &s);
    std::string text = r == 0 ? EKLVStringGet(&s) : "result " + std::to_string(r);
    EKLVStringFree(&s);
    return text;
}

}  // namespace eklv::test
