// Helpers of the end-to-end tests: what a host sees of the library (its
// callback blocks, the process's threads and descriptors) and an eklv.ini
// for the standard rig's phones.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "discovery/standard_rig.h"
#include "eklv/eklv.h"

namespace eklv::test {

struct Delivered {
    std::uint16_t device_id;
    std::uint32_t event;
    std::string product;
    std::string product_id;
};

// Records the blocks the library hands to the host's callback.
struct CallbackLog {
    std::mutex mutex;
    std::vector<Delivered> blocks;
    static void EKLV_CALLBACK Call(std::uintptr_t context, const void* data) {
        auto* self = reinterpret_cast<CallbackLog*>(context);
        const auto* block = static_cast<const EKLVNotificationBlock*>(data);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->blocks.push_back({block->device_id, block->event, block->product, block->product_id});
    }
    std::vector<Delivered> Snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return blocks;
    }
};

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

// Polls until what() holds, for up to ten seconds.
template <class Predicate>
bool Eventually(Predicate what) {
    for (int i = 0; i < 1000; ++i) {
        if (what()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return what();
}

// The standard rig's phones, their interface classes and a modem that needs
// no retries.
inline std::string RoadIni(const std::string& extra = "") {
    return std::string(kStandardIni) +
           "[GUID]\nGUID_0=86e0d1e0-8089-11d0-9ce4-08003e301f73\n"
           "GUID_1=f18a0e88-c30c-11d0-8815-00a0c906bed8\n"
           "[INF_SETTINGS]\nINF_UART=Gadget CDC VCOM Port\n"
           "[MODEM_PARAMS]\nMODEM_CREATE_RETRY=2\nMODEM_WAIT=100\n" +
           extra;
}

}  // namespace eklv::test
