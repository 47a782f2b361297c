// What a leak would grow in this process: threads and open descriptors,
// counted from /proc/self.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>

namespace eklv::test {

// Entries of a /proc/self folder ("task", "fd").
inline int ProcEntries(const char* folder) {
    int n = 0;
    if (DIR* d = opendir((std::string("/proc/self/") + folder).c_str())) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}
inline int ThreadCount() { return ProcEntries("task"); }

// Open descriptors other than sockets, with what each points at. umockdev's
// preload connects a socket for every open of a device node it emulates
// and, under concurrent opens and closes of the same nodes, does not always
// close it again; those are umockdev's, not ours.
inline std::map<int, std::string> OpenFiles() {
    std::map<int, std::string> files;
    if (DIR* d = opendir("/proc/self/fd")) {
        const int own = dirfd(d);
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.' || std::atoi(e->d_name) == own) continue;
            char target[256] = {};
            std::string link = std::string("/proc/self/fd/") + e->d_name;
            const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
            std::string text = length > 0 ? std::string(target, static_cast<std::size_t>(length)) : "?";
            if (text.rfind("socket:", 0) != 0) files[std::atoi(e->d_name)] = std::move(text);
        }
        closedir(d);
    }
    return files;
}
inline int FileCount() { return static_cast<int>(OpenFiles().size()); }

}  // namespace eklv::test
