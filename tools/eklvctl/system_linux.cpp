// Linux: libeklv.so through dlopen, the in-process message windows of
// eklv_host.h, and SIGINT, SIGTERM and SIGHUP read from a signalfd by a
// watcher thread.
#include "system.h"

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <fstream>
#include <thread>

#include "announcements.h"
#include "eklv/eklv_host.h"

namespace eklvctl {

const char* const kLibraryFileName = "libeklv.so";
const bool kListenReusesAddress = true;

std::string ProgramFolder() {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return "";
    self[n] = '\0';
    return std::filesystem::path(self).parent_path().string();
}

int HubPortCount(const std::string& hub_name) {
    // \\?\usb#vid_1d6b&pid_0002#usb1#{guid}: the kernel name is the
    // instance's last part.
    const std::string kernel = InstanceFromName(hub_name);
    if (kernel.empty() || kernel.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-.") != std::string::npos ||
        kernel[0] == '.')
        return -1;
    std::ifstream file("/sys/bus/usb/devices/" + kernel + "/maxchild");
    int ports = -1;
    if (!(file >> ports) || ports < 0 || ports > 255) return -1;
    return ports;
}

std::tm LocalTime(std::time_t seconds) {
    std::tm local{};
    localtime_r(&seconds, &local);
    return local;
}

std::unique_ptr<Module> Module::Load(const std::string& path, std::string* error) {
    // A name without a slash is searched for; an explicit file is loaded as it is.
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* reason = dlerror();
        *error = "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown reason");
        return nullptr;
    }
    return std::unique_ptr<Module>(new Module(handle));
}

Module::~Module() { dlclose(handle_); }

void* Module::Symbol(const char* name) const { return dlsym(handle_, name); }

std::string Module::FileName() const {
    Dl_info info{};
    void* any = Symbol("EKLVInitialize");
    if (any != nullptr && dladdr(any, &info) != 0 && info.dli_fname != nullptr) return info.dli_fname;
    return "";
}

namespace {

intptr_t WindowProc(EKLV_HWND, std::uint32_t, std::uintptr_t, intptr_t, void*) { return 0; }

}  // namespace

MessageWindow::MessageWindow() : handle_(EKLVHostCreateWindow(&WindowProc, nullptr)) {}

MessageWindow::~MessageWindow() {
    if (handle_ != 0) EKLVHostDestroyWindow(handle_);
}

std::uint32_t MessageWindow::Register(const char* name) { return EKLVHostRegisterWindowMessage(name); }

bool MessageWindow::Post(EKLV_HWND window, std::uint32_t message) {
    return EKLVHostPostMessage(window, message, 0, 0) != 0;
}

MessageWindow::Got MessageWindow::Next(WindowMessage* message, std::uint32_t timeout_ms) {
    EKLVMsg msg{};
    int r = EKLVHostGetMessageTimeout(&msg, 0, 0, 0, timeout_ms);
    if (r == -2) return Got::kTimeout;
    if (r != 1) return Got::kBroken;  // a quit message or a broken queue
    message->message = msg.message;
    message->wparam = msg.wparam;
    message->lparam = msg.lparam;
    return Got::kMessage;
}

namespace {

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

// The signals are blocked in every thread, the library's too, and read here.
struct Interrupts::Watcher {
    explicit Watcher(Interrupts& owner) {
        sigset_t set = StopSignals();
        signal_fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
        stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (signal_fd >= 0 && stop_fd >= 0) thread = std::thread([this, &owner] { Watch(owner); });
    }

    ~Watcher() {
        if (thread.joinable()) {
            std::uint64_t one = 1;
            ssize_t n = write(stop_fd, &one, sizeof one);
            (void)n;
            thread.join();
        }
        if (signal_fd >= 0) close(signal_fd);
        if (stop_fd >= 0) close(stop_fd);
    }

    void Watch(Interrupts& owner) {
        for (;;) {
            pollfd fds[2] = {{signal_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents != 0) return;
            signalfd_siginfo info{};
            if (read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info))
                owner.Raise(static_cast<int>(info.ssi_signo));
        }
    }

    int signal_fd = -1;
    int stop_fd = -1;
    std::thread thread;
};

void Interrupts::Prepare() {
    sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

Interrupts::Interrupts() : watcher_(std::make_unique<Watcher>(*this)) {}

Interrupts::~Interrupts() { watcher_.reset(); }

std::string Interrupts::name() const {
    switch (request_.load()) {
        case SIGINT:
            return "Ctrl-C";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "signal " + std::to_string(request_.load());
    }
}

}  // namespace eklvctl
