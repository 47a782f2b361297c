// The exported functions and the opcode entry of a library copy loaded from
// a fresh folder, with codes and log lines read back from its log file.
#include <gtest/gtest.h>

#include <chrono>

#include "rig/usb_rig.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

using test::CountOf;
using test::LoadedLibrary;

TEST(ExportedApi, BeforeInitialisationDeviceFunctionsAnswer14AndUninitialise13) {
    LoadedLibrary lib(test::VerboseLogIni());
    ASSERT_TRUE(lib.ok());
    std::uint8_t buffer[16];
    std::uint32_t length = sizeof buffer;
    EXPECT_EQ(lib.ReadData(3, 0x1234, buffer, &length), 14u);
    EXPECT_EQ(lib.WriteData(3, 0x1234, buffer, 4), 14u);
    EKLV_HANDLE handle = 0x55;
    EXPECT_EQ(lib.OpenDevice(3, INF_UART, &handle, 1), 14u);
    EXPECT_EQ(handle, 0x55u) << "the handle is left untouched";
    EXPECT_EQ(lib.CloseDevice(3, INF_UART), 14u);
    EKLVString port;
    EKLVStringInit(&port);
    EXPECT_EQ(lib.GetComPort(3, INF_UART, &port), 14u);
    EXPECT_EQ(lib.GetProductStringDescriptor(3, &port), 14u);
    EXPECT_STREQ(EKLVStringGet(&port), "");
    std::uint32_t rate = 115200;
    EXPECT_EQ(lib.SetBaudRate(3, INF_UART, &rate), 14u);
    EKLVLogSettings off{0, 1};
    EXPECT_EQ(lib.SetCoreLogging(&off), 14u);
    lib.ReadData(0x00090003, 0x1234, buffer, &length);  // still logged: settings unchanged

    std::string log = lib.ReadLogs();
    EXPECT_NE(log.find("[DID 3] EKLVReadData (<-)"), std::string::npos);
    EXPECT_NE(log.find("[DID 3] EKLVReadData (->), 14"), std::string::npos);
    EXPECT_EQ(CountOf(log, "EKLVReadData (->), 14"), 2);
    for (const char* name : {"EKLVWriteData", "EKLVOpenDevice", "EKLVCloseDevice", "EKLVGetComPort",
                             "EKLVGetProductStringDescriptor", "EKLVSetBaudRate"})
        EXPECT_NE(log.find(std::string("[DID 3] ") + name + " (->), 14"), std::string::npos) << name;
    EXPECT_NE(log.find("[------] EKLVSetCoreLogging (->), 14"), std::string::npos);

    EXPECT_EQ(lib.Uninitialize(), 13u);
    EXPECT_EQ(lib.Uninitialize(), 13u);
    log = lib.ReadLogs();
    EXPECT_EQ(CountOf(log, "CKLVSupervisor::RequestKLVThreadTerminate - Failed"), 2);
    EXPECT_EQ(CountOf(log, "KLVUninitialize (->), 13"), 2);
}

TEST(ExportedApi, InitialiseAndUninitialiseInOrderThenAgain) {
    test::UsbRig rig;  // one root hub for the device-id manager to map
    rig.AddRootHub(rig.AddPciController(), 1);
    LoadedLibrary lib(test::VerboseLogIni());
    ASSERT_TRUE(lib.ok());
    EKLVInitParams params{};
    for (int round = 0; round < 2; ++round) {
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(lib.Initialize(&params), 0u);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
        EXPECT_EQ(lib.Uninitialize(), 0u);
        EXPECT_EQ(lib.Uninitialize(), 13u) << "a second uninitialisation finds no supervisor";
    }
    std::string log = lib.ReadLogs();
    const char* order[] = {"EKLVInitialize (<-)", "CKLVMessageLogger::Initialize - OK",
                           "CKLVDeviceIdMgr::Initialize finished", "CKLVSupervisor::Initialize - OK",
                           "CKLVSession::Initialize - OK", "CKLVSessionMgr::Initialize - OK",
                           "EKLVInitialize (->), 0", "EKLVUninitialize (<-)",
                           "CKLVSupervisor::UnInitialize - OK", "CKLVSession::UnInitialize - OK",
                           "CKLVSessionMgr::UnInitialize - OK", "CKLVDeviceIdMgr::UnInitialize - OK",
                           "CKLVMsgDispatcher::UnInitialize - OK",
                           "EKLVUninitialize (->), 0", "CKLVMessageLogger::UnInitialize() - Flush[1], loglevel[0x00000007]"};
    std::size_t pos = 0;
    for (const char* line : order) {
        std::size_t found = log.find(line, pos);
        ASSERT_NE(found, std::string::npos) << line;
        pos = found;
    }
    EXPECT_NE(lib.Read("eklv.ini").find("Level=0x00000007"), std::string::npos);
}

// An invalid client window, then a tree without USB hubs: each failure
// answers 1 after the start-up sleep and runs the uninitialisation.
TEST(ExportedApi, InitialisationFailures) {
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

    params.client_window = 0;
    EXPECT_EQ(lib.Initialize(&params), 1u);
    log = lib.ReadLogs();
    EXPECT_NE(log.find("CKLVDeviceIdMgr::Initialize - Failed"), std::string::npos);
    EXPECT_EQ(log.find("CKLVSupervisor::Initialize - OK"), std::string::npos) << "later steps do not run";
    EXPECT_EQ(CountOf(log, "KLVUninitialize (->), 13"), 2);
}

TEST(ExportedApi, OpcodeEntryCodes) {
    LoadedLibrary lib(test::VerboseLogIni());
    ASSERT_TRUE(lib.ok());
    std::uint32_t result = 77;
    EXPECT_EQ(lib.OnCall(EKLV_OP_READ_DATA, nullptr, &result), 6u);
    EXPECT_EQ(result, 77u) << "no block: the result is not written";
    EXPECT_TRUE(lib.LogFiles().empty()) << "and nothing is logged";

    EKLVCallBlock block{};
    block.device_id = 4;
    EXPECT_EQ(lib.OnCall(0x30000000, &block, &result), 3u);
    EXPECT_EQ(result, 2u);
    EXPECT_EQ(lib.OnCall(0x30000000, &block, nullptr), 3u);

    block.u.logging.level_mask = 0;
    EXPECT_EQ(lib.OnCall(EKLV_OP_SET_CORE_LOGGING, &block, &result), 5u);
    EXPECT_EQ(result, 14u);

    EXPECT_EQ(lib.OnCall(EKLV_OP_CLOSE_DEVICE, &block, &result), 5u);
    EXPECT_EQ(result, 14u);

    EXPECT_EQ(lib.OnCall(EKLV_OP_UNINITIALIZE, nullptr, nullptr), 5u);

    std::string log = lib.ReadLogs();
    EXPECT_NE(log.find("[------] ZORVAN_OnCall entrance, opcode = (536870917), (<-)"), std::string::npos);
    EXPECT_NE(log.find("[------] ZORVAN_OnCall exit, opcode = (536870917), (->), (14)"), std::string::npos);
    EXPECT_NE(log.find("[DID 4] ZORVAN_OnCall exit, opcode = (805306368), (->), (2)"), std::string::npos);
    EXPECT_NE(log.find("[DID 4] EKLVCloseDevice (->), 14"), std::string::npos);
    EXPECT_NE(log.find("ZORVAN_OnCall entrance, opcode = (1), (<-)"), std::string::npos);
    EXPECT_EQ(log.find("ZORVAN_OnCall exit, opcode = (1)"), std::string::npos) << "no exit line after opcode 1";
}

}  // namespace
}  // namespace eklv
