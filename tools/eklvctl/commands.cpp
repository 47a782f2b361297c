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
#include "core_log.h"
#include "json_text.h"
#include "output.h"
#include "phones.h"
#include "command_session.h"
#include "station_ini.h"

namespace eklvctl {
namespace {

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

}  // namespace

int RunList(const CommonOptions& common, Interrupts& interrupts) {
    Session session(common, interrupts);
    if (int code = session.Start(true, common.host_fed, true); code != kExitOk) return code;
    std::map<std::uint16_t, std::string> tids = session.log().Tids();
    const std::map<std::string, std::string> roots = session.log().RootTids();
    std::vector<Phone> phones;
    for (const auto& [id, device] : session.host().devices())
        phones.push_back(DescribePhone(session.library(), device, tids.count(id) ? tids[id] : ""));

    if (common.json) {
        JsonValue devices = JsonValue::array();
        for (const Phone& phone : phones) devices.push_back(PhoneJson(phone));
        JsonValue controllers = JsonValue::array();
        for (const auto& [controller, tid] : roots) controllers.push_back({{"controller", controller}, {"root_tid", tid}});
        std::cout << JsonText({{"devices", std::move(devices)}, {"controllers", std::move(controllers)}}) << std::endl;
    } else if (phones.empty()) {
        std::cout << "no phones attached" << std::endl;
    } else {
        std::vector<std::vector<std::string>> table = {{"DEVICE", "TID", "PORT", "PRODUCT", "INTERFACES"}};
        for (const Phone& phone : phones) {
            std::string interfaces;
            for (const PhoneInterface& i : phone.interfaces) {
                interfaces += (interfaces.empty() ? "" : ", ") + InterfaceTypeName(i.type) + " " +
                              (i.com_port_result == EKLV_OK
                                   ? i.com_port
                                   : "(no COM port, result " + std::to_string(i.com_port_result) + ")");
            }
            table.push_back({std::to_string(phone.id), phone.tid.empty() ? "-" : phone.tid,
                             phone.port.empty() ? "-" : phone.port, phone.product.empty() ? "-" : phone.product,
                             interfaces});
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
        std::cout << (common.json ? JsonText(EventJson(e)) : EventLine(e)) << std::endl;
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
    JsonValue responses = JsonValue::array();
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
            responses.push_back({{"command", command}, {"response", response}, {"final", final_result}});
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
    if (common.json)
        std::cout << JsonText({{"device_id", id}, {"interface", type_name}, {"responses", std::move(responses)}})
                  << std::endl;

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
    JsonValue json_interfaces = JsonValue::array();
    if (!common.json) {
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
            json_interfaces.push_back({{"type", InterfaceTypeName(i.type)},
                                       {"type_code", i.type},
                                       {"com_port", p.result == EKLV_OK ? JsonValue(p.port) : JsonValue(nullptr)},
                                       {"com_port_result", p.result},
                                       {"name", i.name},
                                       {"class", i.class_guid},
                                       {"interface_number", number}});
        } else {
            out << "  " << InterfaceTypeName(i.type) << "\n    COM port   "
                << (p.result == EKLV_OK ? p.port : Explain(Call::kComPort, p.result)) << "\n";
            if (!i.name.empty()) out << "    name       " << i.name << "\n";
            if (!i.class_guid.empty()) out << "    class      " << i.class_guid << "\n";
            if (!number.empty()) out << "    interface  " << number << " (USB interface number, hex)\n";
        }
    }
    if (common.json)
        out << JsonText({{"device_id", id},
                         {"product", product},
                         {"product_id", device ? device->product_id : ""},
                         {"tid", TextOrNull(tid)},
                         {"port", port},
                         {"interfaces", std::move(json_interfaces)}});
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
