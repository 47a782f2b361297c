#include "command_session.h"

#include <cstdlib>
#include <iostream>

#include "station_ini.h"

namespace eklvctl {

int Fail(int code, const std::string& message) {
    std::cerr << "eklvctl: " << message << std::endl;
    return code;
}

int ExitFor(std::uint32_t result) {
    switch (result) {
        case EKLV_OK:
            return kExitOk;
        case EKLV_NO_SUCH_DEVICE:
            return kExitNoDevice;
        case EKLV_OPEN_FAILED:
        case EKLV_NO_SUCH_INTERFACE:
            return kExitNoInterface;
        case EKLV_WRITE_FAILED:
        case EKLV_READ_FAILED:
        case EKLV_INVALID_HANDLE:
            return kExitIo;
        case EKLV_NOT_INITIALIZED:
            return kExitNotStarted;
        default:
            return kExitFailed;
    }
}

int Session::Start(bool check_ini, bool host_fed, bool settle) {
    std::string path = common_.library.empty() ? DefaultLibraryPath() : common_.library;
    std::string error;
    library_ = Library::Load(path, &error);
    if (!library_) return Failed(kExitSetup, error);
    if (check_ini) {
        if (auto problem = CheckStationIni(library_->SettingsFolder())) return Failed(kExitSetup, *problem);
    }
    log_ = std::make_unique<LogTail>(library_->LogFolder());
    host_ = std::make_unique<Host>(*library_, interrupts_, host_fed);
    std::uint32_t r = host_->Initialize();
    if (r != EKLV_OK) return Failed(kExitNotStarted, "EKLVInitialize: " + Explain(Call::kInitialize, r));
    if (host_->ProbeDeviceCalls() == EKLV_NOT_INITIALIZED)
        return Finish(Failed(kExitNotStarted, "EKLVInitialize answered 0, but device calls answer: " +
                                                Explain(Call::kProduct, EKLV_NOT_INITIALIZED)));
    for (const std::string& feed : common_.feeds) {
        std::size_t eq = feed.find('=');
        unsigned long id = std::strtoul(feed.substr(0, eq).c_str(), nullptr, 10);
        std::uint32_t f = host_->FeedArrival(static_cast<std::uint16_t>(id), feed.substr(eq + 1));
        if (f != EKLV_OK)
            return Failed(kExitNotStarted,
                          "EKLVNotification for device " + std::to_string(id) + ": " + Explain(Call::kNotification, f));
    }
    if (settle && !host_->Settle(std::chrono::milliseconds(common_.settle_ms), Clock::now() + kSettleCap))
        return Interrupted();
    return kExitOk;
}

int Session::AwaitDevice(std::uint16_t id) {
    if (host_->Find(id) != nullptr || common_.wait_s <= 0) return kExitOk;
    std::cerr << "eklvctl: waiting up to " << common_.wait_s << " s for device " << id << std::endl;
    Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long long>(common_.wait_s * 1000));
    while (host_->Find(id) == nullptr) {
        InterfaceEvent e;
        Host::Wait w = host_->Next(&e, deadline);
        if (w == Host::Wait::kInterrupted) return Interrupted();
        if (w == Host::Wait::kTimeout) return kExitOk;
    }
    if (!host_->Settle(std::chrono::milliseconds(common_.settle_ms), Clock::now() + kSettleCap))
        return Interrupted();
    return kExitOk;
}

int Session::Interrupted() {
    std::uint32_t r = host_ && host_->initialized() ? host_->Uninitialize() : std::uint32_t{EKLV_OK};
    return Fail(kExitInterrupted, "stopped by " + interrupts_.name() +
                                      "; EKLVUninitialize: " + Explain(Call::kUninitialize, r));
}

int Session::Finish(int code) {
    if (!host_ || !host_->initialized()) return code;
    std::uint32_t r = host_->Uninitialize();
    if (r != EKLV_OK) {
        Fail(kExitFailed, "EKLVUninitialize: " + Explain(Call::kUninitialize, r));
        return code == kExitOk ? kExitFailed : code;
    }
    return code;
}

int Session::Failed(int code, const std::string& message) {
    failure_ = message;
    return Fail(code, message);
}

}  // namespace eklvctl
