// The unmodified eklv.dll on the Wine rig, timed beside raw Win32 loops on
// the same COM port in the same run (scripts/bench-wine.sh runs it all, on
// the rig of tests/windows_rig: an emulated USB tree with one phone whose
// COM8 is a pty of the modem station, with the modem-lines preload).
//
//   settled  AT round trips through an interface opened overlapped once
//            (EKLVWriteData, then EKLVReadData until the reply is whole),
//            beside a raw loop that waits for received characters the way
//            a Windows program does (WaitCommEvent EV_RXCHAR, then ReadFile
//            with time-outs {MAXDWORD, 0, 0}, which answers at once with
//            what has arrived, on Windows and under Wine);
//   fresh    open, one AT round trip and close, timed apart, each way;
//   plug     plug to WM_ZORVAN_INTERFACE_ARRIVAL, beside the DLL's own
//            start-up scan of the same tree (EKLVInitialize to the arrival),
//            and beside the bare message path the same plug takes: the
//            broadcast sent to a window on a thread of its own, which posts
//            the arrival message to the host window at once.
//
// Google Benchmark has no mingw build in Debian, so this program times the
// loops itself: rounds alternate library and raw, and the medians of the
// rounds are printed after every round.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "windows_rig/import_table.h"
#include "windows_rig/rig_station.h"

namespace {

using Clock = std::chrono::steady_clock;
using eklv::test::RigStation;

constexpr int kRounds = 5;
constexpr int kTrips = 200;
constexpr int kFresh = 20;
constexpr int kPlugs = 20;
constexpr const char* kPort = "COM8";

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "%s failed (error %lu)\n", what, ::GetLastError());
    std::exit(1);
}

// ---- raw Win32 ----

HANDLE RawOpen() {
    HANDLE h = ::CreateFileA("\\\\.\\COM8", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) Fail("raw CreateFileA");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ::GetCommState(h, &dcb);
    dcb.BaudRate = 921600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    ::SetCommState(h, &dcb);
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    ::SetCommTimeouts(h, &timeouts);
    ::SetCommMask(h, EV_RXCHAR);
    ::PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return h;
}

void RawTrip(HANDLE h, OVERLAPPED* ov) {
    DWORD n = 0;
    if (!::WriteFile(h, "AT\r", 3, &n, ov) && (::GetLastError() != ERROR_IO_PENDING || !::GetOverlappedResult(h, ov, &n, TRUE)))
        Fail("raw WriteFile");
    std::string reply;
    char buffer[256];
    while (reply.find("OK\r\n") == std::string::npos) {
        DWORD mask = 0;
        if (!::WaitCommEvent(h, &mask, ov) &&
            (::GetLastError() != ERROR_IO_PENDING || !::GetOverlappedResult(h, ov, &n, TRUE)))
            Fail("raw WaitCommEvent");
        if (!::ReadFile(h, buffer, sizeof buffer, &n, ov) &&
            (::GetLastError() != ERROR_IO_PENDING || !::GetOverlappedResult(h, ov, &n, TRUE)))
            Fail("raw ReadFile");
        reply.append(buffer, n);
    }
}

// ---- through the library ----

void LibraryTrip(RigStation& s, std::uint32_t id, EKLV_HANDLE h) {
    if (s.lib.WriteData(id, h, "AT\r", 3) != 0) Fail("EKLVWriteData");
    std::string reply;
    char buffer[256];
    while (reply.find("OK\r\n") == std::string::npos) {
        std::uint32_t length = sizeof buffer;
        if (s.lib.ReadData(id, h, buffer, &length) != 0) Fail("EKLVReadData");
        reply.append(buffer, length);
    }
}

// A window on a thread of its own that answers WM_DEVICECHANGE by posting
// the arrival message to the host window: the messages of a plug without
// the library's work between them.
class Relay {
public:
    explicit Relay(HWND host) : host_(host) {
        thread_ = ::CreateThread(nullptr, 0, &Run, this, 0, nullptr);
        while (window_ == nullptr) ::Sleep(1);
    }
    ~Relay() {
        ::PostMessageA(window_, WM_QUIT, 0, 0);
        ::WaitForSingleObject(thread_, INFINITE);
        ::CloseHandle(thread_);
    }
    void Plug() {
        DWORD_PTR result = 0;
        ::SendMessageTimeoutA(window_, WM_DEVICECHANGE, 0x8000, 0, SMTO_BLOCK, 10000, &result);
    }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
        if (message == WM_DEVICECHANGE) {
            auto* self = reinterpret_cast<Relay*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
            ::PostMessageA(self->host_, self->arrival_, 0, INF_UART);
            return TRUE;
        }
        return ::DefWindowProcA(hwnd, message, wparam, lparam);
    }
    static DWORD WINAPI Run(LPVOID context) {
        auto* self = static_cast<Relay*>(context);
        WNDCLASSEXA wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &Proc;
        wc.hInstance = ::GetModuleHandleA(nullptr);
        wc.lpszClassName = "EKLVBenchRelay";
        ::RegisterClassExA(&wc);
        HWND hwnd = ::CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                                      nullptr);
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->window_ = hwnd;
        MSG msg;
        while (::GetMessageA(&msg, nullptr, 0, 0) > 0) ::DispatchMessageA(&msg);
        ::DestroyWindow(hwnd);
        return 0;
    }
    const HWND host_;
    const UINT arrival_ = ::RegisterWindowMessageA(EKLV_MSG_INTERFACE_ARRIVAL);
    HANDLE thread_ = nullptr;
    volatile HWND window_ = nullptr;
};

// The DLL's profile reads (eklv.ini, USBConnectivityConfig.ini) and event
// creations, counted and timed: each is a file or a wine server call under
// Wine, and a plug makes many.
struct Calls {
    long count = 0;
    Clock::duration time{};
};
Calls g_profile, g_events;

DWORD WINAPI CountedProfileRead(LPCSTR section, LPCSTR key, LPCSTR fallback, LPSTR out, DWORD size, LPCSTR file) {
    const Clock::time_point t = Clock::now();
    const DWORD r = ::GetPrivateProfileStringA(section, key, fallback, out, size, file);
    ++g_profile.count;
    g_profile.time += Clock::now() - t;
    return r;
}

HANDLE WINAPI CountedCreateEvent(LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL initial, LPCSTR name) {
    const Clock::time_point t = Clock::now();
    HANDLE h = ::CreateEventA(security, manual, initial, name);
    ++g_events.count;
    g_events.time += Clock::now() - t;
    return h;
}

struct Figures {
    std::vector<double> settled, settled_raw, fresh, fresh_raw, close, close_raw, plug, plug_raw, scan;
};

void Report(int round, const Figures& f) {
    std::printf(
        "after round %d (medians, us):\n"
        "  settled AT round trip   library %8.1f   raw %8.1f   library/raw %.2f\n"
        "  fresh open + AT         library %8.1f   raw %8.1f   library/raw %.2f\n"
        "  close after traffic     library %8.1f   raw %8.1f\n"
        "  plug to arrival         library %8.1f   bare messages %8.1f   start-up scan to arrival %8.1f\n",
        round, Median(f.settled), Median(f.settled_raw), Median(f.settled) / Median(f.settled_raw), Median(f.fresh),
        Median(f.fresh_raw), Median(f.fresh) / Median(f.fresh_raw), Median(f.close), Median(f.close_raw),
        Median(f.plug), Median(f.plug_raw), Median(f.scan));
}

}  // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    RigStation station(eklv::test::SelfMonitoringIni("[CORE_LOGGING]\nLevel=0x4\nFlush=0\n"));
    auto pci = station.tree.AddPciController();
    auto root = station.tree.AddRootHub(pci);
    auto phone = station.tree.AddSinglePhone(root, 1, eklv::test::kPhoneVendor, eklv::test::kSingleProduct,
                                             eklv::test::SingleFunction(kPort));
    auto* dll = static_cast<HMODULE>(station.lib.module());
    eklv::test::RebindImport(dll, "KERNEL32.dll", "GetPrivateProfileStringA",
                             reinterpret_cast<const void*>(&CountedProfileRead));
    eklv::test::RebindImport(dll, "KERNEL32.dll", "CreateEventA", reinterpret_cast<const void*>(&CountedCreateEvent));
    Figures f;
    Calls plug_profile, plug_events;
    std::uint32_t id = EKLV_NO_DEVICE;
    for (int round = 1; round <= kRounds; ++round) {
        // The start-up scan of the tree, to the arrival of the phone.
        int arrivals = station.host.arrivals.count();
        const Clock::time_point start = Clock::now();
        if (station.Start() != 0) Fail("EKLVInitialize");
        Clock::time_point arrived;
        if (!station.host.arrivals.Wait(arrivals + 1, &arrived)) Fail("start-up arrival");
        f.scan.push_back(Us(arrived - start));
        id = station.host.Messages().back().device_id;

        // Settled path: one overlapped open, then round trips.
        EKLV_HANDLE h = 0;
        if (station.lib.OpenDevice(id, INF_UART, &h, 0) != 0) Fail("EKLVOpenDevice");
        LibraryTrip(station, id, h);
        Clock::time_point t = Clock::now();
        for (int i = 0; i < kTrips; ++i) LibraryTrip(station, id, h);
        f.settled.push_back(Us(Clock::now() - t) / kTrips);
        station.lib.CloseDevice(id, INF_UART);

        HANDLE raw = RawOpen();
        OVERLAPPED ov{};
        ov.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
        RawTrip(raw, &ov);
        t = Clock::now();
        for (int i = 0; i < kTrips; ++i) RawTrip(raw, &ov);
        f.settled_raw.push_back(Us(Clock::now() - t) / kTrips);
        ::CloseHandle(raw);

        // Fresh opens: open and one round trip, then the close.
        for (int i = 0; i < kFresh; ++i) {
            t = Clock::now();
            if (station.lib.OpenDevice(id, INF_UART, &h, 0) != 0) Fail("EKLVOpenDevice");
            LibraryTrip(station, id, h);
            const Clock::time_point closing = Clock::now();
            station.lib.CloseDevice(id, INF_UART);
            f.fresh.push_back(Us(closing - t));
            f.close.push_back(Us(Clock::now() - closing));

            t = Clock::now();
            raw = RawOpen();
            RawTrip(raw, &ov);
            const Clock::time_point raw_closing = Clock::now();
            ::CloseHandle(raw);
            f.fresh_raw.push_back(Us(raw_closing - t));
            f.close_raw.push_back(Us(Clock::now() - raw_closing));
        }
        ::CloseHandle(ov.hEvent);

        // Plug to arrival: the port is served before the broadcast goes.
        for (int i = 0; i < kPlugs; ++i) {
            const int removals = station.host.removals.count();
            station.Pull(phone);
            if (!station.host.removals.Wait(removals + 1)) Fail("removal");
            arrivals = station.host.arrivals.count();
            if (!station.modems.Open(kPort)) Fail("modem station");
            const Calls profile = g_profile, events = g_events;
            t = Clock::now();
            station.tree.Plug(phone);
            if (!station.host.arrivals.Wait(arrivals + 1, &arrived)) Fail("arrival");
            f.plug.push_back(Us(arrived - t));
            plug_profile.count += g_profile.count - profile.count;
            plug_profile.time += g_profile.time - profile.time;
            plug_events.count += g_events.count - events.count;
            plug_events.time += g_events.time - events.time;
        }
        if (station.Stop() != 0) Fail("EKLVUninitialize");
        {
            Relay relay(reinterpret_cast<HWND>(station.host.hwnd()));
            for (int i = 0; i < kPlugs; ++i) {
                arrivals = station.host.arrivals.count();
                t = Clock::now();
                relay.Plug();
                if (!station.host.arrivals.Wait(arrivals + 1, &arrived)) Fail("relayed arrival");
                f.plug_raw.push_back(Us(arrived - t));
            }
        }
        Report(round, f);
    }
    const double plugs = static_cast<double>(kRounds) * kPlugs;
    std::printf("per plug: %.1f profile reads taking %.0f us, %.1f events made taking %.0f us\n",
                plug_profile.count / plugs, Us(plug_profile.time) / plugs, plug_events.count / plugs,
                Us(plug_events.time) / plugs);
    std::printf("close within 60 ms: %s\n", Median(f.close) <= 60000 ? "yes" : "no");
    return 0;
}
