#include "station_view.h"

#include <algorithm>

#include "core_log.h"
#include "host.h"
#include "library.h"
#include "output.h"
#include "system.h"
#include "web_page.h"

namespace eklvctl {

bool ParseListen(const std::string& text, std::string* address, std::uint16_t* port, std::string* error) {
    std::size_t colon = text.rfind(':');
    std::string host = colon == std::string::npos ? "" : text.substr(0, colon);
    std::string number = colon == std::string::npos ? "" : text.substr(colon + 1);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
        if (host.find(':') == std::string::npos) host.clear();  // brackets are for IPv6 only
    } else if (host.find(':') != std::string::npos) {
        host.clear();  // an IPv6 address needs its brackets
    }
    if (host == "localhost") host = "127.0.0.1";
    if (host.empty() || number.empty() || number.size() > 5 ||
        number.find_first_not_of("0123456789") != std::string::npos || std::stoul(number) > 65535) {
        *error = "expected ADDRESS:PORT, for example 127.0.0.1:8080 or [::1]:8080";
        return false;
    }
    if (!WebServer::IsAddress(host)) {
        *error = host + " is not an IP address";
        return false;
    }
    *address = host;
    *port = static_cast<std::uint16_t>(std::stoul(number));
    return true;
}

StationView::StationView() : StationView(WebServer::Limits{}) {}

StationView::StationView(WebServer::Limits limits) : server_(StationPage(), limits) {
    SetLibrary("starting", "");
}

bool StationView::Listen(const std::string& listen, std::string* error) {
    std::string address;
    std::uint16_t port = 0;
    return ParseListen(listen, &address, &port, error) && server_.Listen(address, port, error);
}

void StationView::SetLibrary(const std::string& state, const std::string& message) {
    std::string path = library_state_.is_object() ? library_state_.value("path", "") : "";
    library_state_ = {{"state", state}, {"message", message}, {"path", path}};
}

void StationView::Starting(const std::string& library_path) {
    SetLibrary("starting", "");
    library_state_["path"] = library_path;
    PublishNow();
}

void StationView::Running(Library& library, LogTail& log) {
    library_ = &library;
    log_ = &log;
    SetLibrary("running", "");
    LearnLog();
    PublishNow();
}

void StationView::Failed(const std::string& message) {
    library_ = nullptr;
    log_ = nullptr;
    SetLibrary("failed", message);
    PublishNow();
}

void StationView::Stopped(const std::string& message) {
    library_ = nullptr;
    log_ = nullptr;
    SetLibrary("stopped", message);
    PublishNow();
}

void StationView::Warn(const std::string& warning) {
    warnings_.push_back(warning);
    PublishNow();
}

bool StationView::LearnLog() {
    if (log_ == nullptr) return false;
    last_poll_ = Clock::now();
    bool changed = false;
    for (const std::string& line : log_->TakeLines()) changed |= station_.Learn(ParseLogLine(line));
    for (const std::string& hub : station_.HubsToCount()) {
        station_.SetPortCount(hub, HubPortCount(hub));
        changed = true;
    }
    return changed;
}

void StationView::Announced(const InterfaceEvent& e, const Host& host) {
    LearnLog();  // the allocation line of an arrival comes before its announcement
    JsonValue event = EventJson(e);
    event["tid"] = TextOrNull(station_.TidOf(e.device_id));
    const std::string com_port_before = station_.ComPortOf(e.device_id, e.type);
    const Device* device = host.Find(e.device_id);
    if (device == nullptr)
        station_.Gone(e.device_id, Clock::now(), e.when);
    else if (library_ != nullptr)
        station_.Present(DescribePhone(*library_, *device, station_.TidOf(e.device_id)), e.when);
    event["com_port"] = TextOrNull(e.arrival ? station_.ComPortOf(e.device_id, e.type) : com_port_before);
    server_.AddEvent(JsonText(event));
    Publish();
}

void StationView::SetOpen(std::uint16_t id, std::uint32_t type, bool open) {
    station_.SetOpen(id, type, open);
    Publish();
}

void StationView::Tick() {
    bool changed = publish_due_;
    if (Clock::now() - last_poll_ >= kLogPoll) changed |= LearnLog();
    changed |= station_.Age(Clock::now());
    if (changed) Publish();
}

Clock::time_point StationView::NextTick() const {
    Clock::time_point next = last_poll_ + kLogPoll;
    if (auto change = station_.NextChange()) next = std::min(next, *change);
    if (publish_due_) next = std::min(next, last_publish_ + kPublishEvery);
    return next;
}

void StationView::Publish() {
    if (Clock::now() - last_publish_ < kPublishEvery) {
        publish_due_ = true;
        return;
    }
    PublishNow();
}

void StationView::PublishNow() {
    last_publish_ = Clock::now();
    publish_due_ = false;
    JsonValue snapshot = {{"time", ClockTime(std::chrono::system_clock::now())},
                          {"library", library_state_},
                          {"warnings", warnings_}};
    JsonValue station = station_.Snapshot(Clock::now());
    for (auto& [key, value] : station.items()) snapshot[key] = std::move(value);
    server_.SetStation(JsonText(snapshot));
}

}  // namespace eklvctl
