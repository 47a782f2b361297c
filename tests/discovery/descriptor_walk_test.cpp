// The configuration walk of GetDescriptor and the name and descriptor
// parsers, on well-formed, hostile and random input. Random cases run on
// buffers of their exact size, so a read past the end shows up under
// AddressSanitizer.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "discovery/discovery_folder.h"
#include "discovery/usb_descriptors.h"
#include "discovery/usb_utilities.h"
#include "platform/linux/hub_descriptors.h"
#include "platform/linux/udev_names.h"

namespace eklv {
namespace {

using test::DiscoveryFolder;

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

TEST(DescriptorWalk, FindsInterfacesAndEndpoints) {
    std::vector<std::uint8_t> c = Configuration(), found;
    EXPECT_EQ(Walk(c, 4, 1, &found), 0u);
    EXPECT_EQ(found, std::vector<std::uint8_t>(c.begin() + 32, c.begin() + 41));
    EXPECT_EQ(Walk(c, 4, 255, &found), 0u);
    EXPECT_EQ(found[2], 0);  // 255: the first interface
    EXPECT_EQ(Walk(c, 5, 0x83, &found), 0u);
    EXPECT_EQ(found, std::vector<std::uint8_t>(c.begin() + 41, c.end()));
    EXPECT_EQ(Walk(c, 4, 2), 1u);
    EXPECT_EQ(Walk(c, 5, 0x84), 1u);
}

TEST(DescriptorWalk, HostileConfigurations) {
    DiscoveryFolder folder;
    std::vector<std::uint8_t> c = Configuration();

    std::vector<std::uint8_t> zero = c;
    zero[18] = 0;  // bLength 0 before the interface looked for: the walk ends
    EXPECT_EQ(Walk(zero, 4, 1), 1u);
    std::vector<std::uint8_t> past = c;
    past[9] = 60;  // runs past the total length
    EXPECT_EQ(Walk(past, 4, 1), 1u);
    EXPECT_EQ(Walk(std::vector<std::uint8_t>(c.begin(), c.begin() + 20), 4, 1), 1u);  // cut short
    EXPECT_EQ(Walk({9, 2}, 4, 255), 1u);
    EXPECT_EQ(Walk({}, 4, 255), 1u);
    std::vector<std::uint8_t> one = c;
    one[18] = 1;  // bLength 1 still advances, one byte at a time
    EXPECT_EQ(Walk(one, 4, 1), 1u);

    // Wrong lengths are logged and stepped over; the next one matches.
    std::vector<std::uint8_t> odd = {9, 2, 0, 0, 2, 1, 0, 0x80, 50, 10, 4, 0, 0, 0, 2, 2, 1, 5, 0, 9, 4, 0, 1, 0, 6, 1, 1, 6,
                                     6, 5, 0x81, 2, 0, 2, 7, 5, 0x81, 2, 0, 2, 0};
    odd[2] = static_cast<std::uint8_t>(odd.size());
    std::vector<std::uint8_t> found;
    EXPECT_EQ(Walk(odd, 4, 0, &found), 0u);
    EXPECT_EQ(found[3], 1);  // the alternate setting of the well-formed one
    EXPECT_EQ(Walk(odd, 5, 0x81, &found), 0u);
    EXPECT_EQ(found[0], 7);
    EXPECT_EQ(folder.CountLines("GetDescriptor Invalid interface descriptor length encountered for interface number(0)"),
              1);
    EXPECT_EQ(folder.CountLines("GetDescriptor Invalid endpoint descriptor length encountered for endpoint address (129)"),
              1);
}

// Random and mutated inputs for every parser; the checks are the
// invariants each answer promises.
TEST(DescriptorWalk, RandomInputsStayInBounds) {
    std::mt19937 random(20240611);
    auto byte = [&] { return static_cast<std::uint8_t>(random() & 0xFF); };
    const std::vector<std::uint8_t> base = Configuration();
    for (int round = 0; round < 20000; ++round) {
        std::vector<std::uint8_t> data;
        if (round % 2 == 0) {
            data.resize(random() % 64);
            for (auto& b : data) b = byte();
        } else {
            data = base;
            for (int flips = 1 + random() % 4; flips > 0; --flips) data[random() % data.size()] = byte();
            data.resize(random() % (data.size() + 1));
        }
        std::uint32_t type = 4 + random() % 2;
        std::uint32_t index = round % 3 == 0 ? 255 : byte();
        std::vector<std::uint8_t> found;
        std::uint32_t r = Walk(data, type, index, &found);
        ASSERT_TRUE(r == 0 || r == 1);
        if (r == 0) {
            ASSERT_EQ(found[0], type == 4 ? 9 : 7);
            ASSERT_EQ(found[1], type);
            if (!(type == 4 && index == 255)) {
                ASSERT_EQ(found[2], index);
            }
        }

        std::vector<std::uint8_t> image(data);
        std::size_t offset = 0, length = 0;
        for (int i = 0; i < 3 && pf::lx::FindConfiguration(image, i, &offset, &length); ++i)
            ASSERT_LE(offset + length, image.size());
        int number = -1;
        pf::lx::InterfaceOfStringIndex(data.data(), data.size(), byte(), &number);
        std::string text;
        if (StringFromDescriptorText(data.data(), data.size(), &text)) {
            ASSERT_LE(text.size(), 254u);
        }
        std::string utf8(data.begin(), data.end());
        std::vector<std::uint8_t> descriptor = pf::lx::EncodeStringDescriptor(utf8);
        ASSERT_EQ(descriptor[0], descriptor.size());
        ASSERT_LE(descriptor.size(), 255u);
    }
}

TEST(NameParsers, RandomNamesStayInBounds) {
    DiscoveryFolder folder;
    std::mt19937 random(7);
    const std::string alphabet = "usb0123456789-.:#{}\\?&_vidpmiVIDPMI";
    const std::vector<std::string> samples = {
        "usb3", "3-1.4:1.2", "\\\\?\\usb#vid_6b4d&pid_abcd&mi_01#1-3.2:1.1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}",
        "usb\\vid_6b4d&pid_abcd\\1-3"};
    for (int round = 0; round < 20000; ++round) {
        std::string name;
        if (round % 2 == 0) {
            name.resize(random() % 40);
            for (char& c : name) c = alphabet[random() % alphabet.size()];
        } else {
            name = samples[random() % samples.size()];
            for (int edits = 1 + random() % 3; edits > 0 && !name.empty(); --edits) {
                std::size_t at = random() % name.size();
                if (random() % 2) name[at] = alphabet[random() % alphabet.size()];
                else name.erase(at, 1);
            }
        }
        pf::lx::UsbName parsed;
        if (pf::lx::ParseUsbName(name, &parsed)) {
            ASSERT_LE(parsed.ports.size(), 7u);
            ASSERT_TRUE(parsed.root_hub || !parsed.ports.empty());
        }
        pf::lx::InstanceIdParts parts;
        pf::lx::SplitInstanceId(name, &parts);
        std::string id, cls;
        if (pf::lx::ParseSymbolicName(name, &id, &cls)) {
            ASSERT_EQ(pf::lx::SymbolicNameFromInstanceId(id, cls).size(), name.size());
        }
        std::string padded = "\\\\?\\" + name + std::string(20, 'x');
        ASSERT_EQ(CKLVUSBUtilities::GetDeviceInstanceID(padded, &id), kUsbOk);
        ASSERT_LE(id.size(), padded.size());
        InterfaceNumberFromName(name);
    }
}

}  // namespace
}  // namespace eklv
