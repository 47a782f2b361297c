// The configuration walk of GetDescriptor on well-formed and hostile input,
// on buffers of their exact size, so a read past the end shows up under
// AddressSanitizer. Random input is the fuzzers' (tests/fuzz).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "discovery/discovery_folder.h"
#include "discovery/usb_descriptors.h"

namespace eklv {
namespace {


// A configuration: header, modem interface with two endpoints, MTP
// interface with one.
std::vector<std::uint8_t> Configuration() {
    std::vector<std::uint8_t> c = {9, 2, 0, 0, 2, 1, 0, 0x80, 50,
                                   9, 4, 0, 0, 2, 2, 2, 1, 5,
                                   7, 5, 0x81, 3, 16, 0, 9,
                                   7, 5, 0x02, 2, 0, 2, 0,
                                   9, 4, 1, 0, 1, 6, 1, 1, 6,
                                   7, 5, 0x83, 2, 0, 2, 0};
    c[2] = static_cast<std::uint8_t>(c.size());
    return c;
}

std::uint32_t Walk(const std::vector<std::uint8_t>& data, std::uint32_t type, std::uint32_t index,
                   std::vector<std::uint8_t>* found = nullptr) {
    // Exact-size copy: the walk may not look one byte further.
    std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[data.size()]);
    if (!data.empty()) std::memcpy(exact.get(), data.data(), data.size());
    std::uint8_t output[9] = {};
    std::uint32_t r = FindDescriptorInConfiguration(exact.get(), data.size(), type, index, output);
    if (found != nullptr) found->assign(output, output + (type == 4 ? 9 : 7));
    return r;
}

// (Interfaces found through the hub requests are the rig tests'.)
TEST(DescriptorWalk, FirstInterfaceMissingOnesAndHostileConfigurations) {
    test::DiscoveryFolder folder;
    std::vector<std::uint8_t> c = Configuration(), found;
    EXPECT_EQ(Walk(c, 4, 255, &found), 0u);
    EXPECT_EQ(found[2], 0);  // 255: the first interface
    EXPECT_EQ(Walk(c, 5, 0x83, &found), 0u);
    EXPECT_EQ(found, std::vector<std::uint8_t>(c.begin() + 41, c.end()));
    EXPECT_EQ(Walk(c, 4, 2), 1u);
    EXPECT_EQ(Walk(c, 5, 0x84), 1u);

    // The configuration with one byte changed.
    auto with = [&c](std::size_t at, std::uint8_t value) { auto copy = c; copy[at] = value; return copy; };
    EXPECT_EQ(Walk(with(18, 0), 4, 1), 1u);  // bLength 0 before the interface looked for: the walk ends
    EXPECT_EQ(Walk(with(9, 60), 4, 1), 1u);  // runs past the total length
    EXPECT_EQ(Walk(std::vector<std::uint8_t>(c.begin(), c.begin() + 20), 4, 1), 1u);  // cut short
    EXPECT_EQ(Walk({9, 2}, 4, 255), 1u);
    EXPECT_EQ(Walk({}, 4, 255), 1u);
    EXPECT_EQ(Walk(with(18, 1), 4, 1), 1u);  // bLength 1 still advances, one byte at a time

    // Wrong lengths are logged and stepped over; the next one matches.
    std::vector<std::uint8_t> odd = {9, 2, 0, 0, 2, 1, 0, 0x80, 50, 10, 4, 0, 0, 0, 2, 2, 1, 5, 0, 9, 4, 0, 1, 0, 6, 1, 1, 6,
                                     6, 5, 0x81, 2, 0, 2, 7, 5, 0x81, 2, 0, 2, 0};
    odd[2] = static_cast<std::uint8_t>(odd.size());
    EXPECT_EQ(Walk(odd, 4, 0, &found), 0u);
    EXPECT_EQ(found[3], 1);  // the alternate setting of the well-formed one
    EXPECT_EQ(Walk(odd, 5, 0x81, &found), 0u);
    EXPECT_EQ(found[0], 7);
    EXPECT_EQ(folder.CountLines("GetDescriptor Invalid interface descriptor length encountered for interface number(0)"),
              1);
    EXPECT_EQ(folder.CountLines("GetDescriptor Invalid endpoint descriptor length encountered for endpoint address (129)"),
              1);
}

// The session's reading of its interface descriptor: interface 0 for a name
// without "mi", the walk ending at the configuration's total length.
TEST(DescriptorWalk, SessionInterfaceNumbersAndTotalLength) {
    EXPECT_EQ(InterfaceNumberFromName("\\\\?\\usb#vid_6b4d&pid_abcd&mi_02#x#{g}", WithoutMi::kInterfaceZero), 2u);
    EXPECT_EQ(InterfaceNumberFromName("mi_05 is too early", WithoutMi::kInterfaceZero), 0u);
    EXPECT_EQ(InterfaceNumberFromName("mi_05 is too early"), 255u);

    test::DiscoveryFolder folder;
    std::vector<std::uint8_t> c = Configuration(), found;
    // Interface 1 lies behind two endpoint descriptors; a total length that
    // ends before it hides it.
    EXPECT_EQ(Walk(c, 4, 1, &found), 0u);
    EXPECT_EQ(found[8], 6);
    EXPECT_EQ(Walk(std::vector<std::uint8_t>(c.begin(), c.begin() + 32), 4, 1), 1u);
}

}  // namespace
}  // namespace eklv
