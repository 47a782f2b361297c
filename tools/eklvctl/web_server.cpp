#include "web_server.h"

// Boost 1.74's <boost/asio.hpp> pulls in awaitable.hpp, which lacks
// <utility> under C++20; the parts are included one by one instead.
#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>

#include <atomic>
#include <cctype>
#include <deque>
#include <iostream>
#include <optional>
#include <set>
#include <thread>

#include "system.h"

namespace eklvctl {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;

// One arrival or removal as a stream sends it, made once for every stream.
struct Event {
    std::uint64_t id;
    std::string frame;  // "id: N\nevent: interface\ndata: {...}\n\n"
};

constexpr const char* kStreamHead =
    "HTTP/1.1 200 OK\r\n"
    "Content-Type: text/event-stream; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Connection: close\r\n"
    "\r\n"
    "retry: 1000\n\n";
constexpr const char* kHeartbeat = ": keep-alive\n\n";
constexpr const char* kBusy =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain\r\nContent-Length: 31\r\nConnection: close\r\n\r\n"
    "too many connections; try later";

std::string PeerText(const tcp::socket& socket) {
    error_code ec;
    tcp::endpoint peer = socket.remote_endpoint(ec);
    if (ec) return "a client";
    std::string address = peer.address().to_string();
    if (peer.address().is_v6()) address = "[" + address + "]";
    return address + ":" + std::to_string(peer.port());
}

// "localhost", an IP address, each with or without a port.
bool IsLoopbackHost(std::string host) {
    if (host.empty()) return true;  // HTTP/1.0 without Host
    if (host.front() == '[') {
        std::size_t close = host.find(']');
        if (close == std::string::npos) return false;
        host = host.substr(1, close - 1);
    } else if (std::size_t colon = host.rfind(':'); colon != std::string::npos) {
        host = host.substr(0, colon);
    }
    for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return host == "localhost" || WebServer::IsAddress(host);
}

}  // namespace

class WebServer::Impl {
public:
    Impl(std::vector<Asset> assets, Limits limits)
        : assets_(std::move(assets)), limits_(limits), acceptor_(io_), heartbeat_(io_), pause_(io_) {
        station_json_ = std::make_shared<const std::string>("{}");
    }

    class Connection;
    class Stream;

    bool Listen(const std::string& address, std::uint16_t port, std::string* error);
    void Start();
    void Stop();
    void SetStation(std::string json);
    void AddEvent(std::string json);

    // ---- on the server's thread ----
    void Accept();
    void Beat();
    void Forget(const std::shared_ptr<Stream>& stream, const std::string& why);
    void Closed() { --connections_; }
    void CloseAll();

    asio::io_context io_{1};
    const std::vector<Asset> assets_;
    const Limits limits_;
    tcp::acceptor acceptor_;
    asio::steady_timer heartbeat_;
    asio::steady_timer pause_;  // before accepting again after a failed accept
    tcp::endpoint local_;
    std::thread thread_;
    bool started_ = false;

    std::shared_ptr<const std::string> station_json_;
    std::shared_ptr<const std::string> station_frame_;
    std::deque<std::shared_ptr<const Event>> history_;
    std::uint64_t next_id_ = 1;
    std::set<std::shared_ptr<Stream>> streams_;
    std::set<Connection*> open_;  // HTTP connections not yet streams
    std::size_t connections_ = 0;
    std::atomic<std::size_t> stream_count_{0};
    std::atomic<std::size_t> dropped_{0};
};

// ---- an event stream ----

// Owns a connection that asked for /api/events. It writes the response
// head, the events a browser has not seen, then whatever comes; one write
// at a time, of everything waiting. A read stays pending all along, only
// to hear the browser close.
class WebServer::Impl::Stream : public std::enable_shared_from_this<Stream> {
public:
    Stream(Impl& server, beast::tcp_stream stream) : server_(server), stream_(std::move(stream)) {
        peer_ = PeerText(stream_.socket());
        error_code ec;
        stream_.socket().set_option(asio::socket_base::send_buffer_size(server_.limits_.stream_send_buffer), ec);
    }

    void Start(std::uint64_t last_seen) {
        head_ = true;
        station_ = true;
        // A browser that reconnects names the last event it has; one that
        // knows a larger number saw an earlier run of the server.
        if (last_seen >= server_.next_id_) last_seen = 0;
        for (const auto& event : server_.history_)
            if (event->id > last_seen) queue_.push_back(event);
        stream_.expires_never();
        auto self = shared_from_this();
        stream_.socket().async_read_some(asio::buffer(sink_), [self](const error_code& ec, std::size_t) {
            self->OnRead(ec);
        });
        Write();
    }

    // False when the stream fell behind (the caller drops it).
    bool Push(const std::shared_ptr<const Event>& event) {
        if (queue_.size() >= server_.limits_.stream_queue) return false;
        queue_.push_back(event);
        Write();
        return true;
    }
    void StationChanged() {
        station_ = true;
        Write();
    }
    void Beat() {
        if (writing_ || !queue_.empty() || station_) return;
        heartbeat_ = true;
        Write();
    }
    void Close() {
        if (closed_) return;
        closed_ = true;
        error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
        stream_.close();
        server_.Closed();
    }
    std::size_t waiting() const { return queue_.size(); }
    const std::string& peer() const { return peer_; }

private:
    void OnRead(const error_code& ec) {
        if (closed_) return;
        if (ec) {
            // A write that times out closes the socket too: the write's
            // handler tells why.
            read_failed_ = true;
            if (!writing_) server_.Forget(shared_from_this(), "");
            return;
        }
        // A browser sends nothing more on this connection; whatever it sends is dropped.
        auto self = shared_from_this();
        stream_.socket().async_read_some(asio::buffer(sink_), [self](const error_code& e, std::size_t) {
            self->OnRead(e);
        });
    }

    void Write() {
        if (writing_ || closed_) return;
        std::vector<asio::const_buffer> buffers;
        if (head_) buffers.push_back(asio::buffer(kStreamHead, std::char_traits<char>::length(kStreamHead)));
        while (!queue_.empty()) {
            sending_.push_back(queue_.front());
            queue_.pop_front();
        }
        for (const auto& event : sending_) buffers.push_back(asio::buffer(event->frame));
        if (station_ && server_.station_frame_) {
            station_sent_ = server_.station_frame_;
            buffers.push_back(asio::buffer(*station_sent_));
        }
        if (heartbeat_) buffers.push_back(asio::buffer(kHeartbeat, std::char_traits<char>::length(kHeartbeat)));
        head_ = station_ = heartbeat_ = false;
        if (buffers.empty()) return;
        writing_ = true;
        // Only the write is timed: the pending read keeps its own (none).
        stream_.expires_after(server_.limits_.write_stall);
        auto self = shared_from_this();
        asio::async_write(stream_, buffers, [self](const error_code& ec, std::size_t) { self->OnWrite(ec); });
    }

    void OnWrite(const error_code& ec) {
        writing_ = false;
        sending_.clear();
        station_sent_.reset();
        if (closed_) return;
        if (ec == beast::error::timeout) {
            auto stall = std::chrono::duration_cast<std::chrono::seconds>(server_.limits_.write_stall).count();
            server_.Forget(shared_from_this(), "it stopped reading (a write waited " + std::to_string(stall) + " s)");
            return;
        }
        if (ec || read_failed_) {
            server_.Forget(shared_from_this(), "");
            return;
        }
        Write();
    }

    Impl& server_;
    beast::tcp_stream stream_;
    std::string peer_;
    char sink_[512];
    std::deque<std::shared_ptr<const Event>> queue_;
    std::vector<std::shared_ptr<const Event>> sending_;
    std::shared_ptr<const std::string> station_sent_;
    bool head_ = false, station_ = false, heartbeat_ = false, writing_ = false, closed_ = false, read_failed_ = false;
};

// ---- one HTTP connection ----

class WebServer::Impl::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(Impl& server, tcp::socket socket) : server_(server), stream_(std::move(socket)) {
        server_.open_.insert(this);
    }
    ~Connection() {
        server_.open_.erase(this);
        if (!handed_over_) server_.Closed();
    }

    // Ends the connection at once (the server stops).
    void Abort() {
        error_code ec;
        stream_.socket().close(ec);
    }

    void Read() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(server_.limits_.request_limit));
        parser_->body_limit(server_.limits_.request_limit);
        stream_.expires_after(server_.limits_.idle);
        auto self = shared_from_this();
        http::async_read(stream_, buffer_, *parser_, [self](const error_code& ec, std::size_t) { self->OnRead(ec); });
    }

private:
    using Response = http::response<http::string_body>;

    void OnRead(const error_code& ec) {
        if (ec == http::error::header_limit || ec == http::error::body_limit || ec == http::error::buffer_overflow) {
            too_large_ = true;
            Send(Plain(http::status::payload_too_large, "request too large\n", 11), false);
            return;
        }
        if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::operation_aborted ||
            ec == asio::error::connection_reset || ec == asio::error::eof) {
            Shut();
            return;
        }
        if (ec) {
            Send(Plain(http::status::bad_request, "bad request\n", 11), false);
            return;
        }
        Handle(parser_->release());
    }

    static Response Plain(http::status status, const std::string& text, unsigned version) {
        Response res{status, version};
        res.set(http::field::content_type, "text/plain; charset=utf-8");
        res.body() = text;
        return res;
    }

    void Handle(http::request<http::string_body> req) {
        std::string target(req.target());
        std::string path = target.substr(0, target.find('?'));
        const unsigned version = req.version();
        const bool keep = req.keep_alive();
        const bool head = req.method() == http::verb::head;
        const bool get = req.method() == http::verb::get;

        if (server_.local_.address().is_loopback() && !IsLoopbackHost(std::string(req[http::field::host]))) {
            Send(Plain(http::status::forbidden, "this server answers loopback names only\n", version), false);
            return;
        }
        if (path == "/api/events") {
            if (!get) return Refuse("GET", version, keep);
            std::uint64_t last_seen = 0;
            try {
                std::string last(req["Last-Event-ID"]);
                if (!last.empty()) last_seen = std::stoull(last);
            } catch (const std::exception&) {
                last_seen = 0;
            }
            BecomeStream(last_seen);
            return;
        }
        Response res{http::status::ok, version};
        if (path == "/api/station") {
            if (!get && !head) return Refuse("GET, HEAD", version, keep);
            res.set(http::field::content_type, "application/json");
            res.body() = *server_.station_json_;
        } else {
            const Asset* asset = nullptr;
            for (const Asset& a : server_.assets_)
                if (a.path == path) asset = &a;
            if (asset == nullptr) {
                Send(Plain(http::status::not_found, "not found\n", version), keep);
                return;
            }
            if (!get && !head) return Refuse("GET, HEAD", version, keep);
            res.set(http::field::content_type, asset->content_type);
            res.set("Content-Security-Policy", "default-src 'self'; img-src 'self' data:");
            res.body() = asset->body;
        }
        res.set(http::field::cache_control, "no-store");
        if (head) {
            // The same head, without the body.
            http::response<http::empty_body> only{res.result(), version};
            for (const auto& field : res) only.set(field.name_string(), field.value());
            only.content_length(res.body().size());
            only.keep_alive(keep);
            auto message = std::make_shared<http::response<http::empty_body>>(std::move(only));
            auto self = shared_from_this();
            http::async_write(stream_, *message, [self, message, keep](const error_code& ec, std::size_t) {
                self->AfterWrite(ec, keep);
            });
            return;
        }
        Send(std::move(res), keep);
    }

    void Refuse(const char* allowed, unsigned version, bool keep) {
        Response res = Plain(http::status::method_not_allowed, "method not allowed\n", version);
        res.set(http::field::allow, allowed);
        Send(std::move(res), keep);
    }

    void Send(Response res, bool keep) {
        res.set("X-Content-Type-Options", "nosniff");
        res.set("Referrer-Policy", "no-referrer");
        res.keep_alive(keep);
        res.prepare_payload();
        auto message = std::make_shared<Response>(std::move(res));
        stream_.expires_after(server_.limits_.idle);
        auto self = shared_from_this();
        http::async_write(stream_, *message, [self, message, keep](const error_code& ec, std::size_t) {
            self->AfterWrite(ec, keep);
        });
    }

    void AfterWrite(const error_code& ec, bool keep) {
        if (!ec && too_large_) {
            Linger();
            return;
        }
        if (ec || !keep) {
            Shut();
            return;
        }
        Read();
    }

    // After a 413 the client may still be sending: closing with its bytes
    // unread would reset the connection before it reads the answer. The
    // rest is read and dropped for a short while first.
    void Linger() {
        error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        stream_.expires_after(std::chrono::seconds(2));
        Drain();
    }
    void Drain() {
        auto self = shared_from_this();
        stream_.async_read_some(asio::buffer(sink_), [self](const error_code& e, std::size_t n) {
            self->drained_ += n;
            if (e || self->drained_ > (1u << 20)) {
                self->stream_.close();
                return;
            }
            self->Drain();
        });
    }

    void Shut() {
        error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        stream_.close();
    }

    void BecomeStream(std::uint64_t last_seen) {
        handed_over_ = true;  // the stream counts the connection from now on
        auto stream = std::make_shared<Stream>(server_, std::move(stream_));
        server_.streams_.insert(stream);
        server_.stream_count_ = server_.streams_.size();
        stream->Start(last_seen);
    }

    Impl& server_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    bool handed_over_ = false;
    bool too_large_ = false;
    char sink_[4096];
    std::size_t drained_ = 0;
};

// ---- the server ----

bool WebServer::Impl::Listen(const std::string& address, std::uint16_t port, std::string* error) {
    error_code ec;
    tcp::endpoint endpoint(asio::ip::make_address(address, ec), port);
    if (ec) {
        *error = address + " is not an IP address";
        return false;
    }
    std::string where = (endpoint.address().is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(port);
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec && kListenReusesAddress) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(endpoint, ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec) local_ = acceptor_.local_endpoint(ec);
    if (ec) {
        *error = "cannot listen on " + where + ": " + ec.message();
        error_code ignored;
        acceptor_.close(ignored);
        return false;
    }
    return true;
}

void WebServer::Impl::Start() {
    if (started_ || !acceptor_.is_open()) return;
    started_ = true;
    Accept();
    Beat();
    thread_ = std::thread([this] { io_.run(); });
}

void WebServer::Impl::Stop() {
    if (!started_) return;
    started_ = false;
    // Every pending operation then ends with an error and starts no other,
    // so the thread's run returns.
    asio::post(io_, [this] { CloseAll(); });
    thread_.join();
}

void WebServer::Impl::CloseAll() {
    error_code ec;
    acceptor_.close(ec);
    heartbeat_.cancel();
    pause_.cancel();
    for (const auto& stream : streams_) stream->Close();
    streams_.clear();
    stream_count_ = 0;
    for (Connection* connection : open_) connection->Abort();
}

void WebServer::Impl::Accept() {
    acceptor_.async_accept([this](const error_code& ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
        if (ec) {
            // Out of descriptors or memory: accepting again at once would
            // spin; the connection waits in the backlog meanwhile.
            pause_.expires_after(std::chrono::milliseconds(100));
            pause_.async_wait([this](const error_code& e) {
                if (!e) Accept();
            });
            return;
        }
        if (connections_ >= limits_.max_connections) {
            auto busy = std::make_shared<tcp::socket>(std::move(socket));
            asio::async_write(*busy, asio::buffer(kBusy, std::char_traits<char>::length(kBusy)),
                              [busy](const error_code&, std::size_t) {
                                  error_code ignored;
                                  busy->close(ignored);
                              });
        } else {
            ++connections_;
            std::make_shared<Connection>(*this, std::move(socket))->Read();
        }
        Accept();
    });
}

void WebServer::Impl::Beat() {
    heartbeat_.expires_after(limits_.heartbeat);
    heartbeat_.async_wait([this](const error_code& ec) {
        if (ec) return;
        for (const auto& stream : streams_) stream->Beat();
        Beat();
    });
}

void WebServer::Impl::Forget(const std::shared_ptr<Stream>& stream, const std::string& why) {
    if (!why.empty()) {
        ++dropped_;
        std::cerr << ("eklvctl: station view: dropped the event stream of " + stream->peer() + ": " + why + "\n")
                  << std::flush;
    }
    stream->Close();
    streams_.erase(stream);
    stream_count_ = streams_.size();
}

void WebServer::Impl::SetStation(std::string json) {
    auto text = std::make_shared<const std::string>(std::move(json));
    asio::post(io_, [this, text] {
        station_json_ = text;
        station_frame_ = std::make_shared<const std::string>("event: station\ndata: " + *text + "\n\n");
        for (const auto& stream : streams_) stream->StationChanged();
    });
}

void WebServer::Impl::AddEvent(std::string json) {
    asio::post(io_, [this, json = std::move(json)] {
        const std::uint64_t id = next_id_++;
        auto event = std::make_shared<const Event>(
            Event{id, "id: " + std::to_string(id) + "\nevent: interface\ndata: " + json + "\n\n"});
        history_.push_back(event);
        while (history_.size() > limits_.history) history_.pop_front();
        std::vector<std::shared_ptr<Stream>> behind;
        for (const auto& stream : streams_)
            if (!stream->Push(event)) behind.push_back(stream);
        for (const auto& stream : behind)
            Forget(stream, "it fell behind (" + std::to_string(stream->waiting()) + " events waiting)");
    });
}

// ---- the public face ----

WebServer::WebServer(std::vector<Asset> assets, Limits limits)
    : impl_(std::make_unique<Impl>(std::move(assets), limits)) {}

WebServer::~WebServer() { Stop(); }

bool WebServer::IsAddress(const std::string& text) {
    error_code ec;
    asio::ip::make_address(text, ec);
    return !ec;
}

bool WebServer::Listen(const std::string& address, std::uint16_t port, std::string* error) {
    return impl_->Listen(address, port, error);
}

std::uint16_t WebServer::port() const { return impl_->local_.port(); }

bool WebServer::loopback() const { return impl_->local_.address().is_loopback(); }

std::string WebServer::Url() const {
    const auto& address = impl_->local_.address();
    std::string host = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return "http://" + host + ":" + std::to_string(port()) + "/";
}

void WebServer::Start() { impl_->Start(); }

void WebServer::Stop() { impl_->Stop(); }

void WebServer::SetStation(std::string json) { impl_->SetStation(std::move(json)); }

void WebServer::AddEvent(std::string json) { impl_->AddEvent(std::move(json)); }

std::size_t WebServer::streams() const { return impl_->stream_count_; }

std::size_t WebServer::dropped() const { return impl_->dropped_; }

}  // namespace eklvctl
