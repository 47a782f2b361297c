// What a leak would grow in this process: threads and open descriptors,
// counted from /proc/self.
#pragma once

#include <dirent.h>
#include <unistd.h>

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

// Open descriptors other than sockets. umockdev's preload connects a socket
// for every open of a device node it emulates and, under concurrent opens
// and closes of the same nodes, does not always close it again; those are
// umockdev's, not ours.
inline int FileCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            char target[64] = {};
            std::string link = std::string("/proc/self/fd/") + e->d_name;
            ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
            n += !(length > 0 && std::string(target, static_cast<std::size_t>(length)).rfind("socket:", 0) == 0);
        }
        closedir(d);
    }
    return n;
}

}  // namespace eklv::test
