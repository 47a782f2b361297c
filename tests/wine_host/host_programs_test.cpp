// eklvctl.exe and the example host run as programs under Wine, each with a
// station folder: a copy of eklv.dll and its eklv.ini. Wine has no USB
// hubs, so their start fails as on a machine without hubs.
#include <windows.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "http_client.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

struct Result {
    DWORD code = 0xFFFFFFFF;
    std::string output;  // standard output and error together
};

// CMake names the programs by their Unix paths; Wine's drive Z: is the root.
std::string Program(const char* unix_path) { return std::string("Z:") + unix_path; }

// Runs the program through cmd.exe, its standard output and error together.
Result RunProgram(const std::string& program, std::initializer_list<std::string> args) {
    std::string command = "\"\"" + program + "\"";
    for (const std::string& a : args) command += " \"" + a + "\"";
    command += " 2>&1\"";
    Result result;
    // Wine's _popen starts cmd.exe, which now and then fails to start while
    // other Windows programs of the suite start and stop beside it; a start
    // that failed is tried again before the test gives up.
    FILE* pipe = nullptr;
    for (int attempt = 0; attempt < 3 && pipe == nullptr; ++attempt) {
        if (attempt > 0) Sleep(200);
        pipe = _popen(command.c_str(), "r");
        if (pipe == nullptr) std::fprintf(stderr, "_popen failed (errno %d), attempt %d\n", errno, attempt + 1);
    }
    if (pipe == nullptr) {
        ADD_FAILURE() << "_popen " << command;
        return result;
    }
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
    result.code = static_cast<DWORD>(_pclose(pipe));
    return result;
}

constexpr const char* kStationIni =
    "[GUID]\nGUID_0=86e0d1e0-8089-11d0-9ce4-08003e301f73\nGUID_1=f18a0e88-c30c-11d0-8815-00a0c906bed8\n"
    "[VID_FILTER]\nVID_0=vid_6b4d\n[INF_SETTINGS]\nINF_DATA=Modem\n"
    "[CORE_LOGGING]\nLevel=0x7\nFlush=1\n";

// A station folder: a copy of the built eklv.dll and, unless ini is empty,
// its eklv.ini. Not loaded by this process.
struct Station : test::TempFolder {
    explicit Station(const std::string& ini) {
        if (!ini.empty()) Write("eklv.ini", ini);
        const char* built = std::getenv("EKLV_LIBRARY");
        EXPECT_TRUE(built != nullptr && CopyFileA(Program(built).c_str(), File("eklv.dll").c_str(), FALSE))
            << "copying the built eklv.dll";
    }
};

// The Windows program's own texts and codes (its arguments are parsed as on
// Linux, where their cases are checked).
TEST(WineHostPrograms, EklvctlHelpAndDemo) {
    Result help = RunProgram(Program(EKLVCTL_EXE), {"--help"});
    EXPECT_EQ(help.code, 0u);
    EXPECT_NE(help.output.find("eklv.dll announces"), std::string::npos) << help.output;
    Result demo = RunProgram(Program(EKLVCTL_EXE), {"demo"});
    EXPECT_EQ(demo.code, 3u);
    EXPECT_NE(demo.output.find("Linux only"), std::string::npos) << demo.output;
}

TEST(WineHostPrograms, EklvctlListOnAStationWithoutHubs) {
    test::TempFolder empty;
    Result missing = RunProgram(Program(EKLVCTL_EXE), {"list", "--library", empty.File("eklv.dll")});
    EXPECT_EQ(missing.code, 3u);
    EXPECT_NE(missing.output.find("cannot load"), std::string::npos) << missing.output;

    Station no_ini("");
    Result unset = RunProgram(Program(EKLVCTL_EXE), {"list", "--library", no_ini.File("eklv.dll")});
    EXPECT_EQ(unset.code, 3u);
    EXPECT_NE(unset.output.find("eklv.ini"), std::string::npos) << unset.output;

    Station station(kStationIni);
    Result list = RunProgram(Program(EKLVCTL_EXE), {"list", "--library", station.File("eklv.dll")});
    EXPECT_EQ(list.code, 4u) << list.output;
    EXPECT_NE(list.output.find("EKLVInitialize: the library could not start: no USB hub was found"),
              std::string::npos)
        << list.output;
    EXPECT_NE(station.ReadLogs().find("CKLVDeviceIdMgr::Initialize - Failed"), std::string::npos);
}

// eklvctl.exe serve on a station without hubs: it serves, and the snapshot
// says why the library did not start; a second serve on its port is refused.
TEST(WineHostPrograms, EklvctlServeSaysWhyTheLibraryDidNotStart) {
    Station station(kStationIni);
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE err = CreateFileA(station.File("serve.err").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(err, INVALID_HANDLE_VALUE);
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdError = err;
    start.hStdOutput = err;
    PROCESS_INFORMATION process{};
    std::string command = "\"" + Program(EKLVCTL_EXE) + "\" serve --library \"" + station.File("eklv.dll") +
                          "\" --listen 127.0.0.1:0 --duration 8";
    ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &process));
    CloseHandle(err);

    std::uint16_t port = 0;
    std::string said;
    for (int i = 0; i < 200 && port == 0; ++i) {
        Sleep(50);
        said = station.Read("serve.err");
        std::size_t at = said.find("station view on http://127.0.0.1:");
        if (at != std::string::npos) port = static_cast<std::uint16_t>(std::atoi(said.c_str() + at + 33));
    }
    ASSERT_NE(port, 0) << said;
    test::HttpResponse snapshot;
    for (int i = 0; i < 200; ++i) {
        snapshot = test::HttpGet(port, "/api/station");
        if (snapshot.body.find("\"state\":\"starting\"") == std::string::npos) break;
        Sleep(50);
    }
    EXPECT_EQ(snapshot.status, 200);
    EXPECT_NE(snapshot.body.find("\"state\":\"failed\""), std::string::npos) << snapshot.body;
    EXPECT_NE(snapshot.body.find("no USB hub was found"), std::string::npos) << snapshot.body;
    EXPECT_EQ(test::HttpGet(port, "/").status, 200);

    Result taken = RunProgram(Program(EKLVCTL_EXE), {"serve", "--listen", "127.0.0.1:" + std::to_string(port),
                                                     "--library", station.File("eklv.dll")});
    EXPECT_EQ(taken.code, 3u) << taken.output;
    EXPECT_NE(taken.output.find("cannot listen on 127.0.0.1:" + std::to_string(port)), std::string::npos)
        << taken.output;

    DWORD code = 0;
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    GetExitCodeProcess(process.hProcess, &code);
    EXPECT_EQ(code, 4u) << station.Read("serve.err");
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
}

TEST(WineHostPrograms, ExampleHostReportsTheFailedStart) {
    Station station(kStationIni);
    Result run = RunProgram(Program(EXAMPLE_HOST_EXE), {station.File("eklv.dll"), "1"});
    EXPECT_EQ(run.code, 1u) << run.output;
    EXPECT_NE(run.output.find("EKLVInitialize -> 1"), std::string::npos) << run.output;

    test::TempFolder empty;
    EXPECT_EQ(RunProgram(Program(EXAMPLE_HOST_EXE), {empty.File("eklv.dll")}).code, 2u);
}

}  // namespace
}  // namespace eklv
