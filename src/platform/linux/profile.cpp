// Profile functions over ini_text: every write replaces the whole file
// (written beside it, then renamed); reads answer from the file as it is
// now, parsed again only when it has changed (see Load).
#include "platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "platform/handle.h"
#include "platform/linux/ini_text.h"
#include "platform/linux/profile_override.h"

namespace eklv::pf {
namespace {

std::mutex& ProfileMutex() {
    static std::mutex m;  // serialises access as the system does
    return m;
}

// What a stat tells of a file's identity and last change.
struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    explicit FileStamp(const struct stat& st)
        : device(st.st_dev), inode(st.st_ino), size(st.st_size), modified(st.st_mtim), changed(st.st_ctim) {}
    bool operator==(const FileStamp& o) const {
        return device == o.device && inode == o.inode && size == o.size && Same(modified, o.modified) &&
               Same(changed, o.changed);
    }
    static bool Same(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }
};

// A parsed file and the stamp it had when read. trusted is false while
// the file changed too recently to tell a later rewrite by its stamp: a
// filesystem takes times from a coarse clock (a jiffy; a second or two on
// some), so a same-size rewrite within that tick could keep every field.
// Once the last change (ctime, which no one can set back) is older than
// the settle time, any later change gets a newer one.
std::atomic<std::int64_t> g_settle_ns{3'000'000'000};

struct ParsedFile {
    FileStamp stamp;
    bool trusted = false;
    lx::IniDocument doc;
    bool refused = false;  // not a regular file, or too large: reads as empty
};

// Settings files are a few kilobytes; anything past this is not one.
constexpr off_t kMaxProfileBytes = 1 << 20;

std::atomic<ProfileNotice> g_notice{nullptr};

// Tells the notice, outside ProfileMutex (the notice may log, and the log
// reads settings), why a file was refused.
void Notify(const std::string& file, const std::string& why) {
    if (why.empty()) return;
    if (ProfileNotice notice = g_notice.load()) notice(file, why);
}

// Why a file of this kind and size is not read, or empty.
std::string Unfit(const struct stat& st) {
    if (!S_ISREG(st.st_mode)) return "not a regular file";
    if (st.st_size > kMaxProfileBytes) return "larger than " + std::to_string(kMaxProfileBytes) + " bytes";
    return {};
}

// Parsed files by path, guarded by ProfileMutex. Reads between writes are
// many (every setting is read where it is used) and each would open and
// parse the file again. Static storage never destroyed, so late readers
// still work; emptied when the library is unloaded so that none of it
// stays on the heap.
using ParsedFileMap = std::unordered_map<std::string, ParsedFile>;

ParsedFileMap& ParsedFiles() {
    alignas(ParsedFileMap) static unsigned char storage[sizeof(ParsedFileMap)];
    static ParsedFileMap* files = new (storage) ParsedFileMap;
    return *files;
}

struct ReleaseParsedFilesAtUnload {
    ~ReleaseParsedFilesAtUnload() {
        std::lock_guard<std::mutex> lock(ProfileMutex());
        ParsedFileMap().swap(ParsedFiles());
    }
} g_release_parsed_files;

const lx::IniDocument& EmptyDocument() {
    alignas(lx::IniDocument) static unsigned char storage[sizeof(lx::IniDocument)];
    static const lx::IniDocument* empty = new (storage) lx::IniDocument;
    return *empty;
}

// Reads to the end, but no more than limit bytes; false on an error or
// when there is more.
bool ReadAll(int fd, std::string* text, std::size_t limit) {
    char chunk[8192];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        text->append(chunk, static_cast<std::size_t>(n));
        if (text->size() > limit) return false;
    }
}

// Files checked by this thread's ProfileReadScope (depth > 0 while one lives).
struct ReadScope {
    int depth = 0;
    std::vector<std::string> checked;
    bool Checked(const std::string& file) const {
        return depth > 0 && std::find(checked.begin(), checked.end(), file) != checked.end();
    }
};
thread_local ReadScope t_read_scope;

// The file's document, from the cache while one stat shows the file
// unchanged since it was parsed, else read and parsed again. A missing or
// unreadable file reads as empty. A file that is not a regular file (a FIFO
// would block the open, a device could be read without end) or is larger
// than kMaxProfileBytes reads as empty too; *refused then says why, once
// until the file changes, and *unfit is set each time. The reference is
// valid while the caller holds ProfileMutex and calls Load no more.
const lx::IniDocument& Load(const std::string& file, std::string* refused = nullptr, bool* unfit = nullptr) {
    auto& files = ParsedFiles();
    if (t_read_scope.Checked(file)) {
        auto kept = files.find(file);
        if (kept != files.end()) {
            if (unfit != nullptr) *unfit = kept->second.refused;
            return kept->second.doc;
        }
    } else if (t_read_scope.depth > 0) {
        t_read_scope.checked.push_back(file);
    }
    struct stat st;
    if (stat(file.c_str(), &st) != 0) {
        files.erase(file);
        return EmptyDocument();
    }
    auto it = files.find(file);
    if (it != files.end() && it->second.trusted && it->second.stamp == FileStamp(st)) {
        if (unfit != nullptr) *unfit = it->second.refused;
        return it->second.doc;
    }
    auto refuse = [&](const std::string& why) -> const lx::IniDocument& {
        if (refused != nullptr) *refused = why;
        if (unfit != nullptr) *unfit = true;
        if (files.size() >= 16 && it == files.end()) files.clear();
        ParsedFile parsed{FileStamp(st), true, {}, true};
        return files.insert_or_assign(file, std::move(parsed)).first->second.doc;
    };
    if (std::string why = Unfit(st); !why.empty()) return refuse(why);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);  // before the stamp that goes with the text
    // Non-blocking: should the path become a FIFO after the stat, the open
    // does not wait for a writer. The opened file is checked again.
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        files.erase(file);
        return EmptyDocument();
    }
    std::string text;
    bool read_ok = fstat(fd, &st) == 0;
    std::string why = read_ok ? Unfit(st) : std::string();
    if (read_ok && why.empty()) {
        read_ok = ReadAll(fd, &text, static_cast<std::size_t>(kMaxProfileBytes));
        if (!read_ok && text.size() > static_cast<std::size_t>(kMaxProfileBytes))
            why = "larger than " + std::to_string(kMaxProfileBytes) + " bytes";
    }
    close(fd);
    if (!why.empty()) return refuse(why);
    if (!read_ok) {
        files.erase(file);
        return EmptyDocument();
    }
    if (files.size() >= 16 && it == files.end()) files.clear();  // a few files are in use; bound the rest
    ParsedFile parsed{FileStamp(st), false, lx::ParseIni(text)};
    auto ns = [](const timespec& t) { return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec; };
    parsed.trusted = ns(now) - ns(st.st_ctim) >= g_settle_ns.load();
    return files.insert_or_assign(file, std::move(parsed)).first->second.doc;
}

// Copies a list of strings into buffer as NUL-separated items ending with
// an extra NUL, cutting what does not fit.
std::uint32_t CopyList(const std::vector<std::string>& items, char* buffer, std::uint32_t size) {
    if (buffer == nullptr || size == 0) return 0;
    if (size == 1) {
        buffer[0] = '\0';
        return 0;
    }
    std::uint32_t pos = 0;
    for (const std::string& item : items) {
        for (char c : item) {
            if (pos + 2 >= size) goto full;
            buffer[pos++] = c;
        }
        if (pos + 2 >= size) goto full;
        buffer[pos++] = '\0';
    }
    buffer[pos] = '\0';
    return pos;
full:
    buffer[pos] = '\0';
    buffer[pos + 1] = '\0';
    return size - 2;
}

}  // namespace

std::uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* default_value,
                                       char* buffer, std::uint32_t size, const std::string& file) {
    if (buffer == nullptr || size == 0) return 0;
    std::string value = default_value != nullptr ? default_value : "";
    std::string refused;
    if (section != nullptr && key != nullptr) {
        std::lock_guard<std::mutex> lock(ProfileMutex());
        const lx::IniDocument& doc = Load(file, &refused);
        long k = lx::FindIniKey(doc, lx::FindIniSection(doc, section), key);
        if (k >= 0) value = doc.lines[k].value;
    }
    Notify(file, refused);
    std::uint32_t n = static_cast<std::uint32_t>(std::min<std::size_t>(value.size(), size - 1));
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    // A value with an embedded NUL ends there, as a C string does.
    return static_cast<std::uint32_t>(std::strlen(buffer));
}

bool WritePrivateProfileStringA(const char* section, const char* key, const char* value, const std::string& file) {
    if (section == nullptr || file.empty()) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    std::string refused;
    bool unfit = false;
    std::unique_lock<std::mutex> lock(ProfileMutex());
    lx::IniDocument doc = Load(file, &refused, &unfit);  // a copy to change
    if (unfit) {
        // Rewriting would replace what the path names with a file holding
        // only this key.
        lock.unlock();
        Notify(file, refused);
        SetLastError(kErrorAccessDenied);
        return false;
    }
    ParsedFiles().erase(file);
    lx::SetIniValue(doc, section, key, value);
    std::string temp = file + ".tmp" + std::to_string(getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) {
            SetLastError(kErrorAccessDenied);
            return false;
        }
        out << lx::FormatIni(doc);
        if (!out.flush()) {
            out.close();
            std::remove(temp.c_str());
            SetLastError(kErrorAccessDenied);
            return false;
        }
    }
    if (std::rename(temp.c_str(), file.c_str()) != 0) {
        std::remove(temp.c_str());
        SetLastError(kErrorAccessDenied);
        return false;
    }
    return true;
}

std::uint32_t GetPrivateProfileSectionNamesA(char* buffer, std::uint32_t size, const std::string& file) {
    std::vector<std::string> names;
    std::string refused;
    {
        std::lock_guard<std::mutex> lock(ProfileMutex());
        const lx::IniDocument& doc = Load(file, &refused);
        for (const auto& line : doc.lines)
            if (line.kind == lx::IniLine::kSection) names.push_back(line.name);
    }
    Notify(file, refused);
    return CopyList(names, buffer, size);
}

std::uint32_t GetPrivateProfileSectionA(const char* section, char* buffer, std::uint32_t size,
                                        const std::string& file) {
    std::vector<std::string> lines;
    std::string refused;
    if (section != nullptr) {
        std::lock_guard<std::mutex> lock(ProfileMutex());
        const lx::IniDocument& doc = Load(file, &refused);
        long s = lx::FindIniSection(doc, section);
        if (s >= 0) {
            for (std::size_t i = static_cast<std::size_t>(s) + 1; i < doc.lines.size(); ++i) {
                const auto& line = doc.lines[i];
                if (line.kind == lx::IniLine::kSection) break;
                if (line.kind == lx::IniLine::kEntry)
                    lines.push_back(line.name + "=" + line.value);
                else if (!line.text.empty() && line.text[0] != ';')
                    lines.push_back(line.text);
            }
        }
    }
    Notify(file, refused);
    return CopyList(lines, buffer, size);
}

ProfileReadScope::ProfileReadScope() { ++t_read_scope.depth; }

ProfileReadScope::~ProfileReadScope() {
    if (--t_read_scope.depth == 0) t_read_scope.checked.clear();
}

void SetProfileNotice(ProfileNotice notice) { g_notice.store(notice); }

namespace lx {
void OverrideProfileSettleTime(std::int64_t nanoseconds) { g_settle_ns = nanoseconds < 0 ? 3'000'000'000 : nanoseconds; }
}  // namespace lx

}  // namespace eklv::pf
