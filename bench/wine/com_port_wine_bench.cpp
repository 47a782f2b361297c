// AT round trips on one COM port under Wine, in one run: through the
// library's overlapped session (reader thread, receive buffer, the
// WriteData/ReadData of an interface opened overlapped) next to a raw
// Win32 loop of WriteFile and ReadFile on a blocking handle. The port is a
// pty answered by the modem emulator (tests/windows/with_modem.sh names it
// in EKLV_TEST_COM; scripts/bench-wine.sh runs it all, with
// modem_lines_preload.c giving the pty the DTR line that the session's
// overlapped open raises). Google Benchmark has no mingw build in Debian, so this
// program times the loops itself: rounds alternate raw and session (a COM
// port opens once at a time) and the medians of the rounds are printed
// with their ratio.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "notify/interface_types.h"
#include "platform/win32/module_override.h"
#include "transport/usb_session.h"

namespace {

constexpr int kRounds = 5;
constexpr int kTripsPerRound = 200;

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// Microseconds per round trip of kTripsPerRound trips on a blocking handle
// whose reads return what has arrived (ReadIntervalTimeout MAXDWORD, no
// total time-out): at once on Windows, at the first byte under Wine.
double RawRound(const std::string& port) {
    HANDLE h = CreateFileA(port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "raw: CreateFileA %s: error %lu\n", port.c_str(), GetLastError());
        std::exit(1);
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = 921600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    SetCommState(h, &dcb);
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 1000};
    SetCommTimeouts(h, &timeouts);
    PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    char buffer[256];
    Clock::time_point start = Clock::now();
    for (int i = 0; i < kTripsPerRound; ++i) {
        DWORD n = 0;
        if (!WriteFile(h, "AT\r", 3, &n, nullptr) || n != 3) {
            std::fprintf(stderr, "raw: WriteFile: error %lu\n", GetLastError());
            std::exit(1);
        }
        std::string reply;
        while (reply.find("OK\r\n") == std::string::npos) {
            if (!ReadFile(h, buffer, sizeof buffer, &n, nullptr) && GetLastError() != ERROR_TIMEOUT) {
                std::fprintf(stderr, "raw: ReadFile: error %lu\n", GetLastError());
                std::exit(1);
            }
            reply.append(buffer, n);
        }
    }
    double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kTripsPerRound;
    CloseHandle(h);
    return us;
}

// The same trips through the session: WriteData of "AT\r", then one
// ReadData, which answers once the reader has received the whole reply.
double SessionRound(eklv::CEKLVUSBSession& session) {
    eklv::pf::Handle h = session.OpenInterface(INF_DATA, 0);
    if (h == eklv::pf::kInvalidHandle) {
        std::fprintf(stderr, "session: OpenInterface failed\n");
        std::exit(1);
    }
    char buffer[256];
    Clock::time_point start = Clock::now();
    for (int i = 0; i < kTripsPerRound; ++i) {
        std::uint32_t length = 3;
        if (!session.WriteData(h, "AT\r", &length)) {
            std::fprintf(stderr, "session: WriteData failed\n");
            std::exit(1);
        }
        std::string reply;
        while (reply.find("OK\r\n") == std::string::npos) {
            length = sizeof buffer;
            if (session.ReadData(h, buffer, &length) != 0) {
                std::fprintf(stderr, "session: ReadData failed\n");
                std::exit(1);
            }
            reply.append(buffer, length);
        }
    }
    double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kTripsPerRound;
    session.CloseInterface(INF_DATA);
    return us;
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const char* com = std::getenv("EKLV_TEST_COM");
    if (com == nullptr) {
        std::fprintf(stderr, "EKLV_TEST_COM names no port: run through tests/windows/with_modem.sh\n");
        return 2;
    }
    const std::string port = std::string("\\\\.\\") + com;
    // The session reads eklv.ini beside its module: a folder of its own.
    std::filesystem::path folder = std::filesystem::temp_directory_path() / "eklv_com_port_bench";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "eklv.ini") << "[INF_SETTINGS]\nINF_DATA=Modem\n[COM_PORT_SETTING]\nBauRate=921600\n[CORE_LOGGING]\nLevel=0x6\nFlush=1\n";
    eklv::pf::w32::OverrideModuleFileName((folder / "eklv.dll").string());
    eklv::CEKLVUSBSession session;
    if (session.AddInterface(port, "USB Modem") != INF_DATA) {
        std::fprintf(stderr, "session: %s is no modem interface\n", port.c_str());
        return 1;
    }

    std::vector<double> raw, ours;
    for (int round = 0; round < kRounds; ++round) {
        raw.push_back(RawRound(port));
        ours.push_back(SessionRound(session));
        // The medians so far after every round: a run cut short still reports.
        double r = Median(raw), s = Median(ours);
        std::printf("round %d: raw %.1f us, session %.1f us; medians of %d rounds of %d trips: raw "
                    "WriteFile/ReadFile %.1f us (%.0f/s), overlapped session %.1f us (%.0f/s), session/raw %.2f\n",
                    round + 1, raw.back(), ours.back(), round + 1, kTripsPerRound, r, 1e6 / r, s, 1e6 / s, s / r);
    }
    return 0;
}
