// A station kept busy for EKLV_SOAK_MINUTES (scripts/soak.sh): phones and
// hubs plugged and pulled at random, host threads doing AT in both modes
// with closes and reopens and log-setting changes, and the library stopped
// and started again every few seconds. Each minute it samples the process's
// descriptors, threads and resident memory with the library stopped, and
// prints them. It fails on growth, on an announcement lost or doubled, and
// on a call that takes longer than its bound. Runs the statically linked
// core, as the stress tests do, so that the rig can change the testbed
// under the device-tree lock.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/e2e_helpers.h"
#include "platform/linux/udev_tree.h"
#include "rig/modem_emulator.h"

namespace eklv {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using test::HostMessage;

// The longest a call may take: a device call waits at most one 8 s read
// or write pass; a start scans the rig and reads the device ids. One
// second of slack each. EKLVUninitialize ends the calls in flight instead
// of waiting for them, so it stays well below its 5 s stop bound.
std::chrono::milliseconds BoundOf(const std::string& call) {
    if (call == "EKLVUninitialize") return 3s;
    if (call == "EKLVInitialize") return 10s;
    return 9s;
}

// The slowest call of each kind, and the calls over their bound.
class CallClock {
public:
    template <class Call>
    std::uint32_t Time(const char* name, Call call) {
        const auto start = Clock::now();
        const std::uint32_t code = call();
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        std::lock_guard<std::mutex> lock(mutex_);
        auto& slowest = slowest_[name];
        slowest = std::max(slowest, took);
        if (took > BoundOf(name)) over_.push_back(std::string(name) + " took " + std::to_string(took.count()) + " ms");
        return code;
    }
    std::string SlowestText() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string text;
        for (const auto& [name, took] : slowest_) text += " " + name + " " + std::to_string(took.count());
        return text;
    }
    std::vector<std::string> Over() {
        std::lock_guard<std::mutex> lock(mutex_);
        return over_;
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::chrono::milliseconds> slowest_;
    std::vector<std::string> over_;
};

// Resident memory of this process in KiB.
long ResidentKib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4;
}

// The station: two hubs on one root hub, three composite phones on the
// first and two single-function phones on the second, each function a
// modem that answers AT.
struct SoakRig {
    test::UsbRig rig;
    std::vector<test::UsbRig::NodeId> hubs;
    struct Phone {
        test::UsbRig::NodeId node;
        std::size_t hub;  // index into hubs
    };
    std::vector<Phone> phones;
    std::vector<std::unique_ptr<test::ModemEmulator>> modems;

    SoakRig() {
        const auto root = rig.AddRootHub(rig.AddPciController(), 1);
        hubs = {rig.AddHub(root, 1), rig.AddHub(root, 2)};
        for (int port = 1; port <= 3; ++port) {
            const std::string tty = "ttyACM" + std::to_string(port - 1);
            phones.push_back({rig.AddCompositePhone(hubs[0], port, 0x6b4d, 0x2001,
                                                    {test::RigInterface::Modem(tty), test::RigInterface::Mtp(),
                                                     test::RigInterface::Data()}),
                              0});
            modems.push_back(std::make_unique<test::ModemEmulator>(rig.TtyFd(tty)));
        }
        for (int port = 1; port <= 2; ++port) {
            const std::string tty = "ttyUSB" + std::to_string(port - 1);
            phones.push_back({rig.AddSinglePhone(hubs[1], port, 0x6b4d, 0x2002,
                                                 test::RigInterface::Serial(tty, "Gadget CDC VCOM Port")),
                              1});
            modems.push_back(std::make_unique<test::ModemEmulator>(rig.TtyFd(tty)));
        }
    }
    // Phones present: plugged, on a plugged hub. Each announces one interface.
    int Present() const {
        int n = 0;
        for (const auto& p : phones) n += rig.IsPlugged(hubs[p.hub]) && rig.IsPlugged(p.node);
        return n;
    }
    // One change at random: a phone on a plugged hub pulled or put back, or
    // (one time in five) a hub with its phones. Under the device-tree lock,
    // as the kernel changes sysfs without tearing a read of it.
    void Change(std::mt19937& random) {
        std::lock_guard<std::recursive_mutex> tree(pf::lx::DeviceTreeMutex());
        if (random() % 5 == 0) {
            const auto hub = hubs[random() % hubs.size()];
            rig.IsPlugged(hub) ? rig.Unplug(hub) : rig.Plug(hub);
            return;
        }
        const Phone& p = phones[random() % phones.size()];
        if (!rig.IsPlugged(hubs[p.hub])) return;
        rig.IsPlugged(p.node) ? rig.Unplug(p.node) : rig.Plug(p.node);
    }
};

// What one started library announced: each interface must alternate
// between arrival and removal, starting with an arrival.
class Announcements {
public:
    explicit Announcements(test::HostWindow& host) : host_(host) {}
    // Interfaces whose last announcement is an arrival; a doubled
    // announcement is added to problems.
    int Present(std::vector<std::string>* problems) {
        std::map<std::pair<std::uint32_t, std::uint32_t>, bool> present;
        const auto messages = host_.Messages();
        for (std::size_t i = checked_; i < messages.size(); ++i) {
            const HostMessage& m = messages[i];
            bool& here = present_[{m.device_id, m.type}];
            if (here == m.arrival)
                problems->push_back(std::string(m.arrival ? "arrival" : "removal") + " of device " +
                                    std::to_string(m.device_id) + " type " + std::to_string(m.type) + " doubled");
            here = m.arrival;
        }
        checked_ = messages.size();
        return static_cast<int>(std::count_if(present_.begin(), present_.end(), [](const auto& p) { return p.second; }));
    }
    // Ids of the interfaces present now, to be used by host threads.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Ids() {
        std::vector<std::string> ignored;
        Present(&ignored);
        std::vector<std::pair<std::uint32_t, std::uint32_t>> ids;
        for (const auto& [key, here] : present_)
            if (here) ids.push_back(key);
        return ids;
    }

private:
    test::HostWindow& host_;
    std::map<std::pair<std::uint32_t, std::uint32_t>, bool> present_;
    std::size_t checked_ = 0;
};

// One host thread: picks an announced interface, opens it in either mode,
// sends AT a few times, closes it; now and then changes the log settings.
void HostThread(int random_start, std::atomic<bool>& stop, std::mutex& ids_mutex,
                std::vector<std::pair<std::uint32_t, std::uint32_t>>& ids, CallClock& clock,
                std::atomic<long>& exchanges) {
    std::mt19937 random(static_cast<std::uint32_t>(random_start));
    while (!stop) {
        std::pair<std::uint32_t, std::uint32_t> target{EKLV_NO_DEVICE, INF_UART};
        {
            std::lock_guard<std::mutex> lock(ids_mutex);
            if (!ids.empty()) target = ids[random() % ids.size()];
        }
        const auto [id, type] = target;
        if (random() % 20 == 0) {
            // Information lines (level 1) one time in eight: a long soak keeps its log small.
            EKLVLogSettings settings{static_cast<std::uint32_t>(random() % 8 == 0 ? 7 : (random() % 4) * 2),
                                     static_cast<std::uint32_t>(random() % 2)};
            clock.Time("EKLVSetCoreLogging", [&] { return EKLVSetCoreLogging(&settings); });
        }
        EKLV_HANDLE h = 0;
        const std::uint32_t sync = random() % 2;
        if (clock.Time("EKLVOpenDevice", [&] { return EKLVOpenDevice(id, type, &h, sync); }) != EKLV_OK) {
            std::this_thread::sleep_for(20ms);
            continue;
        }
        for (int i = 0, n = 1 + static_cast<int>(random() % 4); i < n && !stop; ++i) {
            if (clock.Time("EKLVWriteData", [&] { return EKLVWriteData(id, h, "AT\r", 3); }) != EKLV_OK) break;
            std::string answer;
            for (int reads = 0; reads < 20 && answer.find("OK") == std::string::npos; ++reads) {
                char buffer[256];
                std::uint32_t length = sizeof buffer - 1;
                if (clock.Time("EKLVReadData", [&] { return EKLVReadData(id, h, buffer, &length); }) != EKLV_OK) break;
                answer.append(buffer, std::min<std::uint32_t>(length, sizeof buffer - 1));
            }
            if (answer.find("OK") != std::string::npos) ++exchanges;
        }
        if (random() % 4 != 0) clock.Time("EKLVCloseDevice", [&] { return EKLVCloseDevice(id, type); });
    }
}

// A host call made after EKLVUninitialize logs, and so creates the core log
// again: its file stays open until the next stop. Whether the last stop of
// a minute had such a call is chance, so the log's file is counted apart
// (never more than one).
struct Sample {
    std::map<int, std::string> files;  // the core log's aside
    int logs, threads;
    long rss_kib;
    long heap_kib;  // in use on the heap: what a leak grows, unlike the allocator's idle pages
    int fds() const { return static_cast<int>(files.size()); }
};

long HeapInUseKib() {
    const struct mallinfo2 m = mallinfo2();
    return static_cast<long>((m.uordblks + m.hblkhd) / 1024);
}

// Descriptors and threads once whatever was still winding down at the stop
// has ended: the same in two readings 200 ms apart, for at most 5 s. A leak
// stays; a straggler does not.
Sample SettledSample() {
    auto now = [] {
        auto files = test::OpenFiles();
        const auto logs = std::erase_if(files, [](const auto& f) { return f.second.ends_with("EKLV_Core.log"); });
        return Sample{std::move(files), static_cast<int>(logs), test::ThreadCount(), 0, 0};
    };
    Sample last = now();
    for (int i = 0; i < 25; ++i) {
        std::this_thread::sleep_for(200ms);
        const Sample next = now();
        if (next.fds() == last.fds() && next.threads == last.threads) break;
        last = next;
    }
    last.rss_kib = ResidentKib();
    last.heap_kib = HeapInUseKib();
    return last;
}

// The descriptors one sample has and the other has not, with their targets.
std::string FilesApart(const Sample& a, const Sample& b) {
    std::string text;
    for (const auto& [fd, target] : b.files)
        if (auto it = a.files.find(fd); it == a.files.end() || it->second != target)
            text += "; +" + std::to_string(fd) + " " + target;
    for (const auto& [fd, target] : a.files)
        if (auto it = b.files.find(fd); it == b.files.end() || it->second != target)
            text += "; -" + std::to_string(fd) + " " + target;
    return text;
}

TEST(Soak, Station) {
    const char* text = std::getenv("EKLV_SOAK_MINUTES");
    const double minutes = text != nullptr ? std::atof(text) : 1.0;
    const auto end = Clock::now() + std::chrono::milliseconds(static_cast<long>(minutes * 60000));
    SoakRig s;
    test::ModuleFolder folder(test::RoadIni("[CORE_LOGGING]\nLevel=0x6\nFlush=0\n"));
    setenv("EKLV_COMMON_APPDATA", folder.path().c_str(), 1);
    std::mt19937 random(20261207);
    CallClock clock;
    std::vector<std::string> problems;
    std::atomic<long> exchanges{0};
    long changes = 0, starts = 0;
    std::vector<Sample> samples;
    auto next_sample = Clock::now();

    while (Clock::now() < end && problems.empty()) {
        // One start of the library: a few seconds of plugs and host calls,
        // then everything settles and the announcements are checked.
        auto host = std::make_unique<test::HostWindow>();
        Announcements announced(*host);
        EKLVInitParams params = test::HostParams(host->hwnd());
        if (clock.Time("EKLVInitialize", [&] { return EKLVInitialize(&params); }) != EKLV_OK) {
            problems.push_back("EKLVInitialize failed");
            break;
        }
        ++starts;
        std::mutex ids_mutex;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> ids;
        std::atomic<bool> stop{false};
        std::vector<std::thread> hosts;
        for (int t = 0; t < 4; ++t)
            hosts.emplace_back(HostThread, static_cast<int>(random()), std::ref(stop), std::ref(ids_mutex),
                               std::ref(ids), std::ref(clock), std::ref(exchanges));
        const auto epoch_end = Clock::now() + std::chrono::milliseconds(3000 + random() % 5000);
        while (Clock::now() < epoch_end) {
            s.Change(random);
            ++changes;
            std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 300));
            auto now_ids = announced.Ids();
            std::lock_guard<std::mutex> lock(ids_mutex);
            ids = std::move(now_ids);
        }
        // Quiet: every present phone announced once, nothing else.
        int present = -1;
        test::Eventually([&] { return (present = announced.Present(&problems)) == s.Present(); }, 15s);
        if (present != s.Present())
            problems.push_back(std::to_string(present) + " interfaces announced present, " +
                               std::to_string(s.Present()) + " phones plugged");
        // Stopped while the host threads still call.
        clock.Time("EKLVUninitialize", [] { return EKLVUninitialize(); });
        stop = true;
        for (auto& t : hosts) t.join();
        host.reset();
        for (auto& modem : s.modems) modem->ForgetCommands();  // the rig's own history is no part of the count

        if (Clock::now() >= next_sample || Clock::now() >= end) {
            next_sample += 60s;
            samples.push_back(SettledSample());
            const Sample& now = samples.back();
            std::printf("minute %zu: descriptors %d (core log files %d), threads %d, resident %.1f MiB, heap in use "
                        "%.2f MiB; starts %ld, changes %ld, AT exchanges %ld; slowest ms:%s\n",
                        samples.size() - 1, now.fds(), now.logs, now.threads, now.rss_kib / 1024.0, now.heap_kib / 1024.0,
                        starts, changes, exchanges.load(), clock.SlowestText().c_str());
            std::fflush(stdout);
        }
    }
    unsetenv("EKLV_COMMON_APPDATA");
    const std::string log = folder.ReadLogs();
    for (const char* line : {"device calls still running", "calls still use handle"})
        EXPECT_EQ(test::CountOf(log, line), 0) << line;

    for (const auto& p : problems) ADD_FAILURE() << p;
    for (const auto& o : clock.Over()) ADD_FAILURE() << o;
    EXPECT_GT(exchanges.load(), 0) << "no AT exchange reached a phone";
    ASSERT_FALSE(samples.empty());
    // The first sample is the baseline: descriptors and threads come back
    // to it exactly once the library is stopped; memory may settle in the
    // first minute (allocator arenas, first-use buffers), not grow on.
    // A count off the baseline in one minute and back in the next is a
    // straggler of that stop; growth is a count that stays off, in two
    // minutes running or at the end.
    const Sample& first = samples.front();
    auto off = [&](const Sample& x) { return x.fds() != first.fds() || x.threads != first.threads; };
    for (const Sample& x : samples) EXPECT_LE(x.logs, 1) << "core log files open";
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (!off(samples[i])) continue;
        std::printf("minute %zu: descriptors %d, threads %d off the baseline%s\n", i, samples[i].fds(), samples[i].threads,
                    FilesApart(first, samples[i]).c_str());
        if (i + 1 < samples.size() && !off(samples[i + 1])) continue;
        Sample last = samples[i];
        if (i + 1 == samples.size()) test::Eventually([&] { return !off(last = SettledSample()); }, 10s);
        EXPECT_EQ(last.fds(), first.fds()) << "minute " << i << FilesApart(first, last);
        EXPECT_EQ(last.threads, first.threads) << "minute " << i;
    }
    if (samples.size() >= 3) {
        const Sample& second = samples[1];
        EXPECT_LT(samples.back().rss_kib, second.rss_kib + 4096) << "resident memory grew by "
                                                                 << (samples.back().rss_kib - second.rss_kib) << " KiB";
        EXPECT_LT(samples.back().heap_kib, second.heap_kib + 1024)
            << "heap in use grew by " << (samples.back().heap_kib - second.heap_kib) << " KiB";
    }
}

}  // namespace
}  // namespace eklv
