// What the device tree reads of sysfs: attribute files, links, folder
// listings, and whether a folder is a device's. Every read goes to sysfs,
// unless a pf::DeviceTreeReadScope lives on the calling thread: then the
// first read of each path in the scope answers for the rest of it. A scope
// spans one handling of a device change (the dozens of questions an
// arrival asks about the same few devices) and nothing outlives it, so no
// thread is ever answered from before a uevent it has handled since.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace eklv::pf::lx {

// A file's content, at most limit bytes; false when it cannot be opened.
bool ReadSysfsFile(const std::string& path, std::size_t limit, std::string* content);
// True when path/uevent exists: a device's folder (plain folders in
// between, such as "tty" or "pci0000:00", have none).
bool IsDeviceDirectory(const std::string& path);
// The text of a symbolic link; empty when there is none.
std::string ReadLink(const std::string& path);
// A folder's entries, without those starting with a dot.
std::vector<std::string> ListDirectory(const std::string& path);

// The read scope living on the calling thread: 0 when none does, else a
// number no other scope of the process has had. What is worked out from the
// reads (the device tree's nodes and ids) may be kept under it as well.
std::uint64_t ReadScopeId();

}  // namespace eklv::pf::lx
