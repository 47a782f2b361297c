// The sysfs cache keeps reads from one device-tree question to the next
// only while no uevent it has not seen waits: a question that finds some
// waiting has them taken off the socket (the cache forgetting what each
// may have changed) before it reads, and reads afresh when they cannot be
// taken.
#include "platform/linux/sysfs_cache.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace eklv::pf::lx {
namespace {

namespace fs = std::filesystem;

void Write(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }

// Stands in for the device monitor: takes what waits on its end of a
// socket pair, each datagram a uevent "action path".
struct Monitor {
    int fds[2] = {-1, -1};
    SysfsCache* cache = nullptr;
    bool can_take = true;
    int taken = 0;

    explicit Monitor(SysfsCache* c) : cache(c) {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, fds), 0);
        cache->Watch(fds[0], &Take, this);
    }
    ~Monitor() {
        cache->Watch(-1);
        close(fds[0]);
        close(fds[1]);
    }
    void Send(const std::string& uevent) { ASSERT_EQ(send(fds[1], uevent.data(), uevent.size(), 0), static_cast<ssize_t>(uevent.size())); }
    static void Take(void* context) {
        auto* self = static_cast<Monitor*>(context);
        if (!self->can_take) return;
        char text[512];
        ssize_t n;
        while ((n = recv(self->fds[0], text, sizeof text - 1, MSG_DONTWAIT)) > 0) {
            text[n] = '\0';
            std::string uevent(text);
            const std::size_t space = uevent.find(' ');
            self->cache->Received(uevent.substr(0, space).c_str(), uevent.substr(space + 1).c_str());
            ++self->taken;
        }
    }
};

// What a question reads of path.
std::string Read(SysfsCache& cache, const fs::path& path) {
    cache.BeginQuestion();
    std::string content;
    if (!cache.File(path.string(), 4096, &content)) content = "(none)";
    cache.EndQuestion();
    return content;
}

class SysfsCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/eklv-sysfs-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        device_ = root_ / "usb1" / "1-1";
        fs::create_directories(device_);
    }
    void TearDown() override {
        cache_.Release();
        fs::remove_all(root_);
    }
    SysfsCache cache_;
    fs::path root_, device_;
};

// Waiting uevents are taken before the question reads: what they changed
// is read afresh, the rest stays kept, and the question's own answers are
// kept for the next one. An interface's arrival drops its device's
// configuration attributes, not its other attributes.
TEST_F(SysfsCacheTest, AQuestionTakesWaitingUeventsFirstAndKeepsWhatTheyLeftAlone) {
    Monitor monitor(&cache_);
    Write(device_ / "idVendor", "6b4d\n");
    Write(device_ / "bConfigurationValue", "\n");
    EXPECT_EQ(Read(cache_, device_ / "idVendor"), "6b4d\n");
    EXPECT_EQ(Read(cache_, device_ / "bConfigurationValue"), "\n");
    cache_.BeginQuestion();
    cache_.Remember("answer", "before");
    cache_.EndQuestion();

    // Changed without a uevent yet: the kept reads still answer.
    Write(device_ / "idVendor", "1111\n");
    Write(device_ / "bConfigurationValue", "1\n");
    EXPECT_EQ(Read(cache_, device_ / "idVendor"), "6b4d\n");

    monitor.Send("add " + (device_ / "1-1:1.0").string());
    monitor.Send("bind " + (device_ / "1-1:1.0").string());
    EXPECT_EQ(Read(cache_, device_ / "bConfigurationValue"), "1\n");
    EXPECT_EQ(monitor.taken, 2);
    EXPECT_EQ(Read(cache_, device_ / "idVendor"), "6b4d\n");
    std::string answer;
    cache_.BeginQuestion();
    EXPECT_FALSE(cache_.Recall("answer", &answer));  // whole answers go with any uevent
    cache_.Remember("answer", "after");
    cache_.EndQuestion();
    cache_.BeginQuestion();
    EXPECT_TRUE(cache_.Recall("answer", &answer));
    EXPECT_EQ(answer, "after");
    cache_.EndQuestion();

    // The device's own uevent drops everything at and below it.
    monitor.Send("remove " + device_.string());
    EXPECT_EQ(Read(cache_, device_ / "idVendor"), "1111\n");
}

// When the waiting uevents cannot be taken, questions read afresh and keep
// nothing; what was kept before waits aside and answers again once they
// are taken, less what they changed.
TEST_F(SysfsCacheTest, UeventsLeftWaitingSetWhatIsKeptAside) {
    Monitor monitor(&cache_);
    const fs::path other = root_ / "usb1" / "1-2";
    fs::create_directories(other);
    Write(device_ / "idProduct", "2001\n");
    Write(other / "idProduct", "2011\n");
    EXPECT_EQ(Read(cache_, device_ / "idProduct"), "2001\n");
    EXPECT_EQ(Read(cache_, other / "idProduct"), "2011\n");
    monitor.can_take = false;
    monitor.Send("change " + device_.string());
    Write(device_ / "idProduct", "2002\n");
    Write(other / "idProduct", "2012\n");  // changed without a uevent of its own
    EXPECT_EQ(Read(cache_, device_ / "idProduct"), "2002\n");
    EXPECT_EQ(Read(cache_, other / "idProduct"), "2012\n");
    Write(device_ / "idProduct", "2003\n");
    EXPECT_EQ(Read(cache_, device_ / "idProduct"), "2003\n");
    EXPECT_EQ(monitor.taken, 0);

    monitor.can_take = true;
    EXPECT_EQ(Read(cache_, device_ / "idProduct"), "2003\n");  // its uevent dropped what was kept
    EXPECT_EQ(Read(cache_, other / "idProduct"), "2011\n");    // kept from before
    EXPECT_EQ(monitor.taken, 1);
    Write(device_ / "idProduct", "2004\n");
    EXPECT_EQ(Read(cache_, device_ / "idProduct"), "2003\n");  // kept again
}

// What a uevent told answers as if read until a uevent of its device
// drops it; a driver's bind leaves it. Links by name go only with a
// uevent of their own name.
TEST_F(SysfsCacheTest, LearnedFactsAnswerUntilTheirDevicesNextUevent) {
    Monitor monitor(&cache_);
    const std::string mine = "/sys/bus/usb/devices/eklv-test-9-9.1", other = "/sys/bus/usb/devices/eklv-test-9-9.2";
    Write(device_ / "idVendor", "1111\n");
    UeventFacts facts;
    facts.folder = device_.string();
    facts.files = {{(device_ / "idVendor").string(), "6b4d\n"}};
    facts.links = {{mine, "../../../devices/mine"}, {other, "../../../devices/other"}};
    cache_.Learn(facts);
    EXPECT_EQ(Read(cache_, device_ / "idVendor"), "6b4d\n");
    auto link = [&](const std::string& path) {
        cache_.BeginQuestion();
        std::string text = cache_.Link(path);
        cache_.EndQuestion();
        return text;
    };
    EXPECT_EQ(link(mine), "../../../devices/mine");

    monitor.Send("add " + (root_ / "usb1" / "eklv-test-9-9.2").string());
    EXPECT_EQ(link(mine), "../../../devices/mine");
    EXPECT_EQ(link(other), "");  // read again: no such link on this machine
    EXPECT_EQ(Read(cache_, device_ / "idVendor"), "6b4d\n");

    // A driver's bind: the device's own folder is read again, but for its
    // identity; what is below it stays.
    const fs::path iface = device_ / "1-1:1.0";
    fs::create_directories(iface);
    Write(device_ / "speed", "480\n");
    Write(iface / "bInterfaceClass", "02\n");
    EXPECT_EQ(Read(cache_, device_ / "speed"), "480\n");
    EXPECT_EQ(Read(cache_, iface / "bInterfaceClass"), "02\n");
    Write(device_ / "speed", "12\n");
    Write(iface / "bInterfaceClass", "0a\n");
    monitor.Send("bind " + device_.string());
    EXPECT_EQ(Read(cache_, device_ / "speed"), "12\n");
    EXPECT_EQ(Read(cache_, device_ / "idVendor"), "6b4d\n");
    EXPECT_EQ(Read(cache_, iface / "bInterfaceClass"), "02\n");

    monitor.Send("remove " + device_.string());
    EXPECT_EQ(Read(cache_, device_ / "idVendor"), "1111\n");
    EXPECT_EQ(Read(cache_, iface / "bInterfaceClass"), "0a\n");
}

}  // namespace
}  // namespace eklv::pf::lx
