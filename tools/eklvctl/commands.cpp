#include "commands.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>

#include "host.h"
#include "system.h"
#include "library.h"
#include "output.h"
#include "station_ini.h"

namespace eklvctl {
namespace {

// The longest the start-up scan may keep announcing before a command goes
// on with what it has.
constexpr std::chrono::seconds kSettleCap{30};

int Fail(int code, const std::string& message) {
    std::cerr << "eklvctl: " << message << std::endl;
    return code;
}

// Maps a device call's result to the exit code a script sees.
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

std::string TypeList(const Device& device) {
    std::string text;
    for (const Interface& i : device.interfaces) text += (text.empty() ? "" : ", ") + InterfaceTypeName(i.type);
    return text;
}

std::string TextOf(EKLVString* s) {
    std::string text = EKLVStringGet(s);
    EKLVStringFree(s);
    return text;
}

// The library loaded and started as a command needs it.
class Session {
public:
    Session(const CommonOptions& common, Interrupts& interrupts) : common_(common), interrupts_(interrupts) {}
    ~Session() { host_.reset(); }

    // Loads the library, checks eklv.ini (check_ini), initialises it (in
    // host-fed mode when host_fed), feeds the --feed arrivals and, unless
    // settle is false, takes the start-up announcements. kExitOk, or the
    // exit code after its message.
    int Start(bool check_ini, bool host_fed, bool settle) {
        std::string path = common_.library.empty() ? DefaultLibraryPath() : common_.library;
        std::string error;
        library_ = Library::Load(path, &error);
        if (!library_) return Fail(kExitSetup, error);
        if (check_ini) {
            if (auto problem = CheckStationIni(library_->SettingsFolder())) return Fail(kExitSetup, *problem);
        }
        log_ = std::make_unique<LogTail>(library_->LogFolder());
        host_ = std::make_unique<Host>(*library_, interrupts_, host_fed);
        std::uint32_t r = host_->Initialize();
        if (r != EKLV_OK) return Fail(kExitNotStarted, "EKLVInitialize: " + Explain(Call::kInitialize, r));
        if (host_->ProbeDeviceCalls() == EKLV_NOT_INITIALIZED)
            return Finish(Fail(kExitNotStarted, "EKLVInitialize answered 0, but device calls answer: " +
                                                    Explain(Call::kProduct, EKLV_NOT_INITIALIZED)));
        for (const std::string& feed : common_.feeds) {
            std::size_t eq = feed.find('=');
            unsigned long id = std::strtoul(feed.substr(0, eq).c_str(), nullptr, 10);
            std::uint32_t f = host_->FeedArrival(static_cast<std::uint16_t>(id), feed.substr(eq + 1));
            if (f != EKLV_OK)
                return Fail(kExitNotStarted,
                            "EKLVNotification for device " + std::to_string(id) + ": " + Explain(Call::kNotification, f));
        }
        if (settle && !host_->Settle(std::chrono::milliseconds(common_.settle_ms), Clock::now() + kSettleCap))
            return Interrupted();
        return kExitOk;
    }

    // Waits up to --wait for a phone with id to be announced, then for the
    // rest of its interfaces. kExitOk also when it never comes: the library
    // has the last word on that.
    int AwaitDevice(std::uint16_t id) {
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

    // Uninitialises the library after a stop signal; kExitInterrupted.
    int Interrupted() {
        std::uint32_t r = host_ && host_->initialized() ? host_->Uninitialize() : std::uint32_t{EKLV_OK};
        return Fail(kExitInterrupted, "stopped by " + interrupts_.name() +
                                          "; EKLVUninitialize: " + Explain(Call::kUninitialize, r));
    }

    // Uninitialises the library; code, or kExitFailed when that fails.
    int Finish(int code) {
        if (!host_ || !host_->initialized()) return code;
        std::uint32_t r = host_->Uninitialize();
        if (r != EKLV_OK) {
            Fail(kExitFailed, "EKLVUninitialize: " + Explain(Call::kUninitialize, r));
            return code == kExitOk ? kExitFailed : code;
        }
        return code;
    }

    Host& host() { return *host_; }
    Library& library() { return *library_; }
    LogTail& log() { return *log_; }
    bool interrupted() const { return interrupts_.requested(); }

private:
    const CommonOptions& common_;
    Interrupts& interrupts_;
    std::unique_ptr<Library> library_;
    std::unique_ptr<LogTail> log_;
    std::unique_ptr<Host> host_;
};

struct PortAnswer {
    std::uint32_t result = EKLV_OK;
    std::string port;
};

PortAnswer ComPort(Library& library, std::uint16_t id, std::uint32_t type) {
    EKLVString s;
    EKLVStringInit(&s);
    PortAnswer a;
    a.result = library.GetComPort(id, type, &s);
    a.port = TextOf(&s);
    return a;
}

std::string EventLine(const InterfaceEvent& e) {
    std::ostringstream line;
    line << ClockTime(e.when) << "  " << (e.arrival ? "arrival" : "removal") << "  device " << e.device_id << "  "
         << InterfaceTypeName(e.type) << "  " << (e.product.empty() ? "-" : e.product);
    std::string port = PortFromName(e.name);
    if (!port.empty()) line << "  port " << port;
    return line.str();
}

std::string EventJson(const InterfaceEvent& e) {
    std::ostringstream j;
    j << "{\"time\":" << Json(ClockTime(e.when)) << ",\"event\":" << Json(e.arrival ? "arrival" : "removal")
      << ",\"device_id\":" << e.device_id << ",\"type\":" << Json(InterfaceTypeName(e.type))
      << ",\"type_code\":" << e.type << ",\"product\":" << Json(e.product) << ",\"name\":" << Json(e.name)
      << ",\"port\":" << Json(PortFromName(e.name)) << "}";
    return j.str();
}

}  // namespace

int RunList(const CommonOptions& common, Interrupts& interrupts) {
    Session session(common, interrupts);
    if (int code = session.Start(true, common.host_fed, true); code != kExitOk) return code;
    Library& library = session.library();
    std::map<std::uint16_t, std::string> tids = session.log().Tids();
    const std::map<std::string, std::string> roots = session.log().RootTids();

    struct Row {
        const Device* device;
        std::string tid;
        std::string port;
        std::vector<PortAnswer> ports;
        std::string product;
    };
    std::vector<Row> rows;
    // Host-fed announcements carry no product string: ask for it.
    std::map<std::uint16_t, std::string> products;
    for (const auto& [id, device] : session.host().devices()) {
        if (!device.product.empty()) continue;
        EKLVString s;
        EKLVStringInit(&s);
        if (library.GetProductStringDescriptor(id, &s) == EKLV_OK) products[id] = EKLVStringGet(&s);
        EKLVStringFree(&s);
    }
    for (const auto& [id, device] : session.host().devices()) {
        Row row{&device, tids.count(id) ? tids[id] : "", "", {}, products.count(id) ? products[id] : device.product};
        for (const Interface& i : device.interfaces) {
            row.ports.push_back(ComPort(library, id, i.type));
            if (row.port.empty()) row.port = PortFromName(i.name);
        }
        rows.push_back(std::move(row));
    }

    if (common.json) {
        std::ostringstream j;
        j << "{\"devices\":[";
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const Device& d = *rows[r].device;
            j << (r ? "," : "") << "{\"device_id\":" << d.id << ",\"tid\":"
              << (rows[r].tid.empty() ? "null" : Json(rows[r].tid)) << ",\"port\":" << Json(rows[r].port)
              << ",\"product\":" << Json(rows[r].product) << ",\"product_id\":" << Json(d.product_id)
              << ",\"interfaces\":[";
            for (std::size_t i = 0; i < d.interfaces.size(); ++i) {
                const PortAnswer& p = rows[r].ports[i];
                j << (i ? "," : "") << "{\"type\":" << Json(InterfaceTypeName(d.interfaces[i].type))
                  << ",\"type_code\":" << d.interfaces[i].type << ",\"com_port\":"
                  << (p.result == EKLV_OK ? Json(p.port) : "null") << ",\"com_port_result\":" << p.result
                  << ",\"name\":" << Json(d.interfaces[i].name) << "}";
            }
            j << "]}";
        }
        j << "],\"controllers\":[";
        for (auto c = roots.begin(); c != roots.end(); ++c)
            j << (c != roots.begin() ? "," : "") << "{\"controller\":" << Json(c->first)
              << ",\"root_tid\":" << Json(c->second) << "}";
        j << "]}";
        std::cout << j.str() << std::endl;
    } else if (rows.empty()) {
        std::cout << "no phones attached" << std::endl;
    } else {
        std::vector<std::vector<std::string>> table = {{"DEVICE", "TID", "PORT", "PRODUCT", "INTERFACES"}};
        for (const Row& row : rows) {
            std::string interfaces;
            for (std::size_t i = 0; i < row.device->interfaces.size(); ++i) {
                const PortAnswer& p = row.ports[i];
                interfaces += (i ? ", " : "") + InterfaceTypeName(row.device->interfaces[i].type) + " " +
                              (p.result == EKLV_OK ? p.port : "(no COM port, result " + std::to_string(p.result) + ")");
            }
            table.push_back({std::to_string(row.device->id), row.tid.empty() ? "-" : row.tid,
                             row.port.empty() ? "-" : row.port,
                             row.product.empty() ? "-" : row.product, interfaces});
        }
        std::vector<std::size_t> width(5, 0);
        for (const auto& line : table)
            for (std::size_t c = 0; c < line.size(); ++c) width[c] = std::max(width[c], line[c].size());
        for (const auto& line : table) {
            std::string text;
            for (std::size_t c = 0; c < line.size(); ++c)
                text += c + 1 < line.size() ? line[c] + std::string(width[c] - line[c].size() + 2, ' ') : line[c];
            std::cout << text << "\n";
        }
        for (const auto& [controller, tid] : roots) std::cout << "controller " << controller << ": root TID " << tid << "\n";
        std::cout.flush();
    }
    return session.Finish(kExitOk);
}

int RunWatch(const CommonOptions& common, const WatchOptions& options, Interrupts& interrupts) {
    Session session(common, interrupts);
    if (int code = session.Start(true, common.host_fed, false); code != kExitOk) return code;
    std::cerr << "eklvctl: watching for arrivals and removals (Ctrl-C to stop)" << std::endl;
    Clock::time_point deadline =
        options.duration_s > 0 ? Clock::now() + std::chrono::milliseconds(static_cast<long long>(options.duration_s * 1000))
                               : Clock::now() + std::chrono::hours(24 * 365);
    int seen = 0;
    for (;;) {
        InterfaceEvent e;
        Host::Wait w = session.host().Next(&e, deadline);
        if (w == Host::Wait::kTimeout) break;
        if (w == Host::Wait::kInterrupted) {
            std::uint32_t r = session.host().Uninitialize();
            std::cerr << "eklvctl: stopped by " << interrupts.name()
                      << "; EKLVUninitialize: " << Explain(Call::kUninitialize, r) << std::endl;
            return r == EKLV_OK ? kExitOk : kExitFailed;
        }
        std::cout << (common.json ? EventJson(e) : EventLine(e)) << std::endl;
        if (options.count > 0 && ++seen >= options.count) break;
    }
    return session.Finish(kExitOk);
}

int RunAt(const CommonOptions& common, const AtOptions& options, Interrupts& interrupts) {
    Session session(common, interrupts);
    if (int code = session.Start(true, common.host_fed, true); code != kExitOk) return code;
    const auto id = static_cast<std::uint16_t>(options.device_id);
    if (int code = session.AwaitDevice(id); code != kExitOk) return code;
    Library& library = session.library();
    Host& host = session.host();

    // The interface: as asked, else the phone's first modem or UART
    // interface (the first to arrive is the one its session holds).
    std::uint32_t type = INF_UART;
    const Device* device = host.Find(id);
    if (!options.interface.empty()) {
        type = *ParseInterfaceType(options.interface);
    } else if (device != nullptr) {
        for (const Interface& i : device->interfaces) {
            if (i.type == INF_DATA || i.type == INF_UART) {
                type = i.type;
                break;
            }
        }
    }
    const std::string type_name = InterfaceTypeName(type);

    EKLV_HANDLE handle = EKLV_INVALID_HANDLE_VALUE;
    std::uint32_t r = library.OpenDevice(id, type, &handle, options.sync ? 1 : 0);
    if (r != EKLV_OK) {
        std::string message = "EKLVOpenDevice(" + std::to_string(id) + ", " + type_name + "): " +
                              Explain(Call::kOpen, r, id);
        if (r != EKLV_NO_SUCH_DEVICE && device != nullptr && !device->Has(type))
            message += "; device " + std::to_string(id) + " has no " + type_name + " interface (it has " +
                       TypeList(*device) + ")";
        return session.Finish(Fail(ExitFor(r), message));
    }
    if (options.baud != 0) {
        std::uint32_t rate = options.baud;
        r = library.SetBaudRate(id, type, &rate);
        if (r != EKLV_OK) {
            library.CloseDevice(id, type);
            return session.Finish(Fail(ExitFor(r), "EKLVSetBaudRate(" + std::to_string(options.baud) +
                                                       "): " + Explain(Call::kBaudRate, r, id)));
        }
    }

    int exit = kExitOk;
    std::string failure;
    std::ostringstream json;
    json << "{\"device_id\":" << id << ",\"interface\":" << Json(type_name) << ",\"responses\":[";
    for (std::size_t n = 0; n < options.commands.size() && failure.empty(); ++n) {
        if (session.interrupted()) break;
        const std::string& command = options.commands[n];
        std::string line = command + "\r";
        r = library.WriteData(id, handle, line.data(), static_cast<std::uint32_t>(line.size()));
        if (r != EKLV_OK) {
            failure = "EKLVWriteData(" + command + "): " + Explain(Call::kWrite, r, id);
            exit = ExitFor(r);
            break;
        }
        std::string response;
        std::vector<char> buffer(options.sync ? 512 : 65536);
        Clock::time_point deadline =
            Clock::now() + std::chrono::milliseconds(static_cast<long long>(options.timeout_s * 1000));
        do {
            std::uint32_t length = static_cast<std::uint32_t>(buffer.size() - 1);
            r = library.ReadData(id, handle, buffer.data(), &length);
            if (r != EKLV_OK) break;
            response.append(buffer.data(), std::min<std::size_t>(length, buffer.size() - 1));
            // An overlapped read answers with a whole response; a blocking
            // one with what came within the port's time-outs.
        } while (options.sync && FinalResult(response).empty() && Clock::now() < deadline &&
                 !session.interrupted());
        if (r != EKLV_OK) {
            failure = "EKLVReadData(" + command + "): " + Explain(Call::kRead, r, id);
            exit = ExitFor(r);
            break;
        }
        std::string final_result = FinalResult(response);
        if (common.json) {
            json << (n ? "," : "") << "{\"command\":" << Json(command) << ",\"response\":" << Json(response)
                 << ",\"final\":" << Json(final_result) << "}";
        } else {
            std::cout << "> " << command << "\n";
            for (const std::string& l : ResponseLines(response)) std::cout << l << "\n";
            std::cout.flush();
        }
        if (final_result.empty()) {
            failure = command + ": no final result code within " + std::to_string(options.timeout_s) + " s";
            exit = kExitIo;
        } else if (IsErrorResult(final_result) && exit == kExitOk) {
            exit = kExitAtError;
        }
    }
    json << "]}";
    if (common.json) std::cout << json.str() << std::endl;

    std::uint32_t closed = library.CloseDevice(id, type);
    if (!failure.empty()) {
        // Say so when the phone went away meanwhile: its removal is queued
        // (and closing it then answers 3, which tells nothing new).
        host.Settle(std::chrono::milliseconds(300), Clock::now() + std::chrono::seconds(2));
        if (host.Find(id) == nullptr || !host.Find(id)->Has(type))
            failure = "device " + std::to_string(id) + " went away (" + type_name + " removed); " + failure;
        Fail(exit, failure);
    } else if (closed != EKLV_OK) {
        Fail(kExitFailed, "EKLVCloseDevice(" + std::to_string(id) + ", " + type_name +
                              "): " + Explain(Call::kClose, closed, id));
        if (exit == kExitOk) exit = kExitFailed;
    }
    if (session.interrupted()) return session.Interrupted();
    if (exit == kExitAtError) Fail(exit, "a command was answered with an error");
    return session.Finish(exit);
}

int RunInfo(const CommonOptions& common, std::uint32_t device_id, Interrupts& interrupts) {
    Session session(common, interrupts);
    if (int code = session.Start(true, common.host_fed, true); code != kExitOk) return code;
    const auto id = static_cast<std::uint16_t>(device_id);
    if (int code = session.AwaitDevice(id); code != kExitOk) return code;
    Library& library = session.library();

    EKLVString s;
    EKLVStringInit(&s);
    std::uint32_t r = library.GetProductStringDescriptor(id, &s);
    std::string product = TextOf(&s);
    if (r != EKLV_OK)
        return session.Finish(Fail(ExitFor(r), "EKLVGetProductStringDescriptor(" + std::to_string(id) +
                                                   "): " + Explain(Call::kProduct, r, id)));
    const Device* device = session.host().Find(id);
    std::vector<Interface> interfaces = device ? device->interfaces : std::vector<Interface>{};
    std::string tid;
    if (auto tids = session.log().Tids(); tids.count(id)) tid = tids[id];
    std::string port;
    for (const Interface& i : interfaces)
        if (port.empty()) port = PortFromName(i.name);

    std::ostringstream out;
    if (common.json) {
        out << "{\"device_id\":" << id << ",\"product\":" << Json(product)
            << ",\"product_id\":" << Json(device ? device->product_id : "")
            << ",\"tid\":" << (tid.empty() ? "null" : Json(tid)) << ",\"port\":" << Json(port) << ",\"interfaces\":[";
    } else {
        out << "device " << id << "\n  product     " << product << "\n";
        if (device && !device->product_id.empty()) out << "  product id  " << device->product_id << "\n";
        out << "  TID         " << (tid.empty() ? "- (the core log shows it at level 1)" : tid) << "\n";
        if (!port.empty()) out << "  USB port    " << port << "\n";
        out << "  interfaces  " << interfaces.size() << "\n";
    }
    for (std::size_t n = 0; n < interfaces.size(); ++n) {
        const Interface& i = interfaces[n];
        PortAnswer p = ComPort(library, id, i.type);
        std::string number;
        if (std::size_t mi = i.name.find("&mi_"); mi != std::string::npos) number = i.name.substr(mi + 4, 2);
        if (common.json) {
            out << (n ? "," : "") << "{\"type\":" << Json(InterfaceTypeName(i.type)) << ",\"type_code\":" << i.type
                << ",\"com_port\":" << (p.result == EKLV_OK ? Json(p.port) : "null")
                << ",\"com_port_result\":" << p.result << ",\"name\":" << Json(i.name)
                << ",\"class\":" << Json(i.class_guid) << ",\"interface_number\":" << Json(number) << "}";
        } else {
            out << "  " << InterfaceTypeName(i.type) << "\n    COM port   "
                << (p.result == EKLV_OK ? p.port : Explain(Call::kComPort, p.result)) << "\n";
            if (!i.name.empty()) out << "    name       " << i.name << "\n";
            if (!i.class_guid.empty()) out << "    class      " << i.class_guid << "\n";
            if (!number.empty()) out << "    interface  " << number << " (USB interface number, hex)\n";
        }
    }
    if (common.json) out << "]}";
    std::cout << out.str() << std::endl;
    return session.Finish(kExitOk);
}

int RunLog(const CommonOptions& common, const LogOptions& options, Interrupts& interrupts) {
    char* end = nullptr;
    unsigned long level = std::strtoul(options.level.c_str(), &end, 0);
    if (options.level.empty() || *end != '\0' || level > 0xFFFFFFFFul)
        return Fail(kExitUsage, "--level " + options.level + " is not a number (a mask: 1 information, 2 warnings, 4 errors)");
    Session session(common, interrupts);
    // Host-fed: changing the log needs no scan of the phones.
    if (int code = session.Start(false, true, false); code != kExitOk) return code;
    std::string ini_path = session.library().SettingsFolder() + "/eklv.ini";
    std::uint32_t flush = 1;
    if (options.flush >= 0) {
        flush = static_cast<std::uint32_t>(options.flush);
    } else if (auto ini = IniFile::Load(ini_path)) {
        if (auto value = ini->Get("CORE_LOGGING", "Flush"); value && !value->empty())
            flush = static_cast<std::uint32_t>(std::atoi(value->c_str()));
    }
    EKLVLogSettings settings{static_cast<std::uint32_t>(level), flush};
    std::uint32_t r = session.library().SetCoreLogging(&settings);
    if (r != EKLV_OK) return session.Finish(Fail(ExitFor(r), "EKLVSetCoreLogging: " + Explain(Call::kLogging, r)));
    // The library writes the settings back to eklv.ini when it stops.
    int code = session.Finish(kExitOk);
    std::string written = "?";
    if (auto ini = IniFile::Load(ini_path)) {
        written = "Level=" + ini->Get("CORE_LOGGING", "Level").value_or("?") +
                  " Flush=" + ini->Get("CORE_LOGGING", "Flush").value_or("?");
    }
    char mask[16];
    std::snprintf(mask, sizeof mask, "0x%08lx", level);
    std::cout << "core log: level " << mask << ", flush " << flush << "; " << ini_path << " now has " << written
              << std::endl;
    return code;
}

}  // namespace eklvctl
