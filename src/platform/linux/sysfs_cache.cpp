#include "platform/linux/sysfs_cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace eklv::pf::lx {
namespace {

// Paths whose "remove" came without their "add" again, beyond which
// nothing is kept any more (a bound for a testbed that never re-adds).
constexpr std::size_t kMaxRemoved = 4096;

// A USB device's attributes that follow its active configuration.
constexpr const char* kFollowsConfiguration[] = {"bConfigurationValue", "bNumInterfaces", "bmAttributes", "bMaxPower",
                                                 "configuration"};

// The folder of path when its last part is one of kFollowsConfiguration.
std::string_view ConfigurationFolder(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return {};
    const std::string_view name = path.substr(slash + 1);
    for (const char* follows : kFollowsConfiguration)
        if (name == follows) return path.substr(0, slash);
    return {};
}

// Attributes a driver's bind or unbind leaves as they are: a USB device's
// ids, class and address, an interface's number. (An interface's class
// follows its alternate setting, which a driver may change.)
constexpr const char* kFixedForLife[] = {"idVendor",        "idProduct",       "bcdDevice", "bDeviceClass",
                                         "bDeviceSubClass", "bDeviceProtocol", "busnum",    "devnum",
                                         "bInterfaceNumber"};

bool ThroughBusOrClass(std::string_view path) {
    return path.substr(0, 9) == "/sys/bus/" || path.substr(0, 11) == "/sys/class/";
}

// The name a link in /sys/bus or /sys/class ends in; empty for any other.
std::string_view NamedLinkName(std::string_view path) {
    if (!ThroughBusOrClass(path)) return {};
    return path.substr(path.rfind('/') + 1);
}

// Whole answers kept at most; a station's questions about its present
// devices fit many times over.
constexpr std::size_t kMaxAnswers = 8192;


// Named as the ThreadSanitizer suppression of tests/tsan.supp expects (the
// descriptor opens and closes inside umockdev's preload, behind it).
bool ReadSysfsFile(const std::string& path, std::size_t limit, std::string* content) {
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

std::string ReadLink(const std::string& path) {
    char target[PATH_MAX];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) return {};
    return std::string(target, static_cast<std::size_t>(n));
}

std::vector<std::string> ListDirectory(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        names.emplace_back(entry->d_name);
    }
    closedir(dir);
    return names;
}

// The value kept for path in map, else what read answers (kept when keeps).
template <class Map, class Read>
typename Map::mapped_type Remembered(bool keeps, Map& map, const std::string& path, Read read) {
    if (keeps) {
        auto it = map.find(path);
        if (it != map.end()) return it->second;
    }
    typename Map::mapped_type value = read();
    if (keeps) map.emplace(path, value);
    return value;
}

// Never destroyed, as the sysfs lock: late static destructors may still
// ask questions. Its contents are freed at unload.
SysfsCache* g_cache = nullptr;

struct ReleaseCacheAtUnload {
    ~ReleaseCacheAtUnload() {
        if (g_cache != nullptr) g_cache->Release();
    }
} g_release_cache;

}  // namespace

int Waiting(int fd) {
    pollfd pending = {fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&pending, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready;
}

SysfsCache& TheSysfsCache() {
    alignas(SysfsCache) static unsigned char storage[sizeof(SysfsCache)];
    static SysfsCache* cache = g_cache = new (storage) SysfsCache;
    return *cache;
}

void SysfsCache::BeginQuestion() {
    if (depth_++ > 0) return;
    keep_ = false;
    not_kept_ = false;
    if (fd_ >= 0 && removed_.size() < kMaxRemoved) {
        // A uevent waiting (or an error: uevents lost) means sysfs changed
        // after what is kept was read. Taken off the socket, it makes the
        // cache forget what it may have changed, and the rest stays good:
        // during an arrival the kernel is still sending the phone's later
        // uevents, and questions that kept nothing read it all again.
        int ready = Waiting(fd_);
        if (ready > 0 && take_waiting_ != nullptr) {
            take_waiting_(take_context_);
            ready = Waiting(fd_);
        }
        keep_ = ready == 0;
        // Uevents still coming (a burst of arrivals): this question reads
        // afresh, and what is kept waits aside for the next question that
        // finds the socket empty, whose taking the uevents off it first
        // forgets what they changed.
        if (!keep_) {
            std::swap(kept_, aside_);
            set_aside_ = true;
        }
    }
    if (!keep_) Forget();
}

void SysfsCache::EndQuestion() {
    if (--depth_ > 0) return;
    if (!keep_) Forget();
    if (set_aside_) {
        std::swap(kept_, aside_);
        set_aside_ = false;
    }
}

void SysfsCache::Watch(int fd, TakeWaiting take_waiting, void* context) {
    fd_ = fd;
    take_waiting_ = fd >= 0 ? take_waiting : nullptr;
    take_context_ = fd >= 0 ? context : nullptr;
    Forget();
    aside_.Clear();
    removed_.clear();
    removed_lengths_.clear();
}

void SysfsCache::Received(const char* action, const char* syspath) {
    keep_ = false;  // a question of the monitor's own keeps nothing either
    if (set_aside_) aside_.Clear();
    // A node that moved leaves its old path behind: forget everything.
    if (action == nullptr || syspath == nullptr || syspath[0] != '/' || std::strcmp(action, "move") == 0) {
        Forget();
        return;
    }
    // A driver coming or going changes the node's own folder (its driver
    // link, the driver's attributes); what appears or goes below it comes
    // with uevents of its own.
    if (std::strcmp(action, "bind") == 0 || std::strcmp(action, "unbind") == 0) {
        ForgetAround(syspath, true);
        return;
    }
    ForgetAround(syspath, false);
    if (std::strcmp(action, "remove") == 0) {
        if (removed_.insert(syspath).second) ++removed_lengths_[std::strlen(syspath)];
    } else if (std::strcmp(action, "add") == 0) {
        auto it = removed_.find(std::string_view(syspath));
        if (it != removed_.end()) {
            auto length = removed_lengths_.find(it->size());
            if (--length->second == 0) removed_lengths_.erase(length);
            removed_.erase(it);
        }
    }
}

bool SysfsCache::Keeps(const std::string& path) {
    if (!keep_) return false;
    if (!UnderRemoved(path)) return true;
    not_kept_ = true;
    return false;
}

// Only the lengths of removed paths are tried, each where path has a slash
// or ends: removed devices have few lengths, a path many components.
bool SysfsCache::UnderRemoved(const std::string& path) const {
    const std::string_view whole(path);
    for (const auto& [length, count] : removed_lengths_) {
        if (length > whole.size()) break;
        if (length < whole.size() && whole[length] != '/') continue;
        if (removed_.find(whole.substr(0, length)) != removed_.end()) return true;
    }
    return false;
}

void SysfsCache::Learn(const UeventFacts& facts) {
    if (facts.folder.empty() || UnderRemoved(facts.folder)) return;
    for (const auto& [path, content] : facts.files) kept_.files.insert_or_assign(path, content);
    for (const auto& [path, text] : facts.links) {
        if (const std::string_view name = NamedLinkName(path); !name.empty())
            kept_.named_links[std::string(name)].insert_or_assign(path, text);
        else
            kept_.links.insert_or_assign(path, text);
    }
    kept_.devices.insert_or_assign(facts.folder, true);
}

bool SysfsCache::Recall(const std::string& key, std::string* value) const {
    auto it = kept_.answers.find(key);
    if (it == kept_.answers.end()) return false;
    *value = it->second;
    return true;
}

void SysfsCache::Remember(const std::string& key, std::string value) {
    if (not_kept_) return;
    // Keys hold the callers' buffers (hub requests): a caller passing
    // different bytes every time must not grow the table without end.
    if (kept_.answers.size() >= kMaxAnswers) kept_.answers.clear();
    kept_.answers[key] = std::move(value);
}

namespace {

template <typename Map>
void EraseKey(Map& map, std::string_view key) {
    auto it = map.find(key);
    if (it != map.end()) map.erase(it);
}

// The key of a map's or a set's element.
template <typename Entry>
std::string_view KeyOf(const Entry& entry) {
    return entry.first;
}
inline std::string_view KeyOf(const std::string& key) { return key; }

// Erases the keys that start with prefix.
template <typename Map>
void EraseWithPrefix(Map& map, std::string_view prefix) {
    auto it = map.lower_bound(prefix);
    while (it != map.end() && KeyOf(*it).substr(0, prefix.size()) == prefix) it = map.erase(it);
}

// Erases what was read through /sys/bus and /sys/class.
template <typename Map>
void EraseThroughBusAndClass(Map& map) {
    EraseWithPrefix(map, "/sys/bus/");
    EraseWithPrefix(map, "/sys/class/");
}

// Erases what is kept at path and below it (below: path and a slash).
template <typename Map>
void EraseAtOrBelow(Map& map, std::string_view path, std::string_view below) {
    EraseKey(map, path);
    EraseWithPrefix(map, below);
}

// Erases what map holds directly in the folder below ("<folder>/"), except
// the entries keep names.
template <typename Map, typename Keep>
void EraseInFolder(Map& map, std::string_view below, Keep keep) {
    for (auto it = map.lower_bound(below); it != map.end() && KeyOf(*it).substr(0, below.size()) == below;) {
        const std::string_view entry = KeyOf(*it).substr(below.size());
        if (entry.find('/') != std::string_view::npos || keep(entry))
            ++it;
        else
            it = map.erase(it);
    }
}

bool FixedForLife(std::string_view attribute) {
    for (const char* fixed : kFixedForLife)
        if (attribute == fixed) return true;
    return false;
}

}  // namespace

// What a uevent of the node at path may change: the node's own directory
// and everything below it; the listing of every directory above it (its
// entry comes or goes, glue folders such as "tty" with it); the attributes
// of the devices above it that follow the active configuration (they
// change when the configuration does, between the removal of the old
// interfaces and the arrival of the new ones, without a uevent of the
// device's own); the links named after the node in /sys/bus and
// /sys/class, and whatever else was read through those two. Everything
// else a device directory holds is fixed for the life of that device: it
// is made before the device's "add" and goes before its "remove", and a
// new device at the same path comes with uevents of its own.
//
// A driver's bind or unbind changes less: the node's own folder (its
// driver link, the attributes the driver adds or takes away, its listing),
// never the device's ids, class, address or interface number.
void SysfsCache::ForgetAround(const std::string& path, bool driver) {
    kept_.answers.clear();
    const std::string below = path + "/";
    const std::string_view name = std::string_view(path).substr(path.rfind('/') + 1);
    auto named = kept_.named_links.find(name);
    if (driver) {
        EraseInFolder(kept_.files, below, FixedForLife);
        EraseInFolder(kept_.links, below, [](std::string_view entry) { return entry == "subsystem"; });
        EraseInFolder(kept_.stats, below, [](std::string_view) { return false; });
        EraseKey(kept_.lists, path);
        // Only a driver's own folder lists the devices bound to it.
        if (named != kept_.named_links.end()) {
            auto& links = named->second;
            for (auto it = links.begin(); it != links.end();)
                it = it->first.find("/drivers/") != std::string::npos ? links.erase(it) : std::next(it);
        }
    } else {
        EraseAtOrBelow(kept_.files, path, below);
        EraseAtOrBelow(kept_.devices, path, below);
        EraseAtOrBelow(kept_.links, path, below);
        EraseAtOrBelow(kept_.stats, path, below);
        EraseAtOrBelow(kept_.lists, path, below);
        EraseWithPrefix(kept_.configured, below);
        if (named != kept_.named_links.end()) kept_.named_links.erase(named);
    }
    EraseKey(kept_.configured, path);
    if (kept_.through_bus_or_class) {
        EraseThroughBusAndClass(kept_.files);
        EraseThroughBusAndClass(kept_.devices);
        EraseThroughBusAndClass(kept_.stats);
        EraseThroughBusAndClass(kept_.lists);
        kept_.through_bus_or_class = false;
    }
    // The directories above: their listings, and (only files hold
    // attributes) the configuration's attributes of the devices among them
    // that have any kept.
    std::string key;
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string_view above = std::string_view(path).substr(0, slash);
        EraseKey(kept_.lists, above);
        auto device = kept_.configured.find(above);
        if (device == kept_.configured.end()) continue;
        for (const char* name : kFollowsConfiguration) {
            key.assign(above).append(1, '/').append(name);
            EraseKey(kept_.files, key);
        }
        kept_.configured.erase(device);
    }
}

void SysfsCache::Kept::Clear() {
    files.clear();
    devices.clear();
    links.clear();
    named_links.clear();
    through_bus_or_class = false;
    lists.clear();
    stats.clear();
    answers.clear();
    configured.clear();
}

void SysfsCache::Forget() { kept_.Clear(); }

void SysfsCache::Release() {
    kept_ = Kept();
    aside_ = Kept();
    set_aside_ = false;
    decltype(removed_)().swap(removed_);
    decltype(removed_lengths_)().swap(removed_lengths_);
    fd_ = -1;
}

// Within one question everything read is remembered (the question sees one
// state of the tree); only what Keeps() allows outlives the question when
// the next one finds nothing changed. Paths below a removed device are read
// afresh every time.
bool SysfsCache::Keeping(const std::string& path) {
    const bool keeps = Keeps(path) || !keep_;
    if (keeps && ThroughBusOrClass(path)) kept_.through_bus_or_class = true;
    return keeps;
}

bool SysfsCache::File(const std::string& path, std::size_t limit, std::string* content) {
    const bool keeps = Keeping(path);
    auto text = Remembered(keeps, kept_.files, path, [&]() -> std::optional<std::string> {
        std::string read;
        if (!ReadSysfsFile(path, limit, &read)) return std::nullopt;
        return read;
    });
    if (keeps) {
        const std::string_view folder = ConfigurationFolder(path);
        if (!folder.empty() && kept_.configured.find(folder) == kept_.configured.end()) kept_.configured.emplace(folder);
    }
    if (!text) return false;
    *content = text->size() > limit ? text->substr(0, limit) : std::move(*text);
    return true;
}

bool SysfsCache::IsDeviceDirectory(const std::string& path) {
    return Remembered(Keeping(path), kept_.devices, path,
                      [&] { return access((path + "/uevent").c_str(), F_OK) == 0; });
}

std::string SysfsCache::Link(const std::string& path) {
    const std::string_view name = NamedLinkName(path);
    auto& links = name.empty() ? kept_.links : kept_.named_links[std::string(name)];
    return Remembered(Keeps(path) || !keep_, links, path, [&] { return ReadLink(path); });
}

std::vector<std::string> SysfsCache::List(const std::string& path) {
    return Remembered(Keeping(path), kept_.lists, path, [&] { return ListDirectory(path); });
}

bool SysfsCache::Status(const std::string& path, struct stat* st) {
    auto now = Remembered(Keeping(path), kept_.stats, path, [&]() -> std::optional<struct stat> {
        struct stat read {};
        if (stat(path.c_str(), &read) != 0) return std::nullopt;
        return read;
    });
    if (now) *st = *now;
    return now.has_value();
}

}  // namespace eklv::pf::lx
