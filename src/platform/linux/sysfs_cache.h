// Sysfs reads kept from one device-tree question to the next.
//
// An arrival asks the device tree dozens of questions (supported check,
// TID, id allocation, descriptors, strings), each of which used to read
// the same few files of the same few devices again. The cache keeps what
// the questions read (file contents, link targets, which directories are
// devices, directory listings) for as long as no uevent says that the
// tree may have changed:
//  - the kernel changes sysfs first and sends the uevent after: a device's
//    directory and attributes exist before its "add", its attributes are
//    gone before its "remove", a driver link is there before "bind";
//  - the device monitor listens to the kernel's uevents of the usb and tty
//    subsystems (where every device the tree answers about lives) and
//    tells the cache of each one it takes off its socket, under the sysfs
//    lock; the cache then forgets what that uevent can have changed (see
//    Affected in sysfs_cache.cpp; docs/hotplug.md);
//  - every question starts, under the same lock, by looking whether a
//    uevent waits on the monitor's socket (one poll); if one does, the
//    monitor's receiving takes it off the socket into the monitor's
//    backlog and the cache forgets what it may have changed, as above;
//    only if the socket cannot be emptied does the question read afresh
//    and keep nothing, while what was kept waits aside for the next
//    question that finds the socket empty.
// So a read kept from before a change is dropped before any question after
// that change's uevent: a device unplugged, or unplugged and replaced by
// another at the same path, is never answered from the old device's files.
// A uevent is sent after its change, so between a change and its uevent a
// question may still get the answer from before, as it would have a moment
// earlier.
// A umockdev testbed sends a device's "remove" before deleting its
// directory; reads below a path whose "remove" was seen are therefore not
// kept until its "add" comes.
//
// Whole answers of device-tree calls (a node's parent, its instance id, a
// property) are kept beside the reads, under the same rule but coarser:
// any uevent, any question that finds one waiting, drops all of them, and
// an answer is kept only when every read it made could be kept. An arrival
// asks the same few calls about the same few nodes many times over; each
// costs a lookup instead of a walk through the tree's reads.
//
// Without a monitor listening to kernel uevents (no registration, or udevd
// running, whose events follow the kernel's with a delay) nothing is kept
// past the question that read it, as before.
//
// Every member is used with the sysfs lock held.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/linux/uevent_facts.h"

namespace eklv::pf::lx {

class SysfsCache {
public:
    // Question boundaries (DeviceTree); nested questions count once.
    void BeginQuestion();
    void EndQuestion();

    // The device monitor listens to kernel uevents on fd; -1 when it stops.
    // take_waiting, when given, takes the uevents waiting on fd off it
    // (telling Received of each) with the sysfs lock held; a question that
    // finds uevents waiting has it do so, and keeps its reads when that
    // emptied the socket.
    using TakeWaiting = void (*)(void* context);
    void Watch(int fd, TakeWaiting take_waiting = nullptr, void* context = nullptr);
    // The monitor took a uevent off its socket (action and syspath null
    // when it could not be read).
    void Received(const char* action, const char* syspath);

    // Keeps what a uevent's properties tell (uevent_facts.h) as if it had
    // been read; called after Received for the same uevent.
    void Learn(const UeventFacts& facts);

    // A file's content up to limit bytes; false when it cannot be opened.
    bool File(const std::string& path, std::size_t limit, std::string* content);
    // True when path/uevent exists (a device directory).
    bool IsDeviceDirectory(const std::string& path);
    // The text of a symbolic link; empty when there is none.
    std::string Link(const std::string& path);
    // A directory's entries, without those starting with a dot.
    std::vector<std::string> List(const std::string& path);
    // stat() of a path; false when it fails.
    bool Status(const std::string& path, struct stat* st);

    // A whole answer kept under key; false when there is none.
    bool Recall(const std::string& key, std::string* value) const;
    // Keeps the answer of the current question, unless one of its reads
    // could not be kept (NotKept).
    void Remember(const std::string& key, std::string value);
    // The current question read something past the cache (libudev).
    void NotKept() { not_kept_ = true; }

    // Frees what is kept (at unload).
    void Release();

private:
    bool Keeps(const std::string& path);
    // Whether a read of path is kept in the maps (Keeps, or a question that
    // keeps nothing past itself); notes reads through /sys/bus and /sys/class.
    bool Keeping(const std::string& path);
    // Whether path is at or below a path whose "remove" came last.
    bool UnderRemoved(const std::string& path) const;
    void Forget();
    // Forgets what a uevent of the device at path may have changed; driver:
    // the uevent is a driver's bind or unbind.
    void ForgetAround(const std::string& path, bool driver);

    int depth_ = 0;
    int fd_ = -1;
    TakeWaiting take_waiting_ = nullptr;
    void* take_context_ = nullptr;
    bool keep_ = false;      // this question's reads may serve the next ones
    bool not_kept_ = false;  // this question read something it could not keep
    std::set<std::string, std::less<>> removed_;  // std::less<>: looked up by string_view
    std::map<std::size_t, int> removed_lengths_;   // how many of removed_ have each length
    // What is kept from one question to the next.
    struct Kept {
        // Reads by path, ordered so that a uevent drops what is at or below its
        // node's path as one range.
        template <typename T>
        using ByPath = std::map<std::string, T, std::less<>>;
        ByPath<std::optional<std::string>> files;
        ByPath<bool> devices;
        ByPath<std::string> links;
        // Links in /sys/bus and /sys/class, by the name they end in (the name
        // of the device they lead to), then by path: a uevent drops those of
        // its own name.
        std::map<std::string, ByPath<std::string>, std::less<>> named_links;
        // Whether files, devices, lists or stats hold anything read through
        // /sys/bus or /sys/class, which any uevent drops.
        bool through_bus_or_class = false;
        ByPath<std::vector<std::string>> lists;
        ByPath<std::optional<struct stat>> stats;
        std::unordered_map<std::string, std::string> answers;
        // The device folders whose configuration-following attributes files
        // holds, so that a uevent looks only at those above its node.
        std::set<std::string, std::less<>> configured;
        void Clear();
    };
    Kept kept_;
    // While a question reads afresh (uevents still coming), what was kept
    // waits here for the next question that finds the socket empty.
    Kept aside_;
    bool set_aside_ = false;
};

SysfsCache& TheSysfsCache();

// Whether something waits on fd, without blocking: 1 yes, 0 no, -1 on an
// error (which, on the monitor's socket, means uevents were lost).
int Waiting(int fd);

}  // namespace eklv::pf::lx
