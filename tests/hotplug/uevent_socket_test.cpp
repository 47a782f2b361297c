// The monitor's own uevent reading: both wire formats, datagrams that are
// not uevents, and (on a umockdev rig, whose stand-in socket carries
// udevd's format) the subsystems it keeps and drops.
#include "platform/linux/uevent_socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "rig/usb_rig.h"

namespace eklv::pf::lx {
namespace {

using namespace std::string_literals;

const std::string kProperties =
    "ACTION=add\0DEVPATH=/devices/pci0000:00/0000:00:14.0/usb1/1-2\0SUBSYSTEM=usb\0DEVTYPE=usb_device\0"
    "PRODUCT=6b4d/2001/404\0SEQNUM=7\0"s;

std::string Kernel(const std::string& properties) {
    return "add@/devices/pci0000:00/0000:00:14.0/usb1/1-2\0"s + properties;
}

// udevd's header, as its daemon (and umockdev) sends it.
std::string Udevd(const std::string& properties, std::uint32_t magic = 0xfeedcafe, std::uint32_t offset = 40,
                  std::uint32_t length = 0xffffffff) {
    std::uint32_t header[10] = {};
    std::memcpy(header, "libudev", 8);
    header[2] = htonl(magic);
    header[3] = 40;
    header[4] = offset;
    header[5] = length == 0xffffffff ? static_cast<std::uint32_t>(properties.size()) : length;
    return std::string(reinterpret_cast<const char*>(header), 40) + properties;
}

bool Parses(const std::string& datagram, Uevent* out) { return ParseUevent(datagram.data(), datagram.size(), out); }

TEST(UeventSocket, ReadsBothFormatsAndRefusesWhatIsNotAUevent) {
    for (const std::string& datagram : {Kernel(kProperties), Udevd(kProperties)}) {
        Uevent uevent;
        ASSERT_TRUE(Parses(datagram, &uevent));
        EXPECT_STREQ(uevent.action(), "add");
        EXPECT_STREQ(uevent.subsystem(), "usb");
        EXPECT_STREQ(uevent.devtype(), "usb_device");
        EXPECT_STREQ(uevent.syspath(), "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2");
        EXPECT_STREQ(uevent.Property("PRODUCT"), "6b4d/2001/404");
        // Whole keys only.
        EXPECT_EQ(uevent.Property("DEV"), nullptr);
        EXPECT_EQ(uevent.Property("PRODUCT=6b4d"), nullptr);
        EXPECT_EQ(uevent.Property("INTERFACE"), nullptr);
    }
    // A copy reads its own properties once the original is gone.
    Uevent copy;
    {
        Uevent original;
        ASSERT_TRUE(Parses(Kernel(kProperties), &original));
        copy = original;
    }
    EXPECT_STREQ(copy.action(), "add");
    EXPECT_STREQ(copy.devtype(), "usb_device");
    // The last property without its NUL still reads whole.
    Uevent cut;
    ASSERT_TRUE(Parses(Kernel(kProperties + "DRIVER=usb"), &cut));
    EXPECT_STREQ(cut.Property("DRIVER"), "usb");

    const std::string no_action = kProperties.substr(kProperties.find("DEVPATH"));
    const std::string no_subsystem = "ACTION=add\0DEVPATH=/devices/x\0"s;
    const std::string relative_path = "ACTION=add\0DEVPATH=devices/x\0SUBSYSTEM=usb\0"s;
    const std::string empty_action = "ACTION=\0DEVPATH=/devices/x\0SUBSYSTEM=usb\0"s;
    for (const std::string& datagram :
         {""s, "add@/devices/x"s, "hello\0ACTION=add\0"s, Kernel(no_action), Kernel(no_subsystem),
          Kernel(relative_path), Kernel(empty_action), Udevd(kProperties, 0xcafefeed), Udevd(kProperties, 0xfeedcafe, 8),
          Udevd(kProperties, 0xfeedcafe, 400), Udevd(kProperties, 0xfeedcafe, 40, 4096), "libudev\0"s}) {
        Uevent uevent;
        EXPECT_FALSE(Parses(datagram, &uevent)) << testing::PrintToString(datagram);
    }
}

TEST(UeventSocket, KeepsItsSubsystemsAndTellsOfWhatIsNotAUevent) {
    test::UsbRig rig;
    UeventSocket socket;
    ASSERT_TRUE(socket.Open(false, 1 << 20));
    Uevent uevent;
    EXPECT_EQ(socket.Receive("usb", "tty", &uevent), UeventSocket::Result::kNone);

    // The controller's "add" (pci) is dropped; the root hub's are kept.
    rig.AddRootHub(rig.AddPciController(), 1);
    std::string taken;
    while (socket.Receive("usb", "tty", &uevent) == UeventSocket::Result::kUevent)
        taken += std::string(uevent.action()) + " " + uevent.subsystem() + " " + uevent.syspath() + "\n";
    EXPECT_EQ(taken.substr(0, taken.find('\n')), "add usb /sys/devices/pci0000:00/0000:00:14.0/usb1");
    EXPECT_EQ(taken.find("pci "), std::string::npos) << taken;

    // Garbage on the testbed's stand-in for the socket: told, then nothing.
    const char* folder = std::getenv("UMOCKDEV_DIR");
    ASSERT_NE(folder, nullptr);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/event%d", folder, socket.fd());
    int sender = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(sender, 0);
    auto send = [&](const std::string& datagram) {
        return sendto(sender, datagram.data(), datagram.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&address),
                      sizeof address) == static_cast<ssize_t>(datagram.size());
    };
    ASSERT_TRUE(send("not a uevent\0"s)) << address.sun_path;
    EXPECT_EQ(socket.Receive("usb", "tty", &uevent), UeventSocket::Result::kBad);
    EXPECT_EQ(socket.Receive("usb", "tty", &uevent), UeventSocket::Result::kNone);

    // A flood of another subsystem's uevents: one call drops a bounded run
    // of them and says so; the next goes on to the usb uevent behind them.
    std::string pci = kProperties;
    pci.replace(pci.find("SUBSYSTEM=usb"), 13, "SUBSYSTEM=pci");
    int queued = 0;
    while (queued <= UeventSocket::kMaxDropped && send(Kernel(pci))) ++queued;
    if (queued <= UeventSocket::kMaxDropped || !send(Kernel(kProperties))) {
        close(sender);
        GTEST_SKIP() << "the testbed's socket queues only " << queued << " datagrams (net.unix.max_dgram_qlen)";
    }
    close(sender);
    EXPECT_EQ(socket.Receive("usb", "tty", &uevent), UeventSocket::Result::kSkipped);
    ASSERT_EQ(socket.Receive("usb", "tty", &uevent), UeventSocket::Result::kUevent);
    EXPECT_STREQ(uevent.subsystem(), "usb");
    EXPECT_EQ(socket.Receive("usb", "tty", &uevent), UeventSocket::Result::kNone);
}

}  // namespace
}  // namespace eklv::pf::lx
