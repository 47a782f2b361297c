// The library under the abuse of a flashing station: a thousand plug and
// unplug cycles, phones pulled out while host threads use them, and host
// threads calling device functions through a burst of arrivals and
// removals. Runs the statically linked core so that its handle table and
// session list can be counted.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "e2e/e2e_helpers.h"
#include "platform/linux/kernel_object.h"
#include "platform/linux/udev_tree.h"
#include "rig/modem_emulator.h"
#include "session/session_mgr.h"
#include "transport/event_pool.h"

namespace eklv {
namespace {

using Clock = std::chrono::steady_clock;
using test::HostMessage;
using test::Station;

// What a leak would grow.
struct Counts {
    int threads, fds;
    std::size_t handles;
    std::uint32_t sessions;
    bool operator==(const Counts&) const = default;
};

void PrintTo(const Counts& c, std::ostream* os) {
    *os << "threads " << c.threads << ", fds " << c.fds << ", handles " << c.handles << ", sessions " << c.sessions;
}

// The events pooled for host reads and writes are kept for the next calls
// (each an eventfd and a handle), not leaked.
Counts Measure() {
    std::uint32_t sessions = 0;
    if (auto* mgr = CKLVSessionMgr::GetInstance()) {
        sessions = mgr->session_list()->Count() + static_cast<std::uint32_t>(mgr->session_list()->TrashCount());
    }
    const std::size_t pooled = EventPool::IdleCount();
    return {test::ThreadCount(), test::FileCount() - static_cast<int>(pooled), pf::lx::ObjectCount() - pooled,
            sessions};
}

// The counts once threads that were winding down have ended: the same in
// two readings 200 ms apart.
Counts Settled() {
    Counts last = Measure(), now = last;
    test::Eventually([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        now = Measure();
        return std::exchange(last, now) == now;
    });
    return now;
}

// Threads and handles of a removal may still be winding down: waits until
// the counts are back where they were.
Counts CountsBackTo(const Counts& before) {
    Counts after = Measure();
    test::Eventually([&] { return (after = Measure()) == before; });
    return after;
}

int Cycles(int otherwise = 1000) {
    const char* text = std::getenv("EKLV_STRESS_CYCLES");
    return text != nullptr ? std::atoi(text) : otherwise;
}

// AT through an interface answers OK.
bool AtOk(std::uint32_t id, EKLV_HANDLE h) {
    test::StaticCore core;
    return test::Transact(core, id, h, "AT\r").find("OK") != std::string::npos;
}

// One read of up to 64 bytes; answers its result code.
std::uint32_t ReadOnce(std::uint32_t id, EKLV_HANDLE h) {
    char buffer[64];
    std::uint32_t length = sizeof buffer;
    return EKLVReadData(id, h, buffer, &length);
}

// umockdev's preload translates paths through state shared by the testbed's
// own changes and the library's sysfs questions; the rig changes the testbed
// under the device tree's lock, as the kernel changes sysfs without tearing
// a read.
template <class Change>
void UnderSysfsLock(Change change) {
    std::lock_guard<std::recursive_mutex> sysfs(pf::lx::DeviceTreeMutex());
    change();
}

TEST(Stress, PlugUnplugCyclesLeakNothing) {
    test::StandardRig s;
    test::ModemEmulator modem(s.rig.TtyFd("ttyACM0"));
    Station station(test::RoadIni("[CORE_LOGGING]\nLevel=0x6\nFlush=1\n"));  // warnings and errors
    const std::uint32_t id = station.IdOf(INF_DATA);
    ASSERT_NE(id, EKLV_NO_DEVICE);

    // One cycle: unplug, plug, and every tenth time a modem session with
    // its reader thread.
    std::size_t seen = 2;
    auto cycle = [&](int i) {
        s.rig.Unplug(s.phone);
        EXPECT_EQ(station.Nth(++seen), (HostMessage{false, id, INF_DATA})) << "cycle " << i;
        s.rig.Plug(s.phone);
        EXPECT_EQ(station.Nth(++seen), (HostMessage{true, id, INF_DATA})) << "cycle " << i;
        if (i % 10 == 0) {
            EKLV_HANDLE h = 0;
            EXPECT_EQ(EKLVOpenDevice(id, INF_DATA, &h, 0), 0u) << "cycle " << i;
            EXPECT_TRUE(AtOk(id, h)) << "cycle " << i;
            EXPECT_EQ(EKLVCloseDevice(id, INF_DATA), 0u);
        }
    };
    for (int i = 0; i < 3; ++i) cycle(i * 10);  // first-use allocations settle
    ASSERT_FALSE(testing::Test::HasFailure());

    const Counts before = Settled();
    const int cycles = Cycles();
    for (int i = 0; i < cycles && !testing::Test::HasFailure(); ++i) cycle(i);
    EXPECT_EQ(CountsBackTo(before), before) << "after " << cycles << " cycles";
    EXPECT_EQ(before.sessions, 2u);
}

// A phone pulled out while one host thread waits in a read and another
// writes: both return with failure codes instead of hanging, the port is
// released, and the phone works again when it comes back.
TEST(Stress, PhonePulledOutDuringReadWriteAndOpen) {
    test::StandardRig s;
    test::ModemEmulator modem(s.rig.TtyFd("ttyACM0"));
    Station station(test::SelfMonitoringIni());
    const std::uint32_t id = station.IdOf(INF_DATA);

    EKLV_HANDLE h = 0;
    ASSERT_EQ(EKLVOpenDevice(id, INF_DATA, &h, 0), 0u);
    // Nothing is asked of the modem, so the read waits for an answer that
    // never comes.
    std::atomic<std::uint32_t> read_result{~0u};
    std::atomic<bool> stop_writing{false};
    std::atomic<int> writes{0};
    std::thread reader([&] { read_result = ReadOnce(id, h); });
    std::thread writer([&] {  // no carriage return: the modem has nothing to answer
        while (!stop_writing && EKLVWriteData(id, h, "AT+CSQ", 6) == 0u) ++writes;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto pulled = Clock::now();
    s.rig.Unplug(s.phone);
    EXPECT_EQ(station.Nth(3), (HostMessage{false, id, INF_DATA}));
    reader.join();
    const auto read_returned = Clock::now();
    stop_writing = true;
    writer.join();
    EXPECT_EQ(read_result.load(), 5u) << "the waiting read fails";
    EXPECT_LT(read_returned - pulled, std::chrono::milliseconds(7000)) << "before its own 8-second time-out";
    EXPECT_GT(writes.load(), 0) << "writes went through until the phone was pulled";
    // The host hears of the removal before the session is deleted (the
    // removal's last step): the session is gone shortly after.
    EXPECT_TRUE(test::Eventually([&] { return ReadOnce(id, h) == 3u; })) << "the session is gone";
    EXPECT_EQ(EKLVWriteData(id, h, "AT\r", 3), 3u);
    EXPECT_EQ(EKLVCloseDevice(id, INF_DATA), 3u);

    // Opens racing the phone going and coming: each answers, none hangs.
    std::atomic<bool> stop_opening{false};
    std::set<std::uint32_t> open_codes;
    std::thread opener([&] {
        while (!stop_opening) {
            EKLV_HANDLE handle = 0;
            if (*open_codes.insert(EKLVOpenDevice(id, INF_DATA, &handle, 1)).first == 0u) EKLVCloseDevice(id, INF_DATA);
        }
    });
    std::size_t seen = 3;
    for (int i = 0; i < 10; ++i) {
        i % 2 == 0 ? s.rig.Plug(s.phone) : s.rig.Unplug(s.phone);
        EXPECT_EQ(station.Nth(++seen).arrival, i % 2 == 0) << "change " << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    stop_opening = true;
    opener.join();
    for (std::uint32_t code : open_codes) EXPECT_TRUE(code == 0u || code == 3u || code == 7u) << code;

    // Back in, the modem answers again through the same id.
    s.rig.Plug(s.phone);
    EXPECT_EQ(station.Nth(++seen), (HostMessage{true, id, INF_DATA}));
    ASSERT_EQ(EKLVOpenDevice(id, INF_DATA, &h, 0), 0u);
    EXPECT_TRUE(AtOk(id, h));
    EXPECT_EQ(EKLVCloseDevice(id, INF_DATA), 0u);
}

// Host threads open, query, write and read every phone they have heard of
// while a hub full of phones is plugged and unplugged: every call answers a
// result code of the interface, and the station ends where it started.
TEST(Stress, HostCallsThroughABurstOfArrivalsAndRemovals) {
    int queue_length = 0;  // how many uevents umockdev's emulated netlink socket can queue
    std::ifstream("/proc/sys/net/unix/max_dgram_qlen") >> queue_length;
    if (queue_length < 64)
        GTEST_SKIP() << "umockdev's uevent socket holds only net.unix.max_dgram_qlen messages; "
                        "scripts/test.sh raises it when run as root";
    constexpr int kPhones = 8;
    test::UsbRig rig;
    auto hub = rig.AddHub(rig.AddRootHub(rig.AddPciController(), 1), 1, kPhones);
    std::vector<std::unique_ptr<test::ModemEmulator>> modems;
    for (int port = 1; port <= kPhones; ++port) {
        std::string tty = "ttyACM" + std::to_string(port - 1);
        rig.AddCompositePhone(hub, port, 0x6b4d, 0x2001,
                              {test::RigInterface::Modem(tty), test::RigInterface::Mtp(), test::RigInterface::Data()});
        modems.push_back(std::make_unique<test::ModemEmulator>(rig.TtyFd(tty)));
    }
    rig.Unplug(hub);
    Station station(test::SelfMonitoringIni());
    ASSERT_TRUE(station.started());
    const Counts before = Settled();

    std::atomic<bool> stop{false};
    std::mutex codes_mutex;
    std::set<std::uint32_t> codes;
    std::vector<std::thread> hosts;
    for (int t = 0; t < 4; ++t) {
        hosts.emplace_back([&, t] {
            std::set<std::uint32_t> mine;
            for (int round = 0; !stop; ++round) {
                for (const auto& [arrival, id, type] : station.host.Messages()) {
                    if (stop) break;
                    if (!arrival || (id + round + t) % 3 != 0) continue;
                    EKLV_HANDLE h = 0;
                    std::uint32_t open = EKLVOpenDevice(id, INF_DATA, &h, t % 2);
                    mine.insert(open);
                    EKLVString text;
                    EKLVStringInit(&text);
                    mine.insert(EKLVGetComPort(id, INF_DATA, &text));
                    mine.insert(EKLVGetProductStringDescriptor(id, &text));
                    EKLVStringFree(&text);
                    std::uint32_t rate = 115200;
                    mine.insert(EKLVSetBaudRate(id, INF_DATA, &rate));
                    if (open == 0u) {
                        mine.insert(EKLVWriteData(id, h, "AT\r", 3));
                        mine.insert(ReadOnce(id, h));
                        mine.insert(EKLVCloseDevice(id, INF_DATA));
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            std::lock_guard<std::mutex> lock(codes_mutex);
            codes.insert(mine.begin(), mine.end());
        });
    }

    std::size_t seen = 0;
    for (int change = 0; change < 12; ++change) {
        UnderSysfsLock([&] { change % 2 == 0 ? rig.Plug(hub) : rig.Unplug(hub); });
        seen += kPhones;
        EXPECT_EQ(station.host.WaitFor(seen).size(), seen) << "arrivals or removals of change " << change;
    }
    stop = true;
    for (auto& t : hosts) t.join();

    const std::set<std::uint32_t> allowed = {EKLV_OK,          EKLV_NOT_COMPLETED, EKLV_INVALID_HANDLE,
                                             EKLV_NO_SUCH_DEVICE, EKLV_WRITE_FAILED, EKLV_READ_FAILED,
                                             EKLV_OPEN_FAILED,  EKLV_NO_SUCH_INTERFACE,
                                             EKLV_GET_COMM_STATE_FAILED, EKLV_SET_COMM_STATE_FAILED};
    for (std::uint32_t code : codes) EXPECT_TRUE(allowed.count(code)) << "code " << code;
    EXPECT_TRUE(codes.count(EKLV_OK)) << "some calls reached a phone";
    EXPECT_EQ(CountsBackTo(before), before);
}

// An interface whose type cannot be decided yet is retried between other
// records: a phone plugged meanwhile arrives at once, and the odd interface
// is typed at a later attempt once its description reads as a known one.
TEST(Stress, UndecidedInterfaceHoldsUpNoOtherPhone) {
    test::StandardRig s;
    s.rig.Unplug(s.phone);
    s.rig.SetInterfaceAttribute(s.single, 0, "interface", "Odd Port");
    std::string ini = test::RoadIni();
    const std::string fast = "MODEM_CREATE_RETRY=2\nMODEM_WAIT=100";
    ini.replace(ini.find(fast), fast.size(), "MODEM_CREATE_RETRY=4\nMODEM_WAIT=4000");
    Station station(test::VerboseLogIni(ini));
    ASSERT_TRUE(station.started());
    ASSERT_TRUE(test::Eventually([&] { return test::CountOf(station.Log(), "] Interface undefined") == 1; }));
    UnderSysfsLock([&] { s.rig.Plug(s.phone); });
    const HostMessage phone = station.Nth(1);
    EXPECT_TRUE(phone.arrival && phone.type == INF_DATA);
    EXPECT_EQ(test::CountOf(station.Log(), "Need to check Modem Interface again"), 0) << "the phone waited";
    UnderSysfsLock([&] { s.rig.ChangeInterfaceAttribute(s.single, 0, "interface", "Gadget CDC VCOM Port"); });
    const HostMessage odd = station.Nth(2);
    EXPECT_TRUE(odd.arrival && odd.type == INF_UART);
    const std::string log = station.Log();
    EXPECT_EQ(test::CountOf(log, "Need to check Modem Interface again, time num:1"), 1);
    EXPECT_EQ(test::CountOf(log, "Unable to add interface"), 0);
}

// A phone whose active configuration cannot be read (no
// bConfigurationValue) has its interface strings taken from its first
// configuration, with one warning for each, so its interfaces are typed and
// announced as usual.
TEST(Stress, PhoneWithoutConfigurationValueArrives) {
    test::StandardRig s;
    s.rig.RemoveAttribute(s.single, "bConfigurationValue");
    Station station(test::SelfMonitoringIni());
    std::set<std::uint32_t> types;
    for (const auto& m : station.host.WaitFor(2)) types.insert(m.type);
    EXPECT_EQ(types, (std::set<std::uint32_t>{INF_DATA, INF_UART}));
    EXPECT_EQ(test::CountOf(station.Log(), "configuration value of the device on port 1 unreadable"), 1);
}

// EKLVUninitialize while host threads wait in reads of an overlapped
// interface and feed notifications: the calls inside return at once (a read
// with 5, a notification with 1), nothing is freed under them (run under
// AddressSanitizer and ThreadSanitizer), later calls answer 14 and 1, and
// no host thread keeps a descriptor of the library afterwards.
TEST(Stress, ShutdownWhileHostThreadsAreInside) {
    test::StandardRig s;
    test::ModemEmulator modem(s.rig.TtyFd("ttyACM0"));
    Station station(test::RoadIni("[CORE_LOGGING]\nLevel=0x7\nFlush=1\n"));
    ASSERT_EQ(station.host.WaitFor(2).size(), 2u);
    ASSERT_EQ(station.Stop(), 0u);
    EKLVNotificationBlock block{};
    std::snprintf(block.device_name, sizeof block.device_name, "%s",
                  "\\\\?\\usb#vid_0001&pid_0002#5&1&0&1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}");
    block.event = 0x8000;
    EXPECT_EQ(EKLVNotification(&block), EKLV_NOT_COMPLETED) << "logging it opens the log again";
    const Counts before = Settled();
    std::size_t seen = 2;
    for (int cycle = 0, cycles = Cycles(8); cycle < cycles && !HasFailure(); ++cycle) {
        ASSERT_TRUE(station.Start());
        seen += 2;
        const std::uint32_t id = station.IdOf(INF_DATA, seen);
        EKLV_HANDLE h = 0;
        ASSERT_EQ(EKLVOpenDevice(id, INF_DATA, &h, 0), 0u);
        EXPECT_TRUE(AtOk(id, h)) << "this thread now has its read wait";

        std::atomic<bool> stop{false};
        std::atomic<int> inside{0};
        std::mutex codes_mutex;
        std::set<std::uint32_t> read_codes, notify_codes;
        std::vector<std::thread> hosts;
        for (int t = 0; t < 4; ++t) {
            hosts.emplace_back([&, t] {
                ++inside;
                for (std::uint32_t code = 0; !stop;) {
                    // Nothing is asked of the modem: the reads wait.
                    code = t == 3 ? EKLVNotification(&block) : ReadOnce(id, h);
                    std::lock_guard<std::mutex> lock(codes_mutex);
                    (t == 3 ? notify_codes : read_codes).insert(code);
                }
            });
        }
        test::Eventually([&] { return inside == 4; });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto stopping = Clock::now();
        EXPECT_EQ(station.Stop(), 0u);
        EXPECT_LT(Clock::now() - stopping, std::chrono::milliseconds(7000)) << "before the reads' own time-out";
        // A host thread may not have called again between the end of
        // shutdown and here.
        test::Eventually([&] {
            std::lock_guard<std::mutex> lock(codes_mutex);
            return read_codes.count(EKLV_NOT_INITIALIZED) && notify_codes.count(EKLV_NOT_COMPLETED);
        });
        stop = true;
        for (auto& t : hosts) t.join();
        EXPECT_EQ(read_codes, (std::set<std::uint32_t>{EKLV_READ_FAILED, EKLV_NOT_INITIALIZED})) << "cycle " << cycle;
        EXPECT_TRUE(notify_codes.count(EKLV_NOT_COMPLETED)) << "cycle " << cycle;
        EXPECT_EQ(ReadOnce(id, h), EKLV_NOT_INITIALIZED);
        EXPECT_EQ(EKLVNotification(&block), EKLV_NOT_COMPLETED);
    }
    EXPECT_EQ(CountsBackTo(before), before);
}

// ---- stops -----------------------------------------------------------------
// A close of an interface, the removal of its phone and EKLVUninitialize
// each end every call in flight on it: a read or write waiting for the
// phone returns at once, in either mode, every call answers one of its
// codes, and nothing is left behind. Host threads race one kind of call
// against the stop; without the wake-up their reads and writes would wait
// for their own time-outs (8 s for an overlapped read, 20 s for a blocking
// one with these settings, 8 s and more for a write into a port that takes
// nothing).

enum class Racer { kRead, kWrite, kOpen, kBaudRate, kRemoval, kEveryCall };

std::string RacerName(const testing::TestParamInfo<Racer>& info) {
    static const char* const kNames[] = {"Read", "Write", "Open", "BaudRate", "Removal", "EveryCall"};
    return kNames[static_cast<int>(info.param)];
}

// Blocking reads wait up to 20 s for data, blocking writes 8 s and more.
std::string RaceIni() {
    return test::RoadIni("[CORE_LOGGING]\nLevel=0x6\nFlush=1\n[PID_SETTINGS]\npid_default=0,0,20000,2,8000\n");
}

// How late a call may return after the stop that ended it: well within
// the 8 s of its own wait.
constexpr std::int64_t kLateMs = 3000;

// One read and one write waiting on the interface in each mode; the close
// from another host thread ends both at once, with their failure codes.
TEST(Stress, CloseWakesTheReadAndWriteWaitingOnIt) {
    test::StandardRig s;
    test::ModemEmulator modem(s.rig.TtyFd("ttyACM0"));
    Station station(RaceIni());
    const std::uint32_t id = station.IdOf(INF_DATA);
    for (std::uint32_t sync : {0u, 1u}) {
        for (bool write : {false, true}) {
            SCOPED_TRACE(std::string(sync ? "blocking " : "overlapped ") + (write ? "write" : "read"));
            modem.SetPaused(write);  // a paused modem takes nothing: the pty fills up
            EKLV_HANDLE h = 0;
            ASSERT_EQ(EKLVOpenDevice(id, INF_DATA, &h, sync), 0u);
            std::atomic<std::uint32_t> result{~0u};
            std::thread call([&] {
                static const char kBlock[4096] = {};
                if (!write) return void(result = ReadOnce(id, h));
                std::uint32_t r;
                while ((r = EKLVWriteData(id, h, kBlock, sizeof kBlock)) == EKLV_OK) {}
                result = r;
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const auto closed = Clock::now();
            EXPECT_EQ(EKLVCloseDevice(id, INF_DATA), 0u);
            call.join();
            EXPECT_LT(Clock::now() - closed, std::chrono::milliseconds(kLateMs));
            EXPECT_EQ(result.load(), write ? EKLV_WRITE_FAILED : EKLV_READ_FAILED);
            modem.SetPaused(false);
        }
    }
}

// The calls the races make, and the codes each may answer while its
// interface is closed, removed or the library stopped under it (eklv.h).
enum Call { kReadCall, kWriteCall, kOpenCall, kCloseCall, kBaudRateCall, kUninitializeCall, kCalls };
const char* const kCallNames[kCalls] = {"EKLVReadData",  "EKLVWriteData",   "EKLVOpenDevice",
                                        "EKLVCloseDevice", "EKLVSetBaudRate", "EKLVUninitialize"};

constexpr std::uint64_t Codes(std::initializer_list<std::uint32_t> codes) {
    std::uint64_t bits = 0;
    for (std::uint32_t code : codes) bits |= std::uint64_t{1} << code;
    return bits;
}
constexpr std::uint64_t kAllowedCodes[kCalls] = {
    Codes({EKLV_OK, EKLV_INVALID_HANDLE, EKLV_NO_SUCH_DEVICE, EKLV_READ_FAILED, EKLV_NOT_INITIALIZED}),
    Codes({EKLV_OK, EKLV_INVALID_HANDLE, EKLV_NO_SUCH_DEVICE, EKLV_WRITE_FAILED, EKLV_NOT_INITIALIZED}),
    Codes({EKLV_OK, EKLV_NO_SUCH_DEVICE, EKLV_OPEN_FAILED, EKLV_NOT_INITIALIZED}),
    Codes({EKLV_OK, EKLV_NO_SUCH_DEVICE, EKLV_NO_SUCH_INTERFACE, EKLV_NOT_INITIALIZED}),
    Codes({EKLV_OK, EKLV_INVALID_HANDLE, EKLV_NO_SUCH_DEVICE, EKLV_NO_SUCH_INTERFACE, EKLV_NOT_INITIALIZED,
           EKLV_GET_COMM_STATE_FAILED, EKLV_SET_COMM_STATE_FAILED}),
    Codes({EKLV_OK}),
};

// The modem interface the host threads race on, and what their calls did.
class RaceTarget {
public:
    std::atomic<std::uint32_t> id{EKLV_NO_DEVICE};
    std::atomic<EKLV_HANDLE> handle{EKLV_INVALID_HANDLE_VALUE};  // of the latest open

    // Called once a close, removal or stop has returned.
    void Stopped() {
        std::lock_guard<std::mutex> lock(stops_mutex_);
        stops_ms_.push_back(NowMs());
    }

    // Runs one call and records its code; a call in flight when a stop
    // returned must return within kLateMs of it.
    template <class Operation>
    std::uint32_t Time(Call call, Operation operation) {
        const std::int64_t start = NowMs();
        const std::uint32_t code = operation();
        const std::int64_t end = NowMs(), stop = FirstStopAfter(start);
        codes_[call] |= std::uint64_t{1} << (code < 64 ? code : 63);
        if (stop != 0 && end - stop > kLateMs) {
            std::int64_t expected = 0;
            if (late_ms_.compare_exchange_strong(expected, end - stop)) late_call_ = call;
        }
        return code;
    }

    // Problems seen: a late return and codes a call does not answer.
    std::vector<std::string> Problems() const {
        std::vector<std::string> problems;
        if (late_ms_ != 0)
            problems.push_back(std::string(kCallNames[late_call_]) + " returned " + std::to_string(late_ms_) +
                               " ms after a stop");
        for (int call = 0; call < kCalls; ++call)
            for (std::uint32_t code = 0; code < 64; ++code)
                if ((codes_[call] >> code & 1) && !(kAllowedCodes[call] >> code & 1))
                    problems.push_back(std::string(kCallNames[call]) + " answered " + std::to_string(code));
        return problems;
    }
    bool Answered(Call call, std::uint32_t code) const { return (codes_[call] >> code & 1) != 0; }

private:
    static std::int64_t NowMs() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
    }
    // The first stop that returned after start, 0 when none has.
    std::int64_t FirstStopAfter(std::int64_t start) {
        std::lock_guard<std::mutex> lock(stops_mutex_);
        auto it = std::upper_bound(stops_ms_.begin(), stops_ms_.end(), start);
        return it == stops_ms_.end() ? 0 : *it;
    }
    std::mutex stops_mutex_;
    std::vector<std::int64_t> stops_ms_;  // in order
    std::atomic<std::uint64_t> codes_[kCalls] = {};
    std::atomic<std::int64_t> late_ms_{0};
    std::atomic<int> late_call_{0};
};

// Opens the modem interface in either mode and makes it the target's.
void OpenTarget(RaceTarget& t, std::mt19937& random) {
    EKLV_HANDLE h = EKLV_INVALID_HANDLE_VALUE;
    const std::uint32_t id = t.id, sync = random() % 2;
    if (t.Time(kOpenCall, [&] { return EKLVOpenDevice(id, INF_DATA, &h, sync); }) == EKLV_OK) t.handle = h;
}

// One call of a racing host thread. Reads and writes use the handle of the
// latest open (opening one when there is none) and wait for the modem:
// nothing is asked of it, and for writes it takes nothing. A handle that
// failed is dropped, so the next call opens again.
void RaceOnce(Racer racer, RaceTarget& t, std::mt19937& random) {
    static const char kBlock[4096] = {};
    const std::uint32_t id = t.id;
    if (racer == Racer::kEveryCall) {
        const std::uint32_t pick = random() % 5;  // read, write, open, baud rate or close
        if (pick == 4) {
            t.Time(kCloseCall, [&] { return EKLVCloseDevice(id, INF_DATA); });
            t.Stopped();
            return;
        }
        racer = static_cast<Racer>(pick);
    }
    EKLV_HANDLE h = t.handle;
    std::uint32_t code = EKLV_OK;
    switch (racer) {
        case Racer::kOpen:
            OpenTarget(t, random);
            return;
        case Racer::kBaudRate: {
            std::uint32_t rate = random() % 2 ? 115200 : 921600;
            code = t.Time(kBaudRateCall, [&] { return EKLVSetBaudRate(id, INF_DATA, &rate); });
            break;
        }
        case Racer::kRead:
        case Racer::kRemoval:
            if (h == EKLV_INVALID_HANDLE_VALUE) return OpenTarget(t, random);
            code = t.Time(kReadCall, [&] { return ReadOnce(id, h); });
            break;
        case Racer::kWrite:
        case Racer::kEveryCall:
            if (h == EKLV_INVALID_HANDLE_VALUE) return OpenTarget(t, random);
            code = t.Time(kWriteCall, [&] {
                return EKLVWriteData(id, h, kBlock, sizeof kBlock);
            });
            break;
    }
    if (code != EKLV_OK) {
        t.handle.compare_exchange_strong(h, EKLV_INVALID_HANDLE_VALUE);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Host threads racing one kind of call until stopped.
class RacingHosts {
public:
    RacingHosts(Racer racer, RaceTarget& target, int count) : running_(count) {
        for (int i = 0; i < count; ++i)
            threads_.emplace_back([this, racer, &target, i] {
                std::mt19937 random(static_cast<std::uint32_t>(i) * 7919u + 1);
                while (!stop_) RaceOnce(racer, target, random);
                --running_;
            });
    }
    ~RacingHosts() { Stop(); }
    // A call begun just before the stop would wait out its timeout (up to
    // 20 s for a blocking read): wake() ends it, as often as needed.
    void Stop(const std::function<void()>& wake = {}) {
        stop_ = true;
        while (wake && running_ > 0) {
            wake();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> running_;
    std::vector<std::thread> threads_;
};

// The phone's modem interface with host threads racing one kind of call on
// it. Writes fill the port and wait: the modem takes nothing then.
class StopRace : public testing::TestWithParam<Racer> {
protected:
    void SetUp() override {
        modem.SetPaused(GetParam() == Racer::kWrite || GetParam() == Racer::kEveryCall);
        t.id = station.IdOf(INF_DATA);  // ids stay with their port from start to start
        ASSERT_NE(t.id.load(), EKLV_NO_DEVICE);
    }
    test::StandardRig s;
    test::ModemEmulator modem{s.rig.TtyFd("ttyACM0")};
    Station station{RaceIni()};
    RaceTarget t;
};

// EKLVCloseDevice, and for Removal the phone pulled out and put back, while
// host threads race the call on the same interface.
TEST_P(StopRace, CloseEndsTheCallsOnItsInterface) {
    const Racer racer = GetParam();
    for (std::uint32_t sync : {0u, 1u}) {  // first-use allocations settle
        EKLV_HANDLE h = 0;
        ASSERT_EQ(EKLVOpenDevice(t.id, INF_DATA, &h, sync), 0u);
        ASSERT_EQ(EKLVCloseDevice(t.id, INF_DATA), 0u);
    }
    const Counts before = Settled();
    std::mt19937 random(2026);
    std::atomic<bool> stop{false};
    std::thread unplugger;
    if (racer == Racer::kRemoval) {
        unplugger = std::thread([&] {
            std::size_t seen = 2;
            while (!stop) {
                UnderSysfsLock([&] { s.rig.Unplug(s.phone); });
                if (station.Nth(++seen).arrival) break;
                t.Stopped();
                UnderSysfsLock([&] { s.rig.Plug(s.phone); });
                if (!station.Nth(++seen).arrival) break;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    {
        RacingHosts hosts(racer, t, 2);
        for (int i = 0, n = Cycles(150); i < n && !HasFailure(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 25));
            t.Time(kCloseCall, [&] { return EKLVCloseDevice(t.id, INF_DATA); });
            t.Stopped();
            OpenTarget(t, random);
        }
        stop = true;
        if (unplugger.joinable()) unplugger.join();
        hosts.Stop([&] {
            t.Time(kCloseCall, [&] { return EKLVCloseDevice(t.id, INF_DATA); });
            t.Stopped();
        });
        EKLVCloseDevice(t.id, INF_DATA);
    }
    for (const auto& problem : t.Problems()) ADD_FAILURE() << problem;
    if (racer == Racer::kRead || racer == Racer::kWrite) {
        EXPECT_TRUE(racer == Racer::kRead ? t.Answered(kReadCall, EKLV_READ_FAILED)
                                          : t.Answered(kWriteCall, EKLV_WRITE_FAILED));
    }
    if (racer == Racer::kRemoval) {
        // Back in for the counts.
        UnderSysfsLock([&] { if (!s.rig.IsPlugged(s.phone)) s.rig.Plug(s.phone); });
        EXPECT_TRUE(test::Eventually([&] { return station.host.Messages().back().arrival; }));
    }
    EXPECT_EQ(CountsBackTo(before), before);
}

// EKLVUninitialize, again and again, while four host threads race the call
// (for Removal: read while the phone is pulled out and put back): it never
// reaches its stop bound, and once stopped the process is back to where it
// was before EKLVInitialize.
TEST_P(StopRace, UninitializeEndsEveryCall) {
    const Racer racer = GetParam();
    ASSERT_EQ(station.Stop(), 0u);
    const Counts before = Settled();

    std::mt19937 random(1207);
    std::atomic<bool> stop{false};
    std::thread unplugger;
    if (racer == Racer::kRemoval)
        unplugger = std::thread([&] {
            std::mt19937 r(5);
            while (!stop) {
                UnderSysfsLock([&] { s.rig.IsPlugged(s.phone) ? s.rig.Unplug(s.phone) : s.rig.Plug(s.phone); });
                std::this_thread::sleep_for(std::chrono::milliseconds(20 + r() % 80));
            }
        });
    {
        RacingHosts hosts(racer, t, 4);
        for (int cycle = 0, n = Cycles(5); cycle < n && !HasFailure(); ++cycle) {
            ASSERT_TRUE(station.Start());
            std::this_thread::sleep_for(std::chrono::milliseconds(50 + random() % 400));
            const auto stopping = Clock::now();
            EXPECT_EQ(t.Time(kUninitializeCall, [&] { return station.Stop(); }), 0u);
            t.Stopped();
            EXPECT_LT(Clock::now() - stopping, std::chrono::milliseconds(kLateMs)) << "cycle " << cycle;
            t.handle = EKLV_INVALID_HANDLE_VALUE;
        }
        stop = true;
        if (unplugger.joinable()) unplugger.join();
    }
    for (const auto& problem : t.Problems()) ADD_FAILURE() << problem;
    EXPECT_EQ(test::CountOf(station.Log(), "device calls still running"), 0);
    UnderSysfsLock([&] { if (!s.rig.IsPlugged(s.phone)) s.rig.Plug(s.phone); });
    EXPECT_EQ(CountsBackTo(before), before);
}

INSTANTIATE_TEST_SUITE_P(Stops, StopRace,
                         testing::Values(Racer::kRead, Racer::kWrite, Racer::kOpen, Racer::kBaudRate, Racer::kRemoval,
                                         Racer::kEveryCall),
                         RacerName);

}  // namespace
}  // namespace eklv
