// CPU time of the library's threads, read from /proc/self/task: which
// thread did the work of a device change, and how much. The benchmarks take
// a snapshot before the library starts (the threads that are not the
// library's), then one before and one after each plug.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace eklv::bench {

struct ThreadTime {
    std::string name;     // /proc/self/task/<tid>/comm
    std::uint64_t ns = 0;  // time on a CPU (schedstat's first field)
};
using ThreadTimes = std::map<int, ThreadTime>;

inline ThreadTimes ReadThreadTimes() {
    ThreadTimes times;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) return times;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string task = std::string("/proc/self/task/") + entry->d_name;
        ThreadTime t;
        std::ifstream(task + "/comm") >> t.name;
        std::ifstream(task + "/schedstat") >> t.ns;
        times.emplace(std::stoi(entry->d_name), t);
    }
    closedir(dir);
    return times;
}

inline std::set<int> ThreadIds(const ThreadTimes& times) {
    std::set<int> ids;
    for (const auto& [tid, t] : times) ids.insert(tid);
    return ids;
}

// CPU per thread of the library (threads not in the outsiders' snapshot)
// between two snapshots, one entry per plug a benchmark adds.
class LibraryCpu {
public:
    void SetOutsiders(const ThreadTimes& before_library) { outsiders_ = ThreadIds(before_library); }
    void Add(const ThreadTimes& from, const ThreadTimes& to) {
        std::map<int, std::uint64_t> plug;
        for (const auto& [tid, t] : to) {
            if (outsiders_.count(tid) != 0) continue;
            auto it = from.find(tid);
            plug[tid] = t.ns - (it != from.end() ? it->second.ns : 0);
            names_[tid] = t.name;
        }
        plugs_.push_back(std::move(plug));
    }
    // The device monitor's thread (named eklv-hotplug), per plug.
    std::vector<double> MonitorMs() const { return PerPlug(Monitor()); }
    // The device-change thread, per plug: the library thread other than the
    // monitor that worked most over all plugs (every arrival is handled on
    // it; the window and callback threads only pass messages on).
    std::vector<double> DeviceChangeMs() const {
        std::map<int, std::uint64_t> sums;
        for (const auto& plug : plugs_)
            for (const auto& [tid, ns] : plug) sums[tid] += ns;
        int busiest = -1;
        std::uint64_t most = 0;
        for (const auto& [tid, ns] : sums) {
            if (tid == Monitor() || ns < most) continue;
            most = ns;
            busiest = tid;
        }
        return PerPlug(busiest);
    }

private:
    int Monitor() const {
        for (const auto& [tid, name] : names_)
            if (name == "eklv-hotplug") return tid;
        return -1;
    }
    std::vector<double> PerPlug(int tid) const {
        std::vector<double> ms;
        for (const auto& plug : plugs_) {
            auto it = plug.find(tid);
            ms.push_back(it != plug.end() ? static_cast<double>(it->second) / 1e6 : 0.0);
        }
        return ms;
    }

    std::set<int> outsiders_;
    std::map<int, std::string> names_;
    std::vector<std::map<int, std::uint64_t>> plugs_;
};

}  // namespace eklv::bench
