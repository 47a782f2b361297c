// The far end of a COM port for the Wine tests, built for Linux: a pty
// answered by the project's modem emulator. Prints the pty's path, then
// serves it until its standard input closes. Standing answers beside "OK":
// "AT+FAIL" gets ERROR; "AT+HUP" gets nothing, and 300 ms later the pty is
// hung up, as when a phone is pulled out while the host waits for a reply.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "rig/modem_emulator.h"

using eklv::test::ModemEmulator;
using eklv::test::ModemReply;

int main() {
    ModemEmulator modem;
    if (!modem.ok()) return 1;
    modem.Answer("AT+FAIL", ModemReply::Error());
    modem.Answer("AT+HUP", ModemReply::Silence());
    std::printf("%s\n", modem.SlavePath().c_str());
    std::fflush(stdout);
    bool hung_up = false;
    for (;;) {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (poll(&in, 1, 20) > 0) {
            char c;
            if (read(STDIN_FILENO, &c, 1) <= 0) break;
        }
        if (hung_up) continue;
        auto commands = modem.Commands();
        if (std::find(commands.begin(), commands.end(), "AT+HUP") != commands.end()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            modem.HangUp();
            hung_up = true;
        }
    }
    return 0;
}
