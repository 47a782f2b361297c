#include "http_client.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace eklv::test {
namespace {

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kInvalid = INVALID_SOCKET;
void CloseSocket(Socket s) { closesocket(s); }
int WaitReadable(Socket s, int ms) {
    WSAPOLLFD fd{s, POLLRDNORM, 0};
    return WSAPoll(&fd, 1, ms);
}
struct Winsock {
    Winsock() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};
#else
using Socket = int;
constexpr Socket kInvalid = -1;
void CloseSocket(Socket s) { close(s); }
int WaitReadable(Socket s, int ms) {
    pollfd fd{s, POLLIN, 0};
    return poll(&fd, 1, ms);
}
#endif

Socket Connect(std::uint16_t port, int receive_buffer) {
#ifdef _WIN32
    static Winsock winsock;
#endif
    Socket s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == kInvalid) return kInvalid;
    if (receive_buffer > 0)
        setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receive_buffer), sizeof receive_buffer);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        CloseSocket(s);
        return kInvalid;
    }
    return s;
}

bool SendAll(Socket s, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        int n = static_cast<int>(send(s, text.data() + sent, static_cast<int>(text.size() - sent), 0));
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Appends what can be read within ms; false once the peer closed or failed.
bool ReadSome(Socket s, std::string* text, int ms) {
    if (WaitReadable(s, ms) <= 0) return true;
    char buffer[16384];
    int n = static_cast<int>(recv(s, buffer, sizeof buffer, 0));
    if (n <= 0) return false;
    text->append(buffer, static_cast<std::size_t>(n));
    return true;
}

}  // namespace

HttpResponse HttpExchange(std::uint16_t port, const std::string& request, std::chrono::milliseconds timeout) {
    HttpResponse response;
    Socket s = Connect(port, 0);
    if (s == kInvalid) return response;
    // A server may answer (413) before it has read all of a large request.
    SendAll(s, request);
    std::string text;
    const auto end = std::chrono::steady_clock::now() + timeout;
    // Until the server closes, or the body its Content-Length announces is in.
    auto complete = [&] {
        std::size_t blank = text.find("\r\n\r\n");
        if (blank == std::string::npos) return false;
        std::string head = text.substr(0, blank);
        for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::size_t field = head.find("\r\ncontent-length:");
        return field != std::string::npos &&
               text.size() - blank - 4 >= std::strtoull(head.c_str() + field + 17, nullptr, 10);
    };
    while (std::chrono::steady_clock::now() < end && !complete() && ReadSome(s, &text, 50)) {
    }
    CloseSocket(s);
    std::size_t blank = text.find("\r\n\r\n");
    if (text.rfind("HTTP/1.", 0) != 0 || blank == std::string::npos) return response;
    response.status = std::atoi(text.c_str() + 9);
    response.head = text.substr(0, blank);
    response.body = text.substr(blank + 4);
    return response;
}

HttpResponse HttpRequest(std::uint16_t port, const std::string& method, const std::string& path,
                         const std::string& body) {
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nConnection: close\r\n";
    if (!body.empty())
        request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    return HttpExchange(port, request + "\r\n" + body, std::chrono::seconds(60));
}

HttpStream::HttpStream(std::uint16_t port, const std::string& path, int receive_buffer) {
    Socket s = Connect(port, receive_buffer);
    if (s == kInvalid) return;
    socket_ = static_cast<decltype(socket_)>(s);
    if (!SendAll(s, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n"))
        closed_ = true;
}

HttpStream::~HttpStream() {
    if (socket_ != kNoSocket) CloseSocket(static_cast<Socket>(socket_));
}

bool HttpStream::Read(std::chrono::milliseconds wait) {
    if (socket_ == kNoSocket || closed_) return false;
    const auto end = std::chrono::steady_clock::now() + wait;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (WaitReadable(static_cast<Socket>(socket_), static_cast<int>(std::max<long long>(left.count(), 0))) <= 0)
            return true;
        if (!ReadSome(static_cast<Socket>(socket_), &text_, 0)) return !(closed_ = true);
    }
}

bool HttpStream::WaitFor(const std::string& text, std::chrono::milliseconds bound, std::size_t offset) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (text_.find(text, offset) == std::string::npos) {
        if (!Read(std::chrono::milliseconds(50)) || std::chrono::steady_clock::now() >= end) break;
    }
    return text_.find(text, offset) != std::string::npos;
}

}  // namespace eklv::test
