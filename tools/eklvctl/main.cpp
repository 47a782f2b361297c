// eklvctl: a host of the eklv library for stations and newcomers. It loads
// libeklv.so or eklv.dll as a host does and lists, watches and talks to the
// phones the library announces; "eklvctl demo" shows all of it on an emulated rig.
#include <CLI/CLI.hpp>

#include <iostream>

#include "commands.h"
#include "system.h"
#include "library.h"
#include "station_view.h"
#include "udev_rules.h"

namespace {

constexpr const char* kExitCodes = R"(
Exit codes:
  0    success (watch, serve: also when stopped with Ctrl-C)
  1    a library call failed for another reason
  2    bad command line
  3    the library cannot be loaded, its eklv.ini is missing or broken, or
       serve cannot listen on its address
  4    EKLVInitialize failed, or the library is not initialised
  5    no attached device has the id
  6    the interface is absent or could not be opened
  7    a write or read failed, or the phone went away
  8    an AT command was answered with an error
  130  stopped by Ctrl-C or another stop signal)";

}  // namespace

int main(int argc, char** argv) {
    using namespace eklvctl;
    // Before any thread exists: on Linux every thread, the library's too,
    // then leaves the stop signals to the watcher.
    Interrupts::Prepare();

    CLI::App app{std::string("eklvctl: list, watch and talk to the phones that ") + kLibraryFileName + " announces"};
    app.footer(kExitCodes);
    app.require_subcommand(1, 1);
    app.fallthrough();

    CommonOptions common;
    app.add_option("--library", common.library,
                   std::string(kLibraryFileName) + " to load (default: $EKLV_LIBRARY, then beside eklvctl)");
    app.add_flag("--host-fed", common.host_fed,
                 "initialise in host-fed mode: the library watches nothing; report phones with --feed");
    app.add_option("--feed", common.feeds,
                   "host-fed mode: report the arrival of an interface, as DEVICE_ID=SYMBOLIC_NAME (repeatable)")
        ->check([](const std::string& value) -> std::string {
            std::size_t eq = value.find('=');
            if (eq == 0 || eq == std::string::npos || eq + 1 == value.size()) return "expected DEVICE_ID=SYMBOLIC_NAME";
            if (value.find_first_not_of("0123456789") != eq) return "the device id must be a number";
            if (std::stoul(value.substr(0, eq)) > 65535) return "the device id must be 0 to 65535";
            return "";
        });
    app.add_flag("--json", common.json, "machine-readable output (watch: one JSON object per line)");
    app.add_option("--settle", common.settle_ms, "milliseconds without announcements that end the start-up scan")
        ->check(CLI::Range(0, 60000))
        ->capture_default_str();
    app.add_option("--wait", common.wait_s, "seconds to wait for a phone that is not attached yet (at, info)")
        ->check(CLI::Range(0.0, 3600.0))
        ->capture_default_str();

    auto* list = app.add_subcommand("list", "one row per attached phone: device id, TID, USB port, product, "
                                            "interfaces with their COM ports");

    WatchOptions watch_options;
    auto* watch = app.add_subcommand("watch", "print arrivals and removals as they come, until Ctrl-C");
    watch->add_option("--count", watch_options.count, "stop after this many announcements")->check(CLI::NonNegativeNumber);
    watch->add_option("--duration", watch_options.duration_s, "stop after this many seconds")
        ->check(CLI::NonNegativeNumber);

    AtOptions at_options;
    auto* at = app.add_subcommand("at", "open a phone's modem or UART interface, send AT commands, print the answers");
    at->add_option("device", at_options.device_id, "device id")->required()->check(CLI::Range(0, 65535));
    at->add_option("commands", at_options.commands, "AT commands, each sent with a carriage return")->required();
    at->add_option("--interface", at_options.interface,
                   "interface type to open (INF_UART, INF_DATA, ...; default: the phone's modem or UART)")
        ->check([](const std::string& value) -> std::string {
            return ParseInterfaceType(value) ? "" : "not an interface type (INF_DATA, INF_UART, INF_MSD, ...)";
        });
    at->add_option("--baud", at_options.baud, "set this baud rate after opening")->check(CLI::Range(1u, 4000000u));
    at->add_flag("--sync", at_options.sync, "open for blocking transfer instead of with the library's reader thread");
    at->add_option("--timeout", at_options.timeout_s, "seconds to wait for each answer with --sync")
        ->check(CLI::Range(0.1, 600.0))
        ->capture_default_str();

    std::uint32_t info_device = 0;
    auto* info = app.add_subcommand("info", "product string, TID, COM ports and interfaces of one phone");
    info->add_option("device", info_device, "device id")->required()->check(CLI::Range(0, 65535));

    LogOptions log_options;
    auto* log = app.add_subcommand("log", "change the core log's level mask and flush flag (kept in eklv.ini)");
    log->add_option("--level", log_options.level, "level mask: 1 information, 2 warnings, 4 errors (0x7: all)")
        ->required();
    log->add_option("--flush", log_options.flush, "1: write every line at once; 0: buffer (default: as eklv.ini says)")
        ->check(CLI::IsMember({0, 1}));

    auto listen_check = [](const std::string& value) -> std::string {
        std::string address, error;
        std::uint16_t port = 0;
        return ParseListen(value, &address, &port, &error) ? "" : error;
    };
    ServeOptions serve_options;
    auto* serve = app.add_subcommand("serve", "a live view of the station in the browser: controllers, hubs, ports "
                                              "and phones, with arrivals and removals");
    serve->add_option("--listen", serve_options.listen, "ADDRESS:PORT to serve on (port 0: any free port)")
        ->check(listen_check)
        ->capture_default_str();
    serve->add_option("--duration", serve_options.duration_s, "stop after this many seconds (default: at Ctrl-C)")
        ->check(CLI::NonNegativeNumber);

    DemoOptions demo_options;
    auto* demo = app.add_subcommand("demo", "the road of a phone on an emulated USB rig (needs umockdev)");
    demo->add_option("--folder", demo_options.folder, "folder for the library copy, its ini files and log "
                                                      "(default: a new one under $TMPDIR)");
    demo->add_flag("--serve", demo_options.serve, "show the road in the station view, step by step; the view "
                                                  "stays open at the end until Ctrl-C");
    demo->add_option("--listen", demo_options.listen, "ADDRESS:PORT of the station view with --serve")
        ->check(listen_check)
        ->capture_default_str();

    UdevRulesOptions udev_options;
    auto* udev = app.add_subcommand("udev-rules", "write a udev rules file for the phones an eklv.ini supports: "
                                                  "group dialout, mode 0660, ignored by ModemManager");
    udev->add_option("--ini", udev_options.ini, "eklv.ini to read (default: the library's settings folder's)");
    udev->add_option("-o,--output", udev_options.output, "file to write (default: standard output)");

    try {
        app.parse(argc, argv);
        if (!common.feeds.empty() && !common.host_fed) throw CLI::ValidationError("--feed", "needs --host-fed");
        if (serve->parsed() && common.host_fed)
            throw CLI::ValidationError("--host-fed", "serve runs the library in self-monitoring mode");
    } catch (const CLI::ParseError& e) {
        int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }

    if (udev->parsed()) {
        udev_options.library = common.library;
        return RunUdevRules(udev_options);
    }
    if (demo->parsed()) {
        if (int code = PrepareDemo(argc, argv); code != kExitOk) return code;
    }
    Interrupts interrupts;
    if (list->parsed()) return RunList(common, interrupts);
    if (watch->parsed()) return RunWatch(common, watch_options, interrupts);
    if (at->parsed()) return RunAt(common, at_options, interrupts);
    if (info->parsed()) return RunInfo(common, info_device, interrupts);
    if (log->parsed()) return RunLog(common, log_options, interrupts);
    if (serve->parsed()) return RunServe(common, serve_options, interrupts);
    return RunDemo(common, demo_options, interrupts);
}
