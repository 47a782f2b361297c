// Plain HTTP over a TCP socket to a server on this machine, for the tests
// of eklvctl serve (and of the browser driver it is checked with): raw
// requests, good and bad, and event streams read as they come. POSIX
// sockets, or Winsock in the Windows build.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace eklv::test {

struct HttpResponse {
    int status = 0;    // 0: no answer
    std::string head;  // status line and header fields
    std::string body;
};

// Sends request (the whole text) to 127.0.0.1:port and reads until the
// server closes the connection or timeout passes.
HttpResponse HttpExchange(std::uint16_t port, const std::string& request,
                          std::chrono::milliseconds timeout = std::chrono::seconds(10));
// A GET, POST or other request with "Connection: close"; body, when not
// empty, as JSON.
HttpResponse HttpRequest(std::uint16_t port, const std::string& method, const std::string& path,
                         const std::string& body = "");
inline HttpResponse HttpGet(std::uint16_t port, const std::string& path) { return HttpRequest(port, "GET", path); }

// A connection that asked for a path and keeps what comes, read only when
// told; receive_buffer > 0 makes the socket's receive buffer that small
// before it connects (a browser that stops reading).
class HttpStream {
public:
    HttpStream(std::uint16_t port, const std::string& path, int receive_buffer = 0);
    ~HttpStream();
    HttpStream(const HttpStream&) = delete;
    HttpStream& operator=(const HttpStream&) = delete;

    // Reads what has come, for up to wait; false once the server closed.
    bool Read(std::chrono::milliseconds wait = std::chrono::milliseconds(0));
    // Reads until text has come (counting from offset) or the bound passes.
    bool WaitFor(const std::string& text, std::chrono::milliseconds bound, std::size_t offset = 0);
    bool closed() const { return closed_; }
    const std::string& text() const { return text_; }

private:
#ifdef _WIN32
    using Socket = std::uintptr_t;
    static constexpr Socket kNoSocket = ~Socket{0};
#else
    using Socket = int;
    static constexpr Socket kNoSocket = -1;
#endif
    Socket socket_ = kNoSocket;
    std::string text_;
    bool closed_ = false;
};

}  // namespace eklv::test
