#include "platform/linux/uevent_socket.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace eklv::pf::lx {
namespace {

// The multicast groups of the uevent netlink family.
constexpr std::uint32_t kKernelGroup = 1;
constexpr std::uint32_t kUdevdGroup = 2;

// udevd's header before the properties, as it sends it (all fields but the
// prefix in network order where noted).
constexpr char kUdevPrefix[8] = "libudev";
constexpr std::uint32_t kUdevMagic = 0xfeedcafe;  // network order on the wire
struct UdevHeader {
    char prefix[8];
    std::uint32_t magic;
    std::uint32_t header_size;
    std::uint32_t properties_off;
    std::uint32_t properties_len;
    std::uint32_t filter_subsystem_hash;
    std::uint32_t filter_devtype_hash;
    std::uint32_t filter_tag_bloom_hi;
    std::uint32_t filter_tag_bloom_lo;
};

// A datagram bigger than this is not a uevent (the kernel's are at most
// 2 KiB, udevd's a few).
constexpr std::size_t kMaxDatagram = 16 * 1024;

}  // namespace

std::size_t Uevent::Find(std::string_view key) const {
    const char* begin = properties_.c_str();
    const char* entry = begin;
    const char* end = begin + properties_.size();
    while (entry < end) {
        const std::size_t length = std::strlen(entry);
        if (length > key.size() && entry[key.size()] == '=' && std::memcmp(entry, key.data(), key.size()) == 0)
            return static_cast<std::size_t>(entry - begin) + key.size() + 1;
        entry += length + 1;
    }
    return kNone;
}

const char* Uevent::Property(std::string_view key) const { return At(Find(key)); }

bool ParseUevent(const char* data, std::size_t size, Uevent* out) {
    std::string_view block;
    if (size >= sizeof(UdevHeader) && std::memcmp(data, kUdevPrefix, sizeof kUdevPrefix) == 0) {
        UdevHeader header;
        std::memcpy(&header, data, sizeof header);
        if (ntohl(header.magic) != kUdevMagic) return false;
        if (header.properties_off < sizeof header || header.properties_off > size ||
            header.properties_len > size - header.properties_off)
            return false;
        block = std::string_view(data + header.properties_off, header.properties_len);
    } else {
        // "action@devpath", then the properties.
        const void* nul = std::memchr(data, '\0', size);
        if (nul == nullptr) return false;
        const std::string_view head(data, static_cast<const char*>(nul) - data);
        if (head.find("@/") == std::string_view::npos) return false;
        block = std::string_view(data + head.size() + 1, size - head.size() - 1);
    }
    out->properties_.assign(block);
    out->properties_.push_back('\0');  // the last entry ends even if the sender did not end it
    out->action_ = out->Find("ACTION");
    out->subsystem_ = out->Find("SUBSYSTEM");
    out->devtype_ = out->Find("DEVTYPE");
    const char* devpath = out->Property("DEVPATH");
    if (out->action() == nullptr || out->subsystem() == nullptr || devpath == nullptr || devpath[0] != '/' ||
        *out->action() == '\0' || *out->subsystem() == '\0')
        return false;
    out->syspath_.assign("/sys").append(devpath);
    return true;
}

bool UeventSocket::Open(bool from_udevd, int receive_bytes) {
    Close();
    fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
    if (fd_ < 0) return false;
    const int on = 1;
    // Without the privilege to force the size the kernel caps it at
    // rmem_max; the monitor still works, with its resync as backstop.
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &receive_bytes, sizeof receive_bytes) < 0)
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_bytes, sizeof receive_bytes);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = from_udevd ? kUdevdGroup : kKernelGroup;
    if (setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) < 0 ||
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
        Close();
        return false;
    }
    return true;
}

void UeventSocket::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

UeventSocket::Result UeventSocket::Receive(std::string_view subsystem_a, std::string_view subsystem_b, Uevent* out) {
    for (int dropped = 0;; ++dropped) {
        if (dropped == kMaxDropped) return Result::kSkipped;
        alignas(8) char buffer[kMaxDatagram];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        sockaddr_nl sender{};
        iovec part{buffer, sizeof buffer};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t got;
        do {
            got = recvmsg(fd_, &message, 0);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return Result::kNone;
            if (errno == ENOBUFS) return Result::kLost;
            return Result::kFailed;
        }
        // Only the kernel sends to its group; everything else must come
        // from root (udevd). Anything else is not ours to read.
        if (sender.nl_groups == kKernelGroup ? sender.nl_pid != 0 : sender.nl_groups != kUdevdGroup) continue;
        const cmsghdr* header = CMSG_FIRSTHDR(&message);
        if (header == nullptr || header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_CREDENTIALS) continue;
        ucred credentials;
        std::memcpy(&credentials, CMSG_DATA(header), sizeof credentials);
        if (credentials.uid != 0) continue;
        if ((message.msg_flags & MSG_TRUNC) != 0 || !ParseUevent(buffer, static_cast<std::size_t>(got), out))
            return Result::kBad;
        const std::string_view subsystem = out->subsystem();
        if (subsystem == subsystem_a || subsystem == subsystem_b) return Result::kUevent;
    }
}

}  // namespace eklv::pf::lx
