// What a Windows host does with eklv.dll beside the device path, on the
// Wine rig: it lets go of the DLL while its own threads live on.
#include <gtest/gtest.h>

#include "windows_rig/rig_station.h"
#include "windows_rig/standard_tree.h"

namespace eklv::test {
namespace {

struct Worker {
    RigStation* station;
    std::uint32_t uart;
    HANDLE talked;    // set once it has talked through an overlapped open
    HANDLE may_exit;  // it exits once this is set
    std::string reply;
};

DWORD WINAPI Talk(LPVOID context) {
    auto* w = static_cast<Worker*>(context);
    EKLV_HANDLE h = 0;
    if (w->station->lib.OpenDevice(w->uart, INF_UART, &h, 0) == 0u) {
        w->reply = Transact(w->station->lib, w->uart, h, "AT\r");
        w->station->lib.CloseDevice(w->uart, INF_UART);
    }
    ::SetEvent(w->talked);
    ::WaitForSingleObject(w->may_exit, INFINITE);
    return 0;
}

// A host thread that read and wrote through an overlapped open outlives the
// DLL: FreeLibrary unloads it (nothing pins it to the thread), and the
// thread's exit runs nothing of the DLL.
TEST(RigHost, FreeLibraryWhileAThreadThatReadOverlappedLivesOn) {
    RigStation station(SelfMonitoringIni(), RigStation::Copy::kOwn);
    StandardTree t(station.tree);
    auto [data, uart] = Started(station);
    Worker w{&station, uart, ::CreateEventA(nullptr, TRUE, FALSE, nullptr),
             ::CreateEventA(nullptr, TRUE, FALSE, nullptr), {}};
    HANDLE thread = ::CreateThread(nullptr, 0, &Talk, &w, 0, nullptr);
    ASSERT_EQ(::WaitForSingleObject(w.talked, 10000), WAIT_OBJECT_0);
    EXPECT_NE(w.reply.find("OK"), std::string::npos) << w.reply;
    EXPECT_EQ(station.Stop(), 0u);
    const std::string path = station.lib.File(TempFolder::kLibraryName);
    station.lib.Unload();
    EXPECT_EQ(::GetModuleHandleA(path.c_str()), nullptr) << "FreeLibrary left eklv.dll loaded";
    ::SetEvent(w.may_exit);
    EXPECT_EQ(::WaitForSingleObject(thread, 10000), WAIT_OBJECT_0) << "the thread's exit hangs";
    EXPECT_EQ(::GetModuleHandleA(path.c_str()), nullptr);
    for (HANDLE h : {thread, w.talked, w.may_exit}) ::CloseHandle(h);
    (void)data;
}

}  // namespace
}  // namespace eklv::test
