// The commands of eklvctl. Each loads the library, runs as its host for as
// long as the command needs, uninitialises it and answers an exit code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace eklvctl {

class Interrupts;

// Exit codes that scripts can rely on.
enum Exit : int {
    kExitOk = 0,
    kExitFailed = 1,        // a library call failed for another reason
    kExitUsage = 2,         // bad command line
    kExitSetup = 3,         // the library cannot be loaded, eklv.ini is missing or broken, the listen address is unusable
    kExitNotStarted = 4,    // EKLVInitialize failed, or the library is not initialised
    kExitNoDevice = 5,      // no attached device has the id
    kExitNoInterface = 6,   // the interface is absent or could not be opened
    kExitIo = 7,            // a write or read failed, or the phone went away
    kExitAtError = 8,       // an AT command was answered with an error
    kExitInterrupted = 130  // Ctrl-C or another stop signal (watch ends with 0)
};

struct CommonOptions {
    std::string library;             // empty: DefaultLibraryPath()
    bool host_fed = false;
    std::vector<std::string> feeds;  // host-fed arrivals, "ID=SYMBOLIC_NAME"
    bool json = false;
    int settle_ms = 500;             // quiet time that ends the start-up scan
    double wait_s = 0;               // how long to wait for a phone that is not there yet
};

struct WatchOptions {
    int count = 0;          // stop after this many events; 0: no limit
    double duration_s = 0;  // stop after this long; 0: no limit
};

struct AtOptions {
    std::uint32_t device_id = 0;
    std::vector<std::string> commands;
    std::string interface;  // empty: the phone's modem or UART interface
    std::uint32_t baud = 0; // 0: leave the rate as opened
    bool sync = false;
    double timeout_s = 10;  // per command, for --sync reads
};

struct LogOptions {
    std::string level;  // "0x7", "7"
    int flush = -1;     // -1: keep eklv.ini's
};

int RunList(const CommonOptions& common, Interrupts& interrupts);
int RunWatch(const CommonOptions& common, const WatchOptions& options, Interrupts& interrupts);
int RunAt(const CommonOptions& common, const AtOptions& options, Interrupts& interrupts);
int RunInfo(const CommonOptions& common, std::uint32_t device_id, Interrupts& interrupts);
int RunLog(const CommonOptions& common, const LogOptions& options, Interrupts& interrupts);

struct ServeOptions {
    std::string listen = "127.0.0.1:8080";
    double duration_s = 0;  // 0: until Ctrl-C
};
int RunServe(const CommonOptions& common, const ServeOptions& options, Interrupts& interrupts);

// Runs this program again under umockdev-wrapper unless the umockdev
// preload library is already in place (then answers kExitOk); answers
// kExitSetup when umockdev is missing. Call before any thread starts.
int PrepareDemo(int argc, char** argv);

struct DemoOptions {
    std::string folder;  // empty: a new folder under $TMPDIR
    bool serve = false;  // with the station view open on listen
    std::string listen = "127.0.0.1:8080";
};
int RunDemo(const CommonOptions& common, const DemoOptions& options, Interrupts& interrupts);

}  // namespace eklvctl
