// eklvctl demo: the road of a phone on an emulated USB rig, told as a
// transcript. The rig is a umockdev testbed in this process (two root hubs,
// a hub, a composite phone and a single-function phone, their modems
// answered by emulators); the library is a copy of libeklv.so in a folder
// of its own, beside the eklv.ini the demo writes, and it sees the rig
// through libudev like a real USB tree.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>

#include "commands.h"
#include "core_log.h"
#include "host.h"
#include "library.h"
#include "output.h"
#include "station_view.h"
#include "rig/modem_emulator.h"
#include "rig/usb_rig.h"

namespace eklvctl {
namespace {

using eklv::test::ModemEmulator;
using eklv::test::ModemReply;
using eklv::test::RigInterface;
using eklv::test::RigStrings;
using eklv::test::UsbRig;

constexpr std::uint16_t kVendor = 0x6b4d;
constexpr std::uint16_t kPhonePid = 0x2001;  // composite: modem, MTP, vendor data
constexpr std::uint16_t kLitePid = 0x2002;   // one serial function
constexpr std::chrono::seconds kStepLimit{15};
constexpr std::chrono::seconds kViewPause{2};  // after each step, with the view open

constexpr const char* kDemoIni = R"(; eklv.ini written by eklvctl demo (see examples/eklv.ini)
[GUID]
GUID_0=86e0d1e0-8089-11d0-9ce4-08003e301f73 ; COM ports: the phones' serial functions
GUID_1=f18a0e88-c30c-11d0-8815-00a0c906bed8 ; USB hubs, so that port ids follow hub changes
[VID_FILTER]
VID_0=vid_6b4d
[MTK_SMART_PID_FILTER]
PID_LIST=2001,2002
[INF_SETTINGS]
INF_DATA=Modem
INF_UART=UART
[MODEM_PARAMS]
MODEM_CREATE_RETRY=2
MODEM_WAIT=200
[CORE_LOGGING]
Level=0x00000007
Flush=1
)";

constexpr const char* kDemoConnectivityIni = R"(; USBConnectivityConfig.ini written by eklvctl demo
[HISTORY]
when=eklvctl demo
[ROOT_TID]
pci\0000:00:14.0=1
pci\0000:00:1d.0=2
[STATION]
2.1=5,the Norvanta Lite's port
)";

void Heading(int step, const std::string& title) {
    std::cout << "\n== " << step << ". " << title << " ==" << std::endl;
}

void Say(const std::string& text) { std::cout << "  " << text << std::endl; }

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%#x", value);
    return text;
}

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

bool OnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t begin = 0;
    while (begin <= dirs.size()) {
        std::size_t end = dirs.find(':', begin);
        std::string dir = dirs.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    return false;
}

class Demo {
public:
    Demo(const CommonOptions& common, Interrupts& interrupts) : common_(common), interrupts_(interrupts) {}

    int Run(const DemoOptions& options);

private:
    int Fail(int code, const std::string& message) {
        std::cout << "  FAILED: " << message << std::endl;
        std::cerr << "eklvctl: demo: " << message << std::endl;
        return code;
    }

    // The next announcement before deadline, printed and shown in the view;
    // the view's own work is done while waiting.
    Host::Wait Next(Clock::time_point deadline) {
        for (;;) {
            InterfaceEvent e;
            Host::Wait w = host_->Next(&e, view_ ? std::min(deadline, view_->NextTick()) : deadline);
            if (w == Host::Wait::kEvent) {
                Print(e);
                if (view_) view_->Announced(e, *host_);
            }
            if (w == Host::Wait::kTimeout && view_ && Clock::now() < deadline) {
                view_->Tick();
                continue;
            }
            return w;
        }
    }

    // Takes announcements until done() holds (then a short quiet time for
    // stragglers) or the step's time is up; false on time-out or a stop
    // signal.
    bool Await(const std::function<bool()>& done) {
        Clock::time_point deadline = Clock::now() + kStepLimit;
        while (!done())
            if (Next(deadline) != Host::Wait::kEvent) return false;
        Host::Wait w;
        do {
            w = Next(std::min(deadline, Clock::now() + std::chrono::milliseconds(300)));
        } while (w == Host::Wait::kEvent);
        return w == Host::Wait::kTimeout;
    }

    // With the view open, lets a person see the step's outcome; false on a
    // stop signal.
    bool Pause() {
        if (!view_) return true;
        return Next(Clock::now() + kViewPause) == Host::Wait::kTimeout;
    }

    void Print(const InterfaceEvent& e) {
        std::string name = e.name.empty() ? "" : "\n      " + e.name;
        Say((e.arrival ? "WM_ZORVAN_INTERFACE_ARRIVAL  device " : "WM_ZORVAN_INTERFACE_REMOVAL  device ") +
            std::to_string(e.device_id) + "  " + InterfaceTypeName(e.type) + "  \"" + e.product + "\"" + name);
    }

    const Device* FindProduct(const std::string& product) const {
        for (const auto& [id, device] : host_->devices())
            if (device.product == product) return &device;
        return nullptr;
    }

    int Interrupted() {
        if (view_) view_->Stopped("stopped by a signal");
        std::uint32_t r = host_ && host_->initialized() ? host_->Uninitialize() : std::uint32_t{EKLV_OK};
        std::cout << "\n  stopped by a signal; EKLVUninitialize -> " << r << std::endl;
        return kExitInterrupted;
    }

    int Talk(std::uint16_t id, std::uint32_t type);

    const CommonOptions& common_;
    Interrupts& interrupts_;
    std::unique_ptr<StationView> view_;  // with --serve
    // Destroyed in reverse: the library stops before its rig goes away.
    std::unique_ptr<UsbRig> rig_;
    std::vector<std::unique_ptr<ModemEmulator>> modems_;
    std::unique_ptr<Library> library_;
    std::unique_ptr<LogTail> log_;
    std::unique_ptr<Host> host_;
};

int Demo::Talk(std::uint16_t id, std::uint32_t type) {
    EKLV_HANDLE handle = EKLV_INVALID_HANDLE_VALUE;
    std::uint32_t r = library_->OpenDevice(id, type, &handle, 0);
    if (r == EKLV_OK && view_) view_->SetOpen(id, type, true);
    Say("EKLVOpenDevice(" + std::to_string(id) + ", " + InterfaceTypeName(type) + ", overlapped) -> " +
        std::to_string(r) + (r == EKLV_OK ? ", handle " + Hex(static_cast<std::uint32_t>(handle)) : ""));
    if (r != EKLV_OK) return Fail(kExitNoInterface, "open: " + Explain(Call::kOpen, r, id));
    int exit = kExitOk;
    for (const char* command : {"ATI", "AT+CGMI"}) {
        std::string line = std::string(command) + "\r";
        r = library_->WriteData(id, handle, line.data(), static_cast<std::uint32_t>(line.size()));
        if (r != EKLV_OK) {
            exit = Fail(kExitIo, std::string(command) + ": " + Explain(Call::kWrite, r, id));
            break;
        }
        std::vector<char> buffer(4096);
        std::uint32_t length = static_cast<std::uint32_t>(buffer.size() - 1);
        r = library_->ReadData(id, handle, buffer.data(), &length);
        if (r != EKLV_OK) {
            exit = Fail(kExitIo, std::string(command) + ": " + Explain(Call::kRead, r, id));
            break;
        }
        std::string response(buffer.data(), std::min<std::size_t>(length, buffer.size() - 1));
        Say("> " + std::string(command));
        for (const std::string& l : ResponseLines(response)) Say("  " + l);
        if (FinalResult(response) != "OK") exit = Fail(kExitAtError, std::string(command) + " was not answered OK");
    }
    if (view_) Pause();  // the interface shows as open meanwhile
    r = library_->CloseDevice(id, type);
    if (view_) view_->SetOpen(id, type, false);
    Say("EKLVCloseDevice(" + std::to_string(id) + ", " + InterfaceTypeName(type) + ") -> " + std::to_string(r));
    if (r != EKLV_OK && exit == kExitOk) exit = Fail(kExitFailed, "close: " + Explain(Call::kClose, r, id));
    return exit;
}

int Demo::Run(const DemoOptions& options) {
    // The station: a folder with a copy of the library and its eklv.ini,
    // and the shared configuration below EKLV_COMMON_APPDATA.
    std::string source = common_.library.empty() ? DefaultLibraryPath() : common_.library;
    if (source.find('/') == std::string::npos || access(source.c_str(), R_OK) != 0)
        return Fail(kExitSetup, "cannot find libeklv.so (" + source + "); give --library PATH");
    std::string folder = options.folder;
    if (folder.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/eklv-demo-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) return Fail(kExitSetup, "cannot make a folder under " + pattern);
        folder = pattern;
    }
    std::error_code ec;
    std::string shared = folder + "/appdata/Common Files/Norvanta Shared/KVTSDK";
    std::filesystem::create_directories(shared, ec);
    std::filesystem::copy_file(source, folder + "/libeklv.so", std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) return Fail(kExitSetup, "cannot copy " + source + " to " + folder + ": " + ec.message());
    if (!WriteFile(folder + "/eklv.ini", kDemoIni) ||
        !WriteFile(shared + "/USBConnectivityConfig.ini", kDemoConnectivityIni))
        return Fail(kExitSetup, "cannot write the ini files in " + folder);
    setenv("EKLV_COMMON_APPDATA", (folder + "/appdata").c_str(), 1);

    std::cout << "eklv demo: the road of a phone, on an emulated USB rig\n"
              << "  library  " << folder << "/libeklv.so (a copy, beside the demo's eklv.ini)\n"
              << "  shared   " << shared << "/USBConnectivityConfig.ini" << std::endl;
    if (options.serve) {
        view_ = std::make_unique<StationView>();
        std::string error;
        if (!view_->Listen(options.listen, &error)) return Fail(kExitSetup, error);
        view_->Start();
        view_->Starting(folder + "/libeklv.so");
        std::cout << "  view     " << view_->Url() << " (each step waits " << kViewPause.count()
                  << " s for the view)" << std::endl;
    }

    Heading(1, "The rig");
    rig_ = std::make_unique<UsbRig>();
    UsbRig& rig = *rig_;
    RigStrings phone_strings;
    phone_strings.product = "Norvanta Phone";
    RigStrings lite_strings;
    lite_strings.product = "Norvanta Lite";
    lite_strings.serial = "LITE0001";
    auto pci1 = rig.AddPciController("0000:00:14.0");
    auto root1 = rig.AddRootHub(pci1, 1);
    auto hub = rig.AddHub(root1, 3);
    auto pci2 = rig.AddPciController("0000:00:1d.0");
    auto root2 = rig.AddRootHub(pci2, 2, 2);
    rig.AddSinglePhone(root2, 1, kVendor, kLitePid, RigInterface::Serial("ttyUSB1", "Norvanta UART"), lite_strings);
    modems_.push_back(std::make_unique<ModemEmulator>(rig.TtyFd("ttyUSB1")));
    Say("pci 0000:00:14.0 -- usb1 (root hub, root TID 1)");
    Say("                      port 3: USB2.0 Hub 1-3");
    Say("                        port 2: free for now: the Norvanta Phone goes here");
    Say("pci 0000:00:1d.0 -- usb2 (root hub, root TID 2)");
    Say("                      port 1: Norvanta Lite 6b4d:2002, one serial function (ttyUSB1)");
    Say("USBConnectivityConfig.ini gives port 2.1 device id 5; other ports get the lowest free id.");

    Heading(2, "Start-up scan");
    std::string error;
    library_ = Library::Load(folder + "/libeklv.so", &error);
    if (!library_) return Fail(kExitSetup, error);
    log_ = std::make_unique<LogTail>(folder);
    host_ = std::make_unique<Host>(*library_, interrupts_, false);
    std::uint32_t r = host_->Initialize();
    Say("EKLVInitialize(self-monitoring, host window, callback) -> " + std::to_string(r));
    if (r != EKLV_OK) return Fail(kExitNotStarted, "EKLVInitialize: " + Explain(Call::kInitialize, r));
    if (host_->ProbeDeviceCalls() == EKLV_NOT_INITIALIZED)
        return Fail(kExitNotStarted, "EKLVInitialize answered 0, but device calls answer: " +
                                         Explain(Call::kProduct, EKLV_NOT_INITIALIZED) +
                                         "; this libeklv.so cannot run the demo yet");
    if (view_) view_->Running(*library_, *log_);
    if (!Await([&] { return FindProduct("Norvanta Lite") != nullptr; }))
        return interrupts_.requested() ? Interrupted()
                                       : Fail(kExitFailed, "the Norvanta Lite was not announced by the start-up scan");
    if (!Pause()) return Interrupted();

    Heading(3, "A phone is plugged in (hub 1-3, port 2)");
    auto phone = rig.AddCompositePhone(
        hub, 2, kVendor, kPhonePid,
        {RigInterface::Modem("ttyACM0", "Norvanta Modem"), RigInterface::Mtp(), RigInterface::Data()}, phone_strings);
    auto& modem = modems_.emplace_back(std::make_unique<ModemEmulator>(rig.TtyFd("ttyACM0")));
    modem->Answer("ATI", ModemReply::Text("\r\nNorvanta Phone N1\r\nRevision: N1_1.0.4\r\n\r\nOK\r\n"));
    modem->Answer("AT+CGMI", ModemReply::Text("\r\nNorvanta\r\n\r\nOK\r\n"));
    if (!Await([&] { return FindProduct("Norvanta Phone") != nullptr; }))
        return interrupts_.requested() ? Interrupted()
                                       : Fail(kExitFailed, "the Norvanta Phone's modem was not announced");
    const Device* plugged = FindProduct("Norvanta Phone");
    const std::uint16_t id = plugged->id;
    const std::uint32_t type = plugged->interfaces.front().type;
    auto tids = log_->Tids();
    std::string tid = tids.count(id) ? tids[id] : "";
    Say("device id " + std::to_string(id) + (tid.empty() ? "" : " for TID " + tid + " (from the core log)") +
        "; MTP and the data interface have no serial port, so only the modem is announced");
    if (!Pause()) return Interrupted();

    Heading(4, "ATI and AT+CGMI");
    if (int code = Talk(id, type); code != kExitOk) return code;

    Heading(5, "COM ports and product strings");
    for (const auto& [device_id, device] : host_->devices()) {
        for (const Interface& i : device.interfaces) {
            EKLVString port;
            EKLVStringInit(&port);
            r = library_->GetComPort(device_id, i.type, &port);
            Say("EKLVGetComPort(" + std::to_string(device_id) + ", " + InterfaceTypeName(i.type) + ") -> " +
                std::to_string(r) + ": " + EKLVStringGet(&port));
            EKLVStringFree(&port);
            if (r != EKLV_OK) return Fail(kExitFailed, "COM port: " + Explain(Call::kComPort, r, device_id));
        }
        EKLVString product;
        EKLVStringInit(&product);
        r = library_->GetProductStringDescriptor(device_id, &product);
        Say("EKLVGetProductStringDescriptor(" + std::to_string(device_id) + ") -> " + std::to_string(r) + ": " +
            EKLVStringGet(&product));
        EKLVStringFree(&product);
        if (r != EKLV_OK) return Fail(kExitFailed, "product string: " + Explain(Call::kProduct, r, device_id));
    }

    Heading(6, "The phone is pulled out");
    rig.Unplug(phone);
    if (!Await([&] { return host_->Find(id) == nullptr; }))
        return interrupts_.requested() ? Interrupted()
                                       : Fail(kExitFailed, "the removal of device " + std::to_string(id) +
                                                               " was not announced");
    EKLVString gone;
    EKLVStringInit(&gone);
    r = library_->GetProductStringDescriptor(id, &gone);
    EKLVStringFree(&gone);
    Say("EKLVGetProductStringDescriptor(" + std::to_string(id) + ") -> " + std::to_string(r) + ": " +
        ResultMeaning(Call::kProduct, r));
    if (!Pause()) return Interrupted();

    Heading(7, "Plugged into the same port again");
    rig.Plug(phone);
    if (!Await([&] { return FindProduct("Norvanta Phone") != nullptr; }))
        return interrupts_.requested() ? Interrupted()
                                       : Fail(kExitFailed, "the phone was not announced again after re-plugging");
    const std::uint16_t again = FindProduct("Norvanta Phone")->id;
    if (again != id)
        return Fail(kExitFailed, "the same port gave device id " + std::to_string(again) + ", not " + std::to_string(id));
    Say("same port, same device id: " + std::to_string(again));
    if (view_) {
        Say("the road is done; the station view stays at " + view_->Url() + " until Ctrl-C");
        while (Next(Clock::time_point::max()) != Host::Wait::kInterrupted) {
        }
    }

    Heading(8, "Shut down");
    if (view_) view_->Stopped("the demo is over");
    r = host_->Uninitialize();
    Say("EKLVUninitialize() -> " + std::to_string(r));
    std::string log_file = log_->NewestFile();
    std::cout << "\nlog: " << (log_file.empty() ? "(none written)" : log_file) << "\n"
              << "the demo's files stay in " << folder << " (remove it when done)" << std::endl;
    return r == EKLV_OK ? kExitOk : kExitFailed;
}

}  // namespace

int PrepareDemo(int argc, char** argv) {
    const char* preload = std::getenv("LD_PRELOAD");
    bool mocked = preload != nullptr && std::string(preload).find("libumockdev-preload") != std::string::npos;
    if (!mocked && !OnPath("umockdev-wrapper")) {
        std::cerr << "eklvctl: the demo needs umockdev-wrapper (Debian package umockdev)" << std::endl;
        return kExitSetup;
    }
    eklv::test::RunUnderUmockdev(argc, argv);
    return kExitOk;
}

int RunDemo(const CommonOptions& common, const DemoOptions& options, Interrupts& interrupts) {
    Demo demo(common, interrupts);
    try {
        return demo.Run(options);
    } catch (const std::exception& e) {
        std::cerr << "eklvctl: demo: the rig failed: " << e.what() << std::endl;
        return kExitSetup;
    }
}

}  // namespace eklvctl
