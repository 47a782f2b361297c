// The station view of a running command (serve, demo --serve): the station
// model, the core log it learns the topology from, and the web server that
// shows both. Driven by the thread that takes the host's announcements; it
// only hands texts to the server, which never makes it wait for a browser.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "announcements.h"
#include "station.h"
#include "web_server.h"

namespace eklvctl {

class Host;
class Library;
class LogTail;

// Splits "127.0.0.1:8080" or "[::1]:8080" ("localhost" stands for
// 127.0.0.1); false with the reason in *error.
bool ParseListen(const std::string& text, std::string* address, std::uint16_t* port, std::string* error);

class StationView {
public:
    // How often the log is read for hubs and TIDs that came without an
    // announcement (a hub plugged or pulled, a late log line).
    static constexpr std::chrono::milliseconds kLogPoll{250};
    // Snapshots go out at most this often: a burst of phones makes one
    // snapshot per pause, not one per announcement (announcements
    // themselves go out at once).
    static constexpr std::chrono::milliseconds kPublishEvery{100};

    StationView();
    explicit StationView(WebServer::Limits limits);

    // Listens (ParseListen's form); false with a one-line reason.
    bool Listen(const std::string& listen, std::string* error);
    std::string Url() const { return server_.Url(); }
    bool loopback() const { return server_.loopback(); }
    void Start() { server_.Start(); }
    void Stop() { server_.Stop(); }

    // The library's state as the page tells it.
    void Starting(const std::string& library_path);
    // Started: announcements follow; log (which must outlive the view's
    // use of it) tells the topology, library answers COM ports.
    void Running(Library& library, LogTail& log);
    void Failed(const std::string& message);
    void Stopped(const std::string& message);
    void Warn(const std::string& warning);

    // An announcement, after host has applied it to its devices.
    void Announced(const InterfaceEvent& event, const Host& host);
    // An interface opened or closed by this program.
    void SetOpen(std::uint16_t id, std::uint32_t type, bool open);
    // Reads new log lines and ages removed phones; publishes what changed.
    void Tick();
    // When Tick is due.
    Clock::time_point NextTick() const;

    const WebServer& server() const { return server_; }

private:
    bool LearnLog();
    // Publishes the snapshot now, or marks it due when one went out within
    // kPublishEvery; Tick sends it.
    void Publish();
    void PublishNow();
    void SetLibrary(const std::string& state, const std::string& message);

    Station station_;
    WebServer server_;
    Library* library_ = nullptr;
    LogTail* log_ = nullptr;
    JsonValue library_state_;
    std::vector<std::string> warnings_;
    Clock::time_point last_poll_ = Clock::now();
    Clock::time_point last_publish_{};
    bool publish_due_ = false;
};

}  // namespace eklvctl
