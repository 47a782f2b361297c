#include "kernel_rig/kernel_rig_support.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "support/eventually.h"

namespace eklv::test {

std::string RigIni() {
    const char* path = std::getenv("EKLV_RIG_INI");
    std::ifstream in(path != nullptr ? path : "");
    return {std::istreambuf_iterator<char>(in), {}};
}

SharedConfig::SharedConfig(const std::string& ini) {
    std::string shared = path() + "/Common Files/Norvanta Shared/KVTSDK";
    std::filesystem::create_directories(shared);
    std::ofstream(shared + "/USBConnectivityConfig.ini") << ini;
    setenv("EKLV_COMMON_APPDATA", path().c_str(), 1);
}

SharedConfig::~SharedConfig() { unsetenv("EKLV_COMMON_APPDATA"); }

namespace {
bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}
}  // namespace

bool WaitForPaths(const std::vector<std::string>& paths, std::chrono::milliseconds timeout) {
    return Eventually([&] { return std::all_of(paths.begin(), paths.end(), Exists); }, timeout);
}

bool WaitGone(const std::string& path, std::chrono::milliseconds timeout) {
    return Eventually([&] { return !Exists(path); }, timeout);
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

bool QemuCommand(const std::string& request) {
    int fd = open("/dev/ttyS1", O_RDWR | O_NOCTTY);
    if (fd < 0) return false;
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    tcflush(fd, TCIOFLUSH);
    const std::string line = request + "\n";
    std::string answer;
    if (write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
        pollfd p{fd, POLLIN, 0};
        char c = 0;
        while (poll(&p, 1, 30000) == 1 && read(fd, &c, 1) == 1 && c != '\n') answer += c;
    }
    close(fd);
    if (answer != "ok") std::fprintf(stderr, "qemu: %s: %s\n", request.c_str(), answer.c_str());
    return answer == "ok";
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
