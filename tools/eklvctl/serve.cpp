// eklvctl serve: the library in self-monitoring mode, shown as a live
// station view in the browser (station_view.h) until Ctrl-C.
#include <algorithm>
#include <iostream>

#include "command_session.h"
#include "commands.h"
#include "station_ini.h"
#include "station_view.h"
#include "system.h"

namespace eklvctl {
namespace {

constexpr std::uint32_t kStopMessage = kFirstPrivateMessage + 2;

// Waits for a stop request or the deadline on a window of its own: the
// view stays up to say why the library is not running.
void AwaitStop(Interrupts& interrupts, Clock::time_point deadline) {
    MessageWindow window;
    interrupts.NotifyWindow(window.handle(), kStopMessage);
    while (!interrupts.requested() && Clock::now() < deadline) {
        WindowMessage message;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (window.Next(&message, static_cast<std::uint32_t>(std::clamp<long long>(left, 1, 1000))) ==
            MessageWindow::Got::kBroken)
            break;
    }
    interrupts.NotifyWindow(0, 0);
}

}  // namespace

int RunServe(const CommonOptions& common, const ServeOptions& options, Interrupts& interrupts) {
    StationView view;
    std::string error;
    if (!view.Listen(options.listen, &error)) return Fail(kExitSetup, error);
    view.Start();
    std::cerr << "eklvctl: station view on " << view.Url() << " (Ctrl-C to stop)" << std::endl;
    if (!view.loopback())
        std::cerr << "eklvctl: " << options.listen << " is not a loopback address: anyone who reaches this machine "
                  << "can see the station (read-only)" << std::endl;
    const Clock::time_point end =
        options.duration_s > 0 ? Clock::now() + std::chrono::milliseconds(static_cast<long long>(options.duration_s * 1000))
                               : Clock::time_point::max();

    view.Starting(common.library.empty() ? DefaultLibraryPath() : common.library);
    Session session(common, interrupts);
    if (int code = session.Start(true, common.host_fed, false); code != kExitOk) {
        if (code == kExitInterrupted) return code;
        view.Failed(session.failure());
        AwaitStop(interrupts, end);
        return code;
    }
    if (auto ini = IniFile::Load(session.library().SettingsFolder() + "/eklv.ini")) {
        if (auto problem = TopologyLogProblem(*ini)) {
            std::cerr << "eklvctl: " << *problem << std::endl;
            view.Warn(*problem);
        }
    }
    view.Running(session.library(), session.log());

    Host& host = session.host();
    for (;;) {
        InterfaceEvent e;
        Host::Wait w = host.Next(&e, std::min(end, view.NextTick()));
        if (w == Host::Wait::kEvent) {
            view.Announced(e, host);
        } else if (w == Host::Wait::kInterrupted) {
            view.Stopped("stopped by " + interrupts.name());
            std::uint32_t r = host.Uninitialize();
            view.Stop();
            Fail(kExitOk, "stopped by " + interrupts.name() + "; EKLVUninitialize: " + Explain(Call::kUninitialize, r));
            return r == EKLV_OK ? kExitOk : kExitFailed;
        } else if (Clock::now() >= end) {
            break;
        } else {
            view.Tick();
        }
    }
    view.Stopped("served for the --duration");
    int code = session.Finish(kExitOk);
    view.Stop();
    return code;
}

}  // namespace eklvctl
