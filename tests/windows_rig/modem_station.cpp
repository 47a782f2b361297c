#include "windows_rig/modem_station.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>

namespace eklv::test {

ModemStation::ModemStation() {
    const char* port = std::getenv("EKLV_MODEM_STATION");
    WSADATA data;
    if (port == nullptr || WSAStartup(MAKEWORD(2, 2), &data) != 0) return;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::atoi(port)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s == INVALID_SOCKET || connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (s != INVALID_SOCKET) closesocket(s);
        return;
    }
    socket_ = s;
}

ModemStation::~ModemStation() {
    if (connected()) closesocket(static_cast<SOCKET>(socket_));
    WSACleanup();
}

bool ModemStation::Ask(const std::string& line, std::string* value) {
    if (!connected()) return false;
    const std::string request = line + "\n";
    const SOCKET s = static_cast<SOCKET>(socket_);
    if (send(s, request.data(), static_cast<int>(request.size()), 0) != static_cast<int>(request.size())) return false;
    std::string reply;
    char c;
    while (recv(s, &c, 1, 0) == 1 && c != '\n') reply += c;
    if (reply.rfind("ok", 0) != 0) return false;
    if (value != nullptr) *value = reply.size() > 3 ? reply.substr(3) : std::string();
    return true;
}

bool ModemStation::Open(const std::string& port) { return Ask("open " + port); }
bool ModemStation::HangUp(const std::string& port) { return Ask("hangup " + port); }
bool ModemStation::Silent(const std::string& port, bool silent) {
    return Ask("silent " + port + (silent ? " 1" : " 0"));
}
bool ModemStation::Pause(const std::string& port, bool paused) {
    return Ask("pause " + port + (paused ? " 1" : " 0"));
}
int ModemStation::Commands(const std::string& port) {
    std::string value;
    return Ask("commands " + port, &value) ? std::atoi(value.c_str()) : -1;
}

}  // namespace eklv::test
