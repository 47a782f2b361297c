#include "kernel_rig/kernel_rig_support.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace eklv::test {

std::string RigIni() {
    const char* path = std::getenv("EKLV_RIG_INI");
    std::ifstream in(path != nullptr ? path : "");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

SharedConfig::SharedConfig() {
    std::string shared = path() + "/Common Files/Norvanta Shared/KVTSDK";
    std::filesystem::create_directories(shared);
    std::ofstream(shared + "/USBConnectivityConfig.ini") << "[HISTORY]\n";
    setenv("EKLV_COMMON_APPDATA", path().c_str(), 1);
}

SharedConfig::~SharedConfig() { unsetenv("EKLV_COMMON_APPDATA"); }

bool WaitForPaths(const std::vector<std::string>& paths, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        bool all = true;
        struct stat st;
        for (const auto& p : paths) all = all && stat(p.c_str(), &st) == 0;
        if (all) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool WaitGone(const std::string& path, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    struct stat st;
    while (stat(path.c_str(), &st) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

CommandResult RunCommand(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    int status = pclose(pipe);
    if (status != -1 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

ServedPhone::ServedPhone(const std::string& name, GadgetSetup setup) : phone(name, setup) {
    for (const std::string& tty : phone.PhoneTtys()) {
        int fd = KernelPhone::OpenPhoneTty(tty);
        fds_.push_back(fd);
        modems.push_back(std::make_unique<ModemEmulator>(fd));
        modems.back()->Answer("AT+FAIL", ModemReply::Error());
    }
}

ServedPhone::~ServedPhone() {
    modems.clear();
    phone.Pull();
    for (int fd : fds_)
        if (fd >= 0) close(fd);
}

}  // namespace eklv::test
