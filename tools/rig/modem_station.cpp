// The phones' side of the COM ports of the Wine rig, a program for Linux:
// each COM port of a Wine prefix it is asked for becomes a pty answered by
// the project's modem emulator, linked as the prefix's dosdevices/comN.
// A Windows test (tests/windows_rig/modem_station.h) drives it over a TCP
// connection on 127.0.0.1, one command line at a time, each answered with
// "ok" (and a value) or "error <why>":
//   open COMn          a fresh modem on a fresh pty, linked as COMn
//   hangup COMn        the far end goes, as when the phone is pulled out:
//                      the pty hangs up and the link goes
//   silent COMn 1|0    commands get no answer, or answers again
//   pause COMn 1|0     nothing is read from the port, so writes to it
//                      fill it up, or it is read again
//   commands COMn      "ok <count>": command lines the modem has received
// Standing answers beside "OK": "AT+FAIL" gets ERROR.
// Usage: modem_station PREFIX. Prints the TCP port, then serves until its
// standard input closes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "rig/modem_emulator.h"

using eklv::test::ModemEmulator;
using eklv::test::ModemReply;

namespace {

class Station {
public:
    explicit Station(std::string prefix) : prefix_(std::move(prefix)) {}

    std::string Handle(const std::string& line) {
        std::istringstream in(line);
        std::string verb, port, value;
        in >> verb >> port >> value;
        std::string link = prefix_ + "/dosdevices/" + Lower(port);
        std::lock_guard<std::mutex> lock(mutex_);
        if (verb == "open") {
            auto modem = std::make_unique<ModemEmulator>();
            if (!modem->ok()) return "error no pty";
            modem->Answer("AT+FAIL", ModemReply::Error());
            unlink(link.c_str());
            if (symlink(modem->SlavePath().c_str(), link.c_str()) != 0) return "error cannot link " + link;
            if (auto old = modems_.find(port); old != modems_.end()) old->second->HangUp();
            modems_[port] = std::move(modem);
            return "ok";
        }
        auto it = modems_.find(port);
        if (it == modems_.end()) return "error no modem on " + port;
        if (verb == "hangup") {
            unlink(link.c_str());
            it->second->HangUp();
            return "ok";
        }
        if (verb == "silent") {
            it->second->SetSilent(value == "1");
            return "ok";
        }
        if (verb == "pause") {
            it->second->SetPaused(value == "1");
            return "ok";
        }
        if (verb == "commands") return "ok " + std::to_string(it->second->Commands().size());
        return "error unknown command";
    }

private:
    static std::string Lower(std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    }

    const std::string prefix_;
    std::mutex mutex_;
    std::map<std::string, std::unique_ptr<ModemEmulator>> modems_;
};

void Serve(Station* station, int connection) {
    std::string pending;
    char buffer[256];
    for (ssize_t n; (n = read(connection, buffer, sizeof buffer)) > 0;) {
        pending.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::string reply = station->Handle(pending.substr(0, end)) + "\n";
            pending.erase(0, end + 1);
            if (write(connection, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) break;
        }
    }
    close(connection);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: modem_station PREFIX\n");
        return 2;
    }
    Station station(argv[1]);
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 4) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("modem_station: listen");
        return 1;
    }
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    std::vector<std::thread> connections;
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {listener, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;
        if (fds[0].revents != 0) {
            char c;
            if (read(STDIN_FILENO, &c, 1) <= 0) break;
        }
        if (fds[1].revents & POLLIN) {
            int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection >= 0) connections.emplace_back(Serve, &station, connection);
        }
    }
    // The Windows side may still hold its connection: the process ends
    // without waiting for it, and its ptys go with it.
    std::fflush(stdout);
    std::_Exit(0);
}
