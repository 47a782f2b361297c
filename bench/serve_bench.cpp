// eklvctl serve on a umockdev rig of 32 composite phones (four hubs of
// eight below one hub), as a station's browser sees it. For each burst,
// from the last WM_ZORVAN_INTERFACE_ARRIVAL as eklvctl takes it (the
// event's at_ms) to
//   stream:   that arrival read from a connected event stream,
//   snapshot: the first station event on that stream with all 32 phones,
//   api:      the first GET /api/station with all 32 (polled every 10 ms),
// beside the burst itself (plug to that last arrival: the library's part,
// which the view adds to). Then eklvctl serve's resident memory: with no
// client, with 100 event streams open, and after a burst they all read.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "child_process.h"
#include "http_client.h"
#include "library_host.h"
#include "rig/usb_rig.h"

namespace {

using eklv::test::Child;
using eklv::test::HttpStream;
using eklv::test::TempFolder;
using eklv::test::UsbRig;
using Json = nlohmann::json;
using WallClock = std::chrono::system_clock;
using namespace std::chrono_literals;

constexpr int kPhones = 32;

double NowMs() {
    return std::chrono::duration<double, std::milli>(WallClock::now().time_since_epoch()).count();
}

// The rig, a station folder with the library, and eklvctl serve on it.
struct Station {
    UsbRig rig;
    UsbRig::NodeId top = 0;
    TempFolder folder;
    std::unique_ptr<Child> serve;
    std::uint16_t port = 0;

    Station() {
        top = rig.AddPhoneBank(rig.AddRootHub(rig.AddPciController(), 1), 1, 4, 8, 0);
        rig.Unplug(top);
        std::filesystem::copy_file(std::getenv("EKLV_LIBRARY"), folder.File("libeklv.so"));
        folder.Write("eklv.ini", eklv::bench::BenchIni("[CORE_LOGGING]\nLevel=0x7\nFlush=1\n") +
                                     "[INF_SETTINGS]\nINF_DATA=Modem\n");
        setenv("EKLV_COMMON_APPDATA", folder.path().c_str(), 1);
        serve = std::make_unique<Child>(
            folder, std::vector<std::string>{"--library", folder.File("libeklv.so"), "serve", "--listen", "127.0.0.1:0"});
        serve->WaitFor("station view on", 30s);
        std::smatch m;
        if (std::regex_search(serve->err, m, std::regex("http://127\\.0\\.0\\.1:(\\d+)/")))
            port = static_cast<std::uint16_t>(std::stoi(m[1].str()));
        eklv::test::Eventually([&] { return Phones() == 0; }, 30s);
    }
    ~Station() {
        serve->Signal(SIGINT);
        serve->Wait(30s);
    }
    int Phones() const {
        Json s = Json::parse(eklv::test::HttpGet(port, "/api/station").body, nullptr, false);
        return s.is_object() && s.contains("phones") && s["phones"].is_number() ? s["phones"].get<int>() : -1;
    }
    long RssKb() const {
        std::ifstream status("/proc/" + std::to_string(serve->pid()) + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
        return -1;
    }
};

// The frames of an event stream from offset on: (event, data) pairs of
// complete frames, and the offset after them.
std::vector<std::pair<std::string, std::string>> Frames(const std::string& text, std::size_t* offset) {
    std::vector<std::pair<std::string, std::string>> frames;
    for (std::size_t end; (end = text.find("\n\n", *offset)) != std::string::npos; *offset = end + 2) {
        std::string frame = text.substr(*offset, end - *offset), event, data;
        std::size_t e = frame.find("event: "), d = frame.find("data: ");
        if (e != std::string::npos) event = frame.substr(e + 7, frame.find('\n', e) - e - 7);
        if (d != std::string::npos) data = frame.substr(d + 6);
        frames.emplace_back(event, data);
    }
    return frames;
}

struct Burst {
    std::vector<double> burst, stream, snapshot, api;
};
Burst g_burst;
std::vector<std::pair<std::string, long>> g_memory;

void BM_ServeBurst(benchmark::State& state) {
    Station station;
    if (station.port == 0) {
        state.SkipWithError(("eklvctl serve did not start: " + station.serve->err).c_str());
        return;
    }
    for (auto _ : state) {
        HttpStream stream(station.port, "/api/events");
        stream.WaitFor("event: station", 10s);
        std::size_t offset = stream.text().size();
        const double plugged = NowMs();
        station.rig.Plug(station.top);
        int arrivals = 0;
        double last_arrival = 0, stream_at = 0, snapshot_at = 0, api_at = 0, next_poll = 0;
        const double give_up = plugged + 60000;
        while ((stream_at == 0 || snapshot_at == 0 || api_at == 0) && NowMs() < give_up) {
            stream.Read(2ms);
            for (const auto& [event, data] : Frames(stream.text(), &offset)) {
                Json j = Json::parse(data, nullptr, false);
                if (event == "interface" && j.value("event", "") == "arrival") {
                    last_arrival = std::max(last_arrival, j.value("at_ms", 0.0));
                    if (++arrivals == kPhones) stream_at = NowMs();
                } else if (event == "station" && snapshot_at == 0 && j.value("phones", 0) == kPhones) {
                    snapshot_at = NowMs();
                }
            }
            if (api_at == 0 && NowMs() >= next_poll) {
                if (station.Phones() == kPhones) api_at = NowMs();
                next_poll = NowMs() + 10;
            }
        }
        if (stream_at == 0 || snapshot_at == 0 || api_at == 0) {
            state.SkipWithError("the burst was not shown within 60 s");
            break;
        }
        g_burst.burst.push_back(last_arrival - plugged);
        g_burst.stream.push_back(stream_at - last_arrival);
        g_burst.snapshot.push_back(snapshot_at - last_arrival);
        g_burst.api.push_back(api_at - last_arrival);
        state.SetIterationTime((snapshot_at - last_arrival) / 1000);
        state.PauseTiming();
        station.rig.Unplug(station.top);
        eklv::test::Eventually([&] { return station.Phones() == 0; }, 60s);
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ServeBurst)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_ServeMemory(benchmark::State& state) {
    Station station;
    for (auto _ : state) {
        g_memory.emplace_back("no client", station.RssKb());
        std::vector<std::unique_ptr<HttpStream>> streams;
        for (int i = 0; i < 100; ++i) streams.push_back(std::make_unique<HttpStream>(station.port, "/api/events"));
        for (auto& s : streams) s->WaitFor("event: station", 20s);
        g_memory.emplace_back("100 streams open", station.RssKb());
        station.rig.Plug(station.top);
        auto all_read = [&] {
            bool all = true;
            for (auto& s : streams) {
                s->Read();
                all = all && eklv::test::CountOf(s->text(), "\"event\":\"arrival\"") >= kPhones;
            }
            return all;
        };
        eklv::test::Eventually(all_read, 120s);
        g_memory.emplace_back("100 streams, 32 phones read", station.RssKb());
        streams.clear();
        station.rig.Unplug(station.top);
        eklv::test::Eventually([&] { return station.Phones() == 0; }, 60s);
        g_memory.emplace_back("streams closed, phones gone", station.RssKb());
    }
}
BENCHMARK(BM_ServeMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    eklv::bench::RunOnUmockdev(argc, argv);
    using eklv::bench::Median;
    if (!g_burst.burst.empty())
        std::printf("32 phones at once (medians of %zu): plug to last arrival %.1f ms; after the last arrival: "
                    "stream %.1f ms, snapshot on the stream %.1f ms, GET /api/station %.1f ms\n",
                    g_burst.burst.size(), Median(g_burst.burst), Median(g_burst.stream), Median(g_burst.snapshot),
                    Median(g_burst.api));
    for (const auto& [what, kb] : g_memory) std::printf("eklvctl serve resident memory, %-28s %6ld KiB\n", what.c_str(), kb);
    if (g_memory.size() >= 2)
        std::printf("per open stream: %.1f KiB\n", (g_memory[1].second - g_memory[0].second) / 100.0);
    return 0;
}
