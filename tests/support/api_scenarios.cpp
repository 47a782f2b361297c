#include "support/api_scenarios.h"

#include <gtest/gtest.h>

#include <chrono>

namespace eklv::test {

void ExpectDeviceCallsAnswer14BeforeInitialisation(LoadedLibrary& lib) {
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
}

void ExpectOpcodeEntryCodesBeforeInitialisation(LoadedLibrary& lib) {
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

    EXPECT_EQ(lib.OnCall(EKLV_OP_UNINITIALIZE, nullptr, nullptr), 5u);

    std::string log = lib.ReadLogs();
    EXPECT_NE(log.find("[------] ZORVAN_OnCall entrance, opcode = (536870917), (<-)"), std::string::npos);
    EXPECT_NE(log.find("[------] ZORVAN_OnCall exit, opcode = (536870917), (->), (14)"), std::string::npos);
    EXPECT_NE(log.find("[DID 4] ZORVAN_OnCall exit, opcode = (805306368), (->), (2)"), std::string::npos);
    EXPECT_NE(log.find("ZORVAN_OnCall entrance, opcode = (1), (<-)"), std::string::npos);
    EXPECT_EQ(log.find("ZORVAN_OnCall exit, opcode = (1)"), std::string::npos) << "no exit line after opcode 1";
}

void ExpectStartWithoutHubsFails(LoadedLibrary& lib) {
    EKLVInitParams params{};
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lib.Initialize(&params), 1u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000)) << "sleeps on failure too";
    EXPECT_EQ(lib.Uninitialize(), 13u) << "the failed start left no supervisor";
    EKLVString product;
    EKLVStringInit(&product);
    EXPECT_EQ(lib.GetProductStringDescriptor(0, &product), 14u) << "no session manager after the failed start";

    std::string log = lib.ReadLogs();
    EXPECT_EQ(FirstMissingInOrder(log, {"[------] EKLVInitialize (<-)",
                                        "CKLVDeviceIdMgr::Initialize - Default Mode = (0x02)",
                                        "CKLVDeviceIdMgr::Initialize - Failed", "[------] EKLVInitialize (->), 1",
                                        "EKLVUninitialize (<-)", "CKLVSupervisor::RequestKLVThreadTerminate - Failed",
                                        "KLVUninitialize (->), 13"}),
              "")
        << log;
    EXPECT_EQ(log.find("CKLVSupervisor::Initialize - OK"), std::string::npos) << "later steps do not run";
    EXPECT_EQ(CountOf(log, "KLVUninitialize (->), 13"), 2);
}

}  // namespace eklv::test
