// The exported functions and the opcode entry of a library copy loaded from
// a fresh folder, with codes and log lines read back from its log file.
#include <gtest/gtest.h>

#include <chrono>

#include "rig/usb_rig.h"
#include "support/api_scenarios.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

using test::CountOf;
using test::LoadedLibrary;

// Before EKLVInitialize: the opcode entry's codes (checked first, as they
// include logging nothing without a block), device functions answer 14 and
// EKLVUninitialize 13.
TEST(ExportedApi, BeforeInitialisation) {
    LoadedLibrary lib(test::VerboseLogIni());
    ASSERT_TRUE(lib.ok());
    test::ExpectOpcodeEntryCodesBeforeInitialisation(lib);
    test::ExpectDeviceCallsAnswer14BeforeInitialisation(lib);

    EXPECT_EQ(lib.Uninitialize(), 13u);
    EXPECT_EQ(lib.Uninitialize(), 13u);
    std::string log = lib.ReadLogs();
    // Three: the opcode entry's uninitialisation and the two calls.
    EXPECT_EQ(CountOf(log, "CKLVSupervisor::RequestKLVThreadTerminate - Failed"), 3);
    EXPECT_EQ(CountOf(log, "KLVUninitialize (->), 13"), 3);
}

// The steps of a start and a shutdown in order (a restart runs on the
// kernel rig and in the end-to-end tests).
TEST(ExportedApi, InitialiseAndUninitialiseInOrder) {
    test::UsbRig rig;  // one root hub for the device-id manager to map
    rig.AddRootHub(rig.AddPciController(), 1);
    LoadedLibrary lib(test::VerboseLogIni());
    ASSERT_TRUE(lib.ok());
    EKLVInitParams params{};
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(lib.Initialize(&params), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
    EXPECT_EQ(lib.Uninitialize(), 0u);
    EXPECT_EQ(test::FirstMissingInOrder(
                  lib.ReadLogs(),
                  {"EKLVInitialize (<-)", "CKLVMessageLogger::Initialize - OK", "CKLVDeviceIdMgr::Initialize finished",
                   "CKLVSupervisor::Initialize - OK", "CKLVSession::Initialize - OK", "CKLVSessionMgr::Initialize - OK",
                   "EKLVInitialize (->), 0", "EKLVUninitialize (<-)", "CKLVSupervisor::UnInitialize - OK",
                   "CKLVSession::UnInitialize - OK", "CKLVSessionMgr::UnInitialize - OK",
                   "CKLVDeviceIdMgr::UnInitialize - OK", "CKLVMsgDispatcher::UnInitialize - OK",
                   "EKLVUninitialize (->), 0", "CKLVMessageLogger::UnInitialize() - Flush[1], loglevel[0x00000007]"}),
              "");
}

// An invalid client window: the failure answers 1 after the start-up
// sleep and runs the uninitialisation.
TEST(ExportedApi, InvalidClientWindowFailsInitialisation) {
    test::UsbRig rig;  // an empty tree
    LoadedLibrary lib(test::VerboseLogIni());
    ASSERT_TRUE(lib.ok());
    EKLVInitParams params{};
    params.client_window = 65535;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lib.Initialize(&params), 1u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000)) << "sleeps on failure too";
    std::string log = lib.ReadLogs();
    EXPECT_NE(log.find("EKLVInitialize (->), 1"), std::string::npos);
    EXPECT_EQ(log.find("CKLVDeviceIdMgr::Initialize"), std::string::npos) << "the window is checked first";
    EXPECT_EQ(CountOf(log, "KLVUninitialize (->), 13"), 1);
}

TEST(ExportedApi, InitialisationWithoutUsbHubsFailsAtTheDeviceIdManager) {
    test::UsbRig rig;  // an empty tree
    LoadedLibrary lib(test::VerboseLogIni());
    ASSERT_TRUE(lib.ok());
    test::ExpectStartWithoutHubsFails(lib);
}

}  // namespace
}  // namespace eklv
