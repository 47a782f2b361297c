// eklvctl serve on the station rig, as a script and a browser see it: the
// snapshot and the event stream read with plain HTTP, the requests it
// refuses, a port already taken, a library that does not start, a hundred
// streams and one that stops reading through a burst of 32 phones, the
// demo with the view open, and the page itself in headless Chromium
// (chromedriver), which leaves a screenshot in the build's artifacts.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>

#include "http_client.h"
#include "station_rig.h"
#include "station_snapshot.h"
#include "support/eventually.h"

namespace eklv::test {
namespace {

using namespace std::chrono_literals;
using Json = Snapshot;

// The port number after mark in text; 0 when mark is not there yet.
std::uint16_t PortAfter(const std::string& text, const std::string& mark) {
    std::size_t at = text.find(mark);
    return at == std::string::npos ? 0 : static_cast<std::uint16_t>(std::atoi(text.c_str() + at + mark.size()));
}
// The port in "station view on http://127.0.0.1:PORT/".
std::uint16_t PortIn(const std::string& text) { return PortAfter(text, "station view on http://127.0.0.1:"); }

Json StationAt(std::uint16_t port) {
    HttpResponse r = HttpGet(port, "/api/station");
    return r.status == 200 ? Json::parse(r.body, nullptr, false) : Json();
}

// "empty", "hub", or the state of the phone at tid ("arrived", "removed",
// "fading"); "none" when the tree has no such port.
std::string StateAt(const Json& snapshot, const std::string& tid) {
    const Json* port = PortAt(snapshot, tid);
    if (port == nullptr) return "none";
    return (*port)["state"] == "phone" ? (*port)["phone"]["state"].get<std::string>() : (*port)["state"].get<std::string>();
}

// Root TIDs 1 and 2 for the rig's controllers, as a station configures
// them, so that the phone's port is TID 1.3.2 and the Lite's 2.1.
class Serve : public StationRig {
protected:
    Serve() {
        const std::string shared = folder.path() + "/Common Files/Norvanta Shared/KVTSDK";
        std::filesystem::create_directories(shared);
        std::ofstream(shared + "/USBConnectivityConfig.ini")
            << "[HISTORY]\nwhen=serve test\n[ROOT_TID]\npci\\0000:00:14.0=1\npci\\0000:00:1d.0=2\n";
    }

    // Starts serve on a free port of the loopback address.
    std::uint16_t StartServe(std::vector<std::string> args = {}) {
        args.insert(args.begin(), {"serve", "--listen", "127.0.0.1:0"});
        serve = Start(args);
        serve->WaitFor("station view on", 20s);
        return PortIn(serve->err);
    }
    // Waits until what holds for the snapshot; the last snapshot read.
    Json AwaitStation(std::uint16_t port, const std::function<bool(const Json&)>& what,
                      std::chrono::milliseconds bound = 20s) {
        Json snapshot;
        Eventually([&] { return what(snapshot = StationAt(port)); }, bound);
        return snapshot;
    }

    std::unique_ptr<Child> serve;
};

TEST_F(Serve, SnapshotEventsAndRefusals) {
    rig.Unplug(phone);
    const std::uint16_t port = StartServe();
    ASSERT_NE(port, 0) << serve->err;

    // The tree: both controllers with their root TIDs, the hub on port 3
    // with its four ports, the Lite on root hub 2.
    Json station = AwaitStation(port, [](const Json& s) { return StateAt(s, "2.1") == "arrived"; });
    ASSERT_EQ(station["library"]["state"], "running") << station.dump();
    ASSERT_EQ(station["controllers"].size(), 2u) << station.dump();
    EXPECT_EQ(station["controllers"][0]["controller"], "pci\\0000:00:14.0");
    EXPECT_EQ(station["controllers"][0]["hubs"][0]["device"], "usb1");
    EXPECT_EQ(station["controllers"][0]["hubs"][0]["port_count"], 4);
    ASSERT_EQ(StateAt(station, "1.3"), "hub") << station.dump();
    EXPECT_EQ((*PortAt(station, "1.3"))["hub"]["port_count"], 4);
    EXPECT_EQ(StateAt(station, "1.3.2"), "empty");
    EXPECT_EQ((*PortAt(station, "2.1"))["phone"]["interfaces"][0]["com_port"], "ttyUSB1");

    // Plugged: the stream tells the arrival, the snapshot shows the phone
    // at its port; pulled: it shows as removed, then fading, then leaves.
    HttpStream events(port, "/api/events");
    ASSERT_TRUE(events.WaitFor("event: station", 10s)) << events.text();
    EXPECT_NE(events.text().find("Content-Type: text/event-stream"), std::string::npos) << events.text();
    rig.Plug(phone);
    ASSERT_TRUE(events.WaitFor("\"event\":\"arrival\",\"device_id\"", 20s, events.text().size() - 1))
        << events.text();
    station = AwaitStation(port, [](const Json& s) { return StateAt(s, "1.3.2") == "arrived"; });
    const Json phone_json = (*PortAt(station, "1.3.2"))["phone"];
    EXPECT_EQ(phone_json["product"], "Norvanta Phone") << phone_json.dump();
    EXPECT_EQ(phone_json["interfaces"][0]["com_port"], "ttyACM0") << phone_json.dump();
    EXPECT_EQ(phone_json["port"], "1-3.2");
    EXPECT_EQ(station["phones"], 2);
    const std::size_t before = events.text().size();
    rig.Unplug(phone);
    EXPECT_TRUE(events.WaitFor("\"tid\":\"1.3.2\",\"com_port\":\"ttyACM0\"", 20s, before)) << events.text();
    EXPECT_NE(events.text().find("\"event\":\"removal\"", before), std::string::npos) << events.text();
    for (const char* state : {"removed", "fading", "empty"})
        EXPECT_EQ(StateAt(AwaitStation(port, [&](const Json& s) { return StateAt(s, "1.3.2") == state; }), "1.3.2"),
                  state);

    // A new stream starts with the events so far (the Lite, the phone's
    // arrival and removal), numbered; one that names the last it saw gets
    // only the later ones.
    HttpStream again(port, "/api/events");
    EXPECT_TRUE(again.WaitFor("id: 3\nevent: interface", 10s)) << again.text();
    HttpResponse resumed = HttpExchange(
        port, "GET /api/events HTTP/1.1\r\nHost: localhost\r\nLast-Event-ID: 2\r\n\r\n", 2s);
    EXPECT_EQ(resumed.status, 200);
    EXPECT_NE(resumed.body.find("id: 3\n"), std::string::npos) << resumed.body;
    EXPECT_EQ(resumed.body.find("id: 2\n"), std::string::npos) << resumed.body;

    // Refused: unknown paths, other methods, large requests, foreign host
    // names, requests that are not HTTP. The page and its parts are served.
    const std::string host = "Host: 127.0.0.1\r\n";
    const std::string big(20000, 'x');
    const std::pair<std::string, int> requests[] = {
        {"GET /nope HTTP/1.1\r\n" + host + "\r\n", 404},
        {"POST /api/station HTTP/1.1\r\n" + host + "Content-Length: 2\r\n\r\n{}", 405},
        {"DELETE / HTTP/1.1\r\n" + host + "\r\n", 405},
        {"HEAD /api/events HTTP/1.1\r\n" + host + "\r\n", 405},
        {"GET / HTTP/1.1\r\n" + host + "X-Padding: " + big + "\r\n\r\n", 413},
        {"POST /api/station HTTP/1.1\r\n" + host + "Content-Length: 1048576\r\n\r\n" + std::string(1048576, 'y'), 413},
        {"GET / HTTP/1.1\r\nHost: station.example.com\r\n\r\n", 403},
        {"HELLO\r\n\r\n", 400},
        {"GET /station.js HTTP/1.1\r\n" + host + "\r\n", 200},
        {"GET /?view=1 HTTP/1.0\r\n\r\n", 200},
    };
    for (const auto& [request, status] : requests)
        EXPECT_EQ(HttpExchange(port, request, 5s).status, status) << request.substr(0, 60);
    HttpResponse allow = HttpRequest(port, "PUT", "/api/station");
    EXPECT_NE(allow.head.find("Allow: GET, HEAD"), std::string::npos) << allow.head;
    HttpResponse head = HttpRequest(port, "HEAD", "/");
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.body.empty());
    EXPECT_NE(head.head.find("Content-Length: " + std::to_string(HttpGet(port, "/").body.size())), std::string::npos);

    // The same port once more: one line, exit 3.
    Result taken = Run({"serve", "--listen", "127.0.0.1:" + std::to_string(port), "--duration", "5"});
    EXPECT_EQ(taken.code, 3) << taken.err;
    EXPECT_NE(taken.err.find("cannot listen on 127.0.0.1:" + std::to_string(port)), std::string::npos) << taken.err;
    EXPECT_EQ(CountOf(taken.err, "\n"), 1) << taken.err;

    serve->Signal(SIGINT);
    EXPECT_EQ(serve->Wait(30s), 0) << serve->err;
    EXPECT_TRUE(serve->Shown("stopped by Ctrl-C; EKLVUninitialize: success (result 0)")) << serve->err;

    // A library that does not start: the page says so until Ctrl-C.
    serve = std::make_unique<Child>(folder, std::vector<std::string>{"--library", folder.File("missing.so"), "serve",
                                                                      "--listen", "127.0.0.1:0"});
    ASSERT_TRUE(serve->WaitFor("cannot load", 20s)) << serve->err;
    // The line is printed as the start fails; the view follows it.
    station = AwaitStation(PortIn(serve->err), [](const Json& j) { return j["library"]["state"] != "starting"; });
    EXPECT_EQ(station["library"]["state"], "failed") << station.dump();
    EXPECT_NE(station["library"].value("message", std::string()).find("cannot load"), std::string::npos);
    serve->Signal(SIGINT);
    EXPECT_EQ(serve->Wait(30s), 3) << serve->err;
}

// 32 phones on four hubs of eight, plugged at once below one hub, while a
// hundred streams are open and one more stops reading: every stream gets
// every arrival, the snapshot has every phone at its port, and the stream
// that stopped reading is dropped with one line.
TEST_F(Serve, KeepsUpWithABurstAndManyStreams) {
    const UsbRig::NodeId top = rig.AddPhoneBank(root1, 1, 4, 8, 10);
    rig.Unplug(top);
    const std::uint16_t port = StartServe();
    ASSERT_NE(port, 0) << serve->err;
    AwaitStation(port, [](const Json& s) { return s.value("phones", -1) == 2; });

    std::vector<std::unique_ptr<HttpStream>> streams;
    for (int i = 0; i < 100; ++i) streams.push_back(std::make_unique<HttpStream>(port, "/api/events"));
    HttpStream stalled(port, "/api/events", 4096);
    for (auto& stream : streams) ASSERT_TRUE(stream->WaitFor("event: station", 20s)) << stream->text();

    // The streams are read all along, as browsers read them.
    auto read_all = [&] {
        for (auto& stream : streams) stream->Read();
    };
    rig.Plug(top);
    Json station;
    Eventually([&] { return (read_all(), (station = StationAt(port))["phones"] == 34); }, 120s);
    ASSERT_EQ(station["phones"], 34) << station.dump();
    EXPECT_TRUE(station["unplaced"].empty()) << station.dump();
    for (int h = 0; h < 4; ++h)
        for (int p = 0; p < 8; ++p) {
            const std::string tid = "1.1." + std::to_string(h + 1) + "." + std::to_string(p + 1);
            const Json* at = PortAt(station, tid);
            ASSERT_TRUE(at != nullptr && (*at)["state"] == "phone") << tid;
            EXPECT_EQ((*at)["phone"]["interfaces"][0]["com_port"], "ttyACM" + std::to_string(10 + h * 8 + p)) << tid;
        }
    // Each stream: the phone and the Lite from before it opened, and the 32.
    auto arrivals = [](const std::unique_ptr<HttpStream>& s) { return CountOf(s->text(), "\"event\":\"arrival\""); };
    Eventually([&] {
        read_all();
        return std::all_of(streams.begin(), streams.end(), [&](const auto& s) { return arrivals(s) >= 34; });
    }, 30s);
    for (const auto& stream : streams) EXPECT_EQ(arrivals(stream), 34) << stream->text().substr(0, 300);

    // Pulled again: 32 removals more, which the stream that stopped reading
    // cannot take. How much the kernel's buffers hold before its write
    // stalls depends on how many snapshots the burst coalesced into, so
    // while it is not dropped the bank is put back and pulled once more.
    for (int round = 0; round < 4; ++round) {
        if (round > 0) {
            rig.Plug(top);
            Eventually([&] { return (read_all(), StationAt(port)["phones"] == 34); }, 120s);
        }
        rig.Unplug(top);
        Eventually([&] { return (read_all(), StationAt(port)["phones"] == 2); }, 60s);
        if (Eventually([&] { return (read_all(), serve->WaitFor("dropped", 0s)); }, 8s)) break;
    }
    EXPECT_TRUE(serve->WaitFor("dropped the event stream of 127.0.0.1:", 1s)) << serve->err;
    EXPECT_EQ(CountOf(serve->err, "dropped the event stream"), 1) << serve->err;
    EXPECT_NE(serve->err.find("it stopped reading"), std::string::npos) << serve->err;
    for (const auto& stream : streams) EXPECT_FALSE(stream->closed());

    // Streams that go away mid-stream are simply closed.
    streams.clear();
    EXPECT_EQ(StationAt(port)["phones"], 2);
    serve->Signal(SIGINT);
    EXPECT_EQ(serve->Wait(30s), 0) << serve->err;
}

// chromedriver and a headless Chromium session, on the machine's network
// settings for a closed network (no first-run, update or sync traffic).
class Browser {
public:
    explicit Browser(const TempFolder& folder) {
        // Chromium keeps crash-report settings and caches under the user's
        // folders: the test's own folder stands in for them.
        std::vector<std::string> environment;
        for (const std::string& entry : Child::PlainEnvironment())
            if (entry.rfind("HOME=", 0) != 0 && entry.rfind("XDG_", 0) != 0) environment.push_back(entry);
        for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
            environment.push_back(std::string(name) + "=" + folder.File("browser-home"));
        driver_ = std::make_unique<Child>(folder, std::vector<std::string>{"--port=0"}, "/usr/bin/chromedriver",
                                          &environment);
        driver_->WaitFor("successfully on port", 30s);
        if ((port_ = PortAfter(driver_->out, "successfully on port ")) == 0) return;
        Json args = {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--window-size=1280,860", "--user-data-dir=" + folder.File("chromium-profile")};
        Json caps = {{"capabilities", {{"alwaysMatch", {{"goog:chromeOptions",
                                                         {{"binary", "/usr/bin/chromium"}, {"args", args}}}}}}}};
        Json answer = Call("POST", "/session", caps);
        if (answer.contains("sessionId")) session_ = answer["sessionId"];
    }
    ~Browser() {
        if (!session_.empty()) Call("DELETE", "/session/" + session_);
        if (driver_) {
            driver_->Signal(SIGTERM);
            driver_->Wait(10s);
        }
    }
    bool ok() const { return !session_.empty(); }
    std::string why() const { return driver_ ? driver_->out + driver_->err : "no chromedriver"; }

    void Open(const std::string& url) { Call("POST", "/session/" + session_ + "/url", {{"url", url}}); }
    // The value of a script run in the page.
    Json Evaluate(const std::string& script) {
        return Call("POST", "/session/" + session_ + "/execute/sync", {{"script", script}, {"args", Json::array()}});
    }
    // The text of the first element matching css; empty when none.
    std::string Text(const std::string& css) {
        Json v = Evaluate("const e = document.querySelector(" + Json(css).dump() + "); return e ? e.innerText : '';");
        return v.is_string() ? v.get<std::string>() : "";
    }
    bool Screenshot(const std::string& path) {
        Json png = Call("GET", "/session/" + session_ + "/screenshot");
        if (!png.is_string()) return false;
        std::ofstream(path, std::ios::binary) << Base64Decode(png.get<std::string>());
        return true;
    }

private:
    Json Call(const std::string& method, const std::string& path, const Json& body = nullptr) {
        HttpResponse r = HttpRequest(port_, method, path, body.is_null() ? "" : body.dump());
        Json answer = Json::parse(r.body, nullptr, false);
        return answer.is_object() && answer.contains("value") ? answer["value"] : Json();
    }
    static std::string Base64Decode(const std::string& text) {
        static const std::string kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::string out;
        unsigned value = 0;
        int bits = 0;
        for (char c : text) {
            std::size_t d = kDigits.find(c);
            if (d == std::string::npos) continue;
            value = (value << 6) | static_cast<unsigned>(d);
            if ((bits += 6) >= 8) {
                bits -= 8;
                out += static_cast<char>((value >> bits) & 0xFF);
            }
        }
        return out;
    }

    std::unique_ptr<Child> driver_;
    std::uint16_t port_ = 0;
    std::string session_;
};

// The page in a browser: a phone plugged shows at its port with its device
// id and COM port, a phone pulled leaves it; the screenshot of the station
// with both phones is kept as build/artifacts/station-view.png.
TEST_F(Serve, PageInABrowser) {
    rig.Unplug(phone);
    const std::uint16_t port = StartServe();
    ASSERT_NE(port, 0) << serve->err;
    Browser browser(folder);
    ASSERT_TRUE(browser.ok()) << "chromedriver and chromium (scripts/setup.sh installs them): " << browser.why();
    browser.Open("http://127.0.0.1:" + std::to_string(port) + "/");
    const std::string lite = "[data-tid=\"2.1\"] .phone";
    EXPECT_TRUE(Eventually([&] { return browser.Text(lite).find("ttyUSB1") != std::string::npos; }, 20s))
        << browser.Text("body");
    EXPECT_NE(browser.Text("#live").find("live"), std::string::npos);

    rig.Plug(phone);
    Json station = AwaitStation(port, [](const Json& s) { return StateAt(s, "1.3.2") == "arrived"; });
    const std::string id = std::to_string((*PortAt(station, "1.3.2"))["phone"]["device_id"].get<int>());
    const std::string card = "[data-tid=\"1.3.2\"] .phone";
    EXPECT_TRUE(Eventually([&] { return browser.Text(card).find("ttyACM0") != std::string::npos; }, 20s))
        << browser.Text("#tree");
    EXPECT_NE(browser.Text(card).find("device " + id), std::string::npos) << browser.Text(card);
    EXPECT_NE(browser.Text("#events").find("arrival device " + id + " INF_DATA"), std::string::npos)
        << browser.Text("#events");
    const std::string shot = std::string(EKLV_ARTIFACTS_DIR) + "/station-view.png";
    std::filesystem::create_directories(EKLV_ARTIFACTS_DIR);
    EXPECT_TRUE(browser.Screenshot(shot));
    EXPECT_GT(std::filesystem::file_size(shot), 10000u);
    std::cout << "screenshot: " << shot << std::endl;

    rig.Unplug(phone);
    EXPECT_TRUE(Eventually([&] { return browser.Text(card).find("REMOVED") != std::string::npos; }, 20s))
        << browser.Text("#tree");
    EXPECT_TRUE(Eventually([&] { return browser.Text("[data-tid=\"1.3.2\"]").find("empty") != std::string::npos; },
                           20s))
        << browser.Text("#tree");
    serve->Signal(SIGINT);
    EXPECT_EQ(serve->Wait(30s), 0) << serve->err;
}

}  // namespace
}  // namespace eklv::test
