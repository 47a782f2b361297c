// Settings and log folders on Linux: the installed folder under the
// configured sysconfdir, the XDG state folder, and the checks on files
// whose names anyone can predict.
#include "platform/folders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/handle.h"
#include "platform/linux/kernel_object.h"

#ifndef EKLV_SETTINGS_DIR
#define EKLV_SETTINGS_DIR "/etc/eklv"
#endif

namespace eklv::pf {
namespace {


// mkdir -p with the given mode for the folders it creates.
bool MakeFolders(const std::string& path, mode_t mode) {
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST) {
            SetLastError(lx::ErrorFromErrno(errno));
            return false;
        }
    }
    return true;
}

}  // namespace

std::string GetEnvironmentVariableA(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string GetInstalledSettingsFolder() { return EKLV_SETTINGS_DIR; }

std::string GetUserStateFolder() {
    // XDG base directories: $XDG_STATE_HOME, else ~/.local/state; a relative
    // value is to be ignored.
    std::string base = GetEnvironmentVariableA("XDG_STATE_HOME");
    if (base.empty() || base[0] != '/') {
        std::string home = GetEnvironmentVariableA("HOME");
        if (home.empty() || home[0] != '/') {
            SetLastError(kErrorFileNotFound);
            return {};
        }
        base = home + "/.local/state";
    }
    std::string folder = base + "/eklv";
    if (!MakeFolders(folder, 0700)) return {};
    return folder;
}

PathAccess CheckPathAccess(const std::string& path, bool write) {
    if (access(path.c_str(), F_OK) != 0) return PathAccess::kMissing;
    int wanted = R_OK | (write ? W_OK : 0);
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) wanted |= X_OK;
    return access(path.c_str(), wanted) == 0 ? PathAccess::kOk : PathAccess::kDenied;
}

bool IsWritableByOthers(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    if ((st.st_mode & S_IWOTH) != 0) return true;
    std::size_t cut = path.rfind('/');
    std::string folder = cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
    struct stat fst;
    return stat(folder.c_str(), &fst) == 0 && (fst.st_mode & S_IWOTH) != 0 && (fst.st_mode & S_ISVTX) == 0;
}

std::FILE* OpenOwnFile(const std::string& path, const char* mode) {
    int flags = O_CLOEXEC | O_NOFOLLOW;
    bool both = std::strchr(mode, '+') != nullptr;
    switch (mode[0]) {
        case 'a':
            flags |= (both ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
            break;
        case 'w':
            flags |= (both ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
            break;
        default:
            flags |= both ? O_RDWR : O_RDONLY;
    }
    int fd = open(path.c_str(), flags, 0666);
    if (fd < 0) {
        SetLastError(lx::ErrorFromErrno(errno));
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        close(fd);
        SetLastError(kErrorAccessDenied);
        return nullptr;
    }
    std::string stream_mode(1, mode[0]);
    if (both) stream_mode += '+';
    std::FILE* stream = fdopen(fd, stream_mode.c_str());
    if (stream == nullptr) {
        SetLastError(lx::ErrorFromErrno(errno));
        close(fd);
    }
    return stream;
}

void OutputDebugStringA(const char* text) {
    std::string line = std::string("eklv: ") + text + "\n";
    ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

}  // namespace eklv::pf
