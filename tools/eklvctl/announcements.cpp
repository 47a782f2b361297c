#include "announcements.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace eklvctl {
namespace {

std::string Field(const char* text, std::size_t size) { return std::string(text, strnlen(text, size)); }

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool ParseHex(const std::string& text, std::size_t at, std::size_t digits, std::uint32_t* value) {
    *value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        int d = at + i < text.size() ? HexDigit(text[at + i]) : -1;
        if (d < 0) return false;
        *value = *value << 4 | static_cast<std::uint32_t>(d);
    }
    return true;
}

}  // namespace

void Announcements::Message(InterfaceEvent event, Clock::time_point now) {
    if (host_fed_)
        ready_.push_back(std::move(event));
    else
        waiting_.push_back({std::move(event), now});
}

void Announcements::Block(const EKLVNotificationBlock& b) {
    bool arrival = b.event == EKLV_DBT_DEVICEARRIVAL;
    auto match = std::find_if(waiting_.begin(), waiting_.end(), [&](const Waiting& w) {
        return w.event.device_id == b.device_id && w.event.arrival == arrival;
    });
    if (match == waiting_.end()) return;  // its message was reported without it
    for (auto it = waiting_.begin(); it != match; ++it) ready_.push_back(std::move(it->event));
    InterfaceEvent event = std::move(match->event);
    event.name = Field(b.device_name, sizeof b.device_name);
    event.product = Field(b.product, sizeof b.product);
    event.product_id = Field(b.product_id, sizeof b.product_id);
    event.class_guid = GuidText(b.class_guid);
    ready_.push_back(std::move(event));
    waiting_.erase(waiting_.begin(), match + 1);
}

bool Announcements::Pop(Clock::time_point now, InterfaceEvent* event) {
    while (!waiting_.empty() && now - waiting_.front().since >= grace_) {
        ready_.push_back(std::move(waiting_.front().event));
        waiting_.pop_front();
    }
    if (ready_.empty()) return false;
    *event = std::move(ready_.front());
    ready_.pop_front();
    return true;
}

std::optional<Clock::time_point> Announcements::Due() const {
    if (waiting_.empty()) return std::nullopt;
    return waiting_.front().since + grace_;
}

std::string GuidText(const EKLVGuid& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.data1, g.data2,
                  g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4], g.data4[5], g.data4[6],
                  g.data4[7]);
    return text;
}

bool GuidFromName(const std::string& name, EKLVGuid* guid) {
    std::size_t open = name.rfind("#{");
    if (open == std::string::npos || name.size() < open + 2 + 37 || name[open + 2 + 36] != '}') return false;
    std::string t = name.substr(open + 2, 36);
    if (t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-') return false;
    std::uint32_t v = 0;
    if (!ParseHex(t, 0, 8, &v)) return false;
    guid->data1 = v;
    if (!ParseHex(t, 9, 4, &v)) return false;
    guid->data2 = static_cast<std::uint16_t>(v);
    if (!ParseHex(t, 14, 4, &v)) return false;
    guid->data3 = static_cast<std::uint16_t>(v);
    static constexpr std::size_t kBytes[8] = {19, 21, 24, 26, 28, 30, 32, 34};
    for (int i = 0; i < 8; ++i) {
        if (!ParseHex(t, kBytes[i], 2, &v)) return false;
        guid->data4[i] = static_cast<std::uint8_t>(v);
    }
    return true;
}

std::string InstanceFromName(const std::string& name) {
    // \\?\usb#vid_xxxx&pid_yyyy[&mi_nn]#<kernel name>[:<config>.<interface>]#{guid}
    std::size_t end = name.rfind("#{");
    if (end == std::string::npos || end == 0) return "";
    std::size_t begin = name.rfind('#', end - 1);
    if (begin == std::string::npos) return "";
    std::string instance = name.substr(begin + 1, end - begin - 1);
    return instance.substr(0, instance.find(':'));
}

std::string PortFromName(const std::string& name) {
    std::string port = InstanceFromName(name);
    bool plausible = !port.empty() && std::all_of(port.begin(), port.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '.';
    });
    return plausible ? port : "";
}

}  // namespace eklvctl
