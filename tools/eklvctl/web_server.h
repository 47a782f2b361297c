// The station view's HTTP server (Boost.Beast over Boost.Asio). It serves
// a fixed set of pages, the current station snapshot as JSON and a stream
// of Server-Sent Events, all on one thread of its own, so that no browser
// ever holds up the thread that runs the library's messages: that thread
// only hands texts over (SetStation, AddEvent), which never waits.
//
// Read-only: GET (and HEAD for pages and the snapshot); other methods
// answer 405, unknown paths 404, requests larger than the request limit
// 413. On a loopback address only requests whose Host is a loopback name or
// an IP address are served (a web page elsewhere cannot read the station
// through a name of its own that points at 127.0.0.1).
//
// Each event stream has a bounded queue; a stream whose queue is full or
// whose write has not finished within the stall time (a browser that stopped
// reading) is dropped with one line on standard error. The station snapshot
// is not queued: a stream gets the latest one when its writes catch up.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace eklvctl {

class WebServer {
public:
    struct Limits {
        std::size_t max_connections = 512;
        std::size_t stream_queue = 512;               // events waiting for one stream
        std::chrono::milliseconds write_stall{5000};   // a stream write not done by then drops the stream
        std::chrono::milliseconds idle{30000};         // a connection without a request for that long is closed
        std::chrono::milliseconds heartbeat{15000};    // a comment on quiet streams, to find closed ones
        std::size_t request_limit = 8192;              // bytes of a request's header, and of its body
        std::size_t history = 200;                     // events a new stream gets first
        // The kernel's send buffer of a stream (Linux doubles it). Fixed, so
        // that a browser that stops reading holds a bounded amount of memory
        // and is found out by the stall time, however large the system lets
        // buffers grow.
        int stream_send_buffer = 64 * 1024;
    };
    struct Asset {
        std::string path;  // "/", "/station.js"
        std::string content_type;
        std::string body;
    };

    explicit WebServer(std::vector<Asset> assets, Limits limits);
    explicit WebServer(std::vector<Asset> assets) : WebServer(std::move(assets), Limits{}) {}
    ~WebServer();  // Stop()
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Whether text is an IPv4 or IPv6 address.
    static bool IsAddress(const std::string& text);

    // Listens on address (an IP address) and port (0: any free port);
    // false with the reason in *error when it cannot.
    bool Listen(const std::string& address, std::uint16_t port, std::string* error);
    std::uint16_t port() const;
    bool loopback() const;
    // "http://127.0.0.1:8080/", "http://[::1]:8080/".
    std::string Url() const;

    // Serves on the server's thread until Stop.
    void Start();
    // Closes every connection and joins the thread.
    void Stop();

    // From any thread; never waits for a client.
    void SetStation(std::string json);
    void AddEvent(std::string json);

    // Open event streams and streams dropped for falling behind so far.
    std::size_t streams() const;
    std::size_t dropped() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace eklvctl
