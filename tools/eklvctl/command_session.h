// The library loaded and started as a command needs it, and the one-line
// failures with their exit codes that every command shares.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "commands.h"
#include "core_log.h"
#include "host.h"
#include "library.h"

namespace eklvctl {

// The longest the start-up scan may keep announcing before a command goes
// on with what it has.
inline constexpr std::chrono::seconds kSettleCap{30};

// Writes "eklvctl: <message>" to standard error; answers code.
int Fail(int code, const std::string& message);

// Maps a device call's result to the exit code a script sees.
int ExitFor(std::uint32_t result);

class Session {
public:
    Session(const CommonOptions& common, Interrupts& interrupts) : common_(common), interrupts_(interrupts) {}
    ~Session() { host_.reset(); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Loads the library, checks eklv.ini (check_ini), initialises it (in
    // host-fed mode when host_fed), feeds the --feed arrivals and, unless
    // settle is false, takes the start-up announcements. kExitOk, or the
    // exit code after its message (kept in failure()).
    int Start(bool check_ini, bool host_fed, bool settle);

    // Waits up to --wait for a phone with id to be announced, then for the
    // rest of its interfaces. kExitOk also when it never comes: the library
    // has the last word on that.
    int AwaitDevice(std::uint16_t id);

    // Uninitialises the library after a stop signal; kExitInterrupted.
    int Interrupted();

    // Uninitialises the library; code, or kExitFailed when that fails.
    int Finish(int code);

    // The message of a failed Start; empty otherwise.
    const std::string& failure() const { return failure_; }
    bool loaded() const { return library_ != nullptr; }
    bool started() const { return host_ && host_->initialized(); }
    Host& host() { return *host_; }
    Library& library() { return *library_; }
    LogTail& log() { return *log_; }
    bool interrupted() const { return interrupts_.requested(); }

private:
    int Failed(int code, const std::string& message);

    const CommonOptions& common_;
    Interrupts& interrupts_;
    std::unique_ptr<Library> library_;
    std::unique_ptr<LogTail> log_;
    std::unique_ptr<Host> host_;
    std::string failure_;
};

}  // namespace eklvctl
