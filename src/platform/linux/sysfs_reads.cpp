#include "platform/linux/sysfs_reads.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <unordered_map>

#include "platform/devtree.h"

namespace eklv::pf::lx {
namespace {

std::atomic<std::uint64_t> g_next_scope{1};

// The reads of the thread's read scope (depth > 0 while one lives).
struct Kept {
    int depth = 0;
    std::uint64_t id = 0;
    struct File {
        std::optional<std::string> content;  // none: it could not be opened
        std::size_t limit = 0;
    };
    std::unordered_map<std::string, File> files;
    std::unordered_map<std::string, bool> devices;
    std::unordered_map<std::string, std::string> links;
    std::unordered_map<std::string, std::vector<std::string>> lists;
    void Clear() {
        files.clear();
        devices.clear();
        links.clear();
        lists.clear();
    }
};
thread_local Kept t_kept;

// The value kept for path in the scope, else what read answers (kept when
// a scope lives).
template <class Map, class Read>
typename Map::mapped_type Remembered(Map& map, const std::string& path, Read read) {
    if (t_kept.depth == 0) return read();
    auto it = map.find(path);
    if (it != map.end()) return it->second;
    return map.emplace(path, read()).first->second;
}

// Named as the ThreadSanitizer suppression of tests/tsan.supp expects (the
// descriptor opens and closes inside umockdev's preload, behind it).
bool ReadFileOnce(const std::string& path, std::size_t limit, std::string* content) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string result;
    char chunk[4096];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        result.append(chunk, static_cast<std::size_t>(n));
        if (result.size() >= limit) {
            result.resize(limit);
            break;
        }
        // A sysfs attribute (and a regular file) answers a read short only
        // at its end: no further read to hear that.
        if (static_cast<std::size_t>(n) < sizeof chunk) break;
    }
    close(fd);
    *content = std::move(result);
    return true;
}

}  // namespace

bool ReadSysfsFile(const std::string& path, std::size_t limit, std::string* content) {
    if (t_kept.depth == 0) return ReadFileOnce(path, limit, content);
    auto it = t_kept.files.find(path);
    // Kept unless it was cut at a smaller limit than this read's.
    if (it == t_kept.files.end() ||
        (it->second.limit < limit && it->second.content && it->second.content->size() >= it->second.limit)) {
        Kept::File file;
        file.limit = limit;
        std::string text;
        if (ReadFileOnce(path, limit, &text)) file.content = std::move(text);
        it = t_kept.files.insert_or_assign(path, std::move(file)).first;
    }
    if (!it->second.content) return false;
    *content = it->second.content->substr(0, limit);
    return true;
}

bool IsDeviceDirectory(const std::string& path) {
    return Remembered(t_kept.devices, path, [&] { return access((path + "/uevent").c_str(), F_OK) == 0; });
}

std::string ReadLink(const std::string& path) {
    return Remembered(t_kept.links, path, [&] {
        char target[PATH_MAX];
        ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        return n <= 0 ? std::string() : std::string(target, static_cast<std::size_t>(n));
    });
}

std::vector<std::string> ListDirectory(const std::string& path) {
    return Remembered(t_kept.lists, path, [&] {
        std::vector<std::string> names;
        DIR* dir = opendir(path.c_str());
        if (dir == nullptr) return names;
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            names.emplace_back(entry->d_name);
        }
        closedir(dir);
        return names;
    });
}

std::uint64_t ReadScopeId() { return t_kept.depth > 0 ? t_kept.id : 0; }

}  // namespace eklv::pf::lx

namespace eklv::pf {

DeviceTreeReadScope::DeviceTreeReadScope() {
    if (lx::t_kept.depth++ == 0) lx::t_kept.id = lx::g_next_scope++;
}

DeviceTreeReadScope::~DeviceTreeReadScope() {
    if (--lx::t_kept.depth == 0) lx::t_kept.Clear();
}

}  // namespace eklv::pf
