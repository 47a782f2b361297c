// Parameter blocks of the opcode entry reach the device operations with the
// right arguments, and results come back as the entry promises.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "api/device_calls.h"
#include "api/opcode_entry.h"
#include "log/message_logger.h"
#include "session/device_operations.h"
#include "support/lib_folder.h"

namespace eklv {
namespace {

struct Call {
    std::string name;
    std::uint32_t device = 0, type = 0, sync = 0, length = 0;
    pf::Handle handle = 0;
    const void* data = nullptr;
    bool operator==(const Call&) const = default;
};

class FakeManager : public DeviceOperations {
public:
    Call last;
    std::uint32_t answer = 0;

    std::uint32_t ReadData(std::uint32_t d, pf::Handle h, void* buffer, std::uint32_t* length) override {
        return Got({"read", d, 0, 0, std::exchange(*length, 2u), h, buffer});
    }
    std::uint32_t WriteData(std::uint32_t d, pf::Handle h, const void* data, std::uint32_t length) override {
        return Got({"write", d, 0, 0, length, h, data});
    }
    std::uint32_t OpenDeviceInterface(std::uint32_t d, std::uint32_t t, pf::Handle* h, std::uint32_t s) override {
        *h = 0x4242;
        return Got({"open", d, t, s});
    }
    std::uint32_t CloseDeviceInterface(std::uint32_t d, std::uint32_t t) override { return Got({"close", d, t}); }
    std::uint32_t GetProductStringDescriptor(std::uint32_t d, std::string* p) override {
        *p = "Phone X";
        return Got({"product", d});
    }
    std::uint32_t GetComPort(std::uint32_t d, std::uint32_t t, std::string* p) override {
        *p = "ttyACM3";
        return Got({"port", d, t});
    }
    std::uint32_t SetBaudRate(std::uint32_t d, std::uint32_t t, std::uint32_t* rate) override {
        return Got({"baud", d, t, 0, *rate});
    }

private:
    std::uint32_t Got(Call call) {
        last = std::move(call);
        return answer;
    }
};

class OpcodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        OpenDeviceCalls();  // as EKLVInitialize does
        SetDeviceOperations(&manager_);
    }
    void TearDown() override {
        CloseDeviceCalls();
        DrainDeviceCalls(0);
        SetDeviceOperations(nullptr);
        CKLVMessageLogger::UnInitialize();
    }
    test::ModuleFolder dir_{test::VerboseLogIni()};
    FakeManager manager_;
};

TEST_F(OpcodeTest, BlocksCarryTheArguments) {
    EKLVCallBlock block{};
    block.device_id = 7;
    block.word2 = 0xFFFF;  // never read by device opcodes
    std::uint32_t result = 99;
    char data[4] = {'A', 'T', '\r', 0};

    block.u.write = {0x1000, data, 3};
    EXPECT_EQ(api::OnCall(EKLV_OP_WRITE_DATA, &block, &result), 0u);
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(manager_.last, (Call{"write", 7, 0, 0, 3, 0x1000, data}));

    std::uint32_t length = 4;
    block.u.read = {0x1004, data, &length};
    EXPECT_EQ(api::OnCall(EKLV_OP_READ_DATA, &block, &result), 0u);
    EXPECT_EQ(manager_.last, (Call{"read", 7, 0, 0, 4, 0x1004, data}));
    EXPECT_EQ(length, 2u);

    block.u.open = {INF_UART, 0};
    EXPECT_EQ(api::OnCall(EKLV_OP_OPEN_DEVICE, &block, &result), 0u);
    EXPECT_EQ(manager_.last, (Call{"open", 7, INF_UART, 1})) << "the opcode always opens synchronously";
    EXPECT_EQ(block.u.open.handle, 0x4242u);

    block.u.baud = {INF_DATA, 115200};
    EXPECT_EQ(api::OnCall(EKLV_OP_SET_BAUD_RATE, &block, &result), 0u);
    EXPECT_EQ(manager_.last, (Call{"baud", 7, INF_DATA, 0, 115200}));

    EKLVStringInit(&block.u.com_port.port);
    block.u.com_port.interface_type = INF_UART;
    EXPECT_EQ(api::OnCall(EKLV_OP_GET_COM_PORT, &block, &result), 0u);
    EXPECT_STREQ(EKLVStringGet(&block.u.com_port.port), "ttyACM3");
    EKLVStringFree(&block.u.com_port.port);

    EKLVStringInit(&block.u.product.product);
    EXPECT_EQ(api::OnCall(EKLV_OP_GET_PRODUCT_STRING, &block, &result), 0u);
    EXPECT_STREQ(EKLVStringGet(&block.u.product.product), "Phone X");
    EKLVStringFree(&block.u.product.product);

    manager_.answer = 3;
    EXPECT_EQ(api::OnCall(EKLV_OP_CLOSE_DEVICE, &block, &result), 5u);
    EXPECT_EQ(result, 3u) << "the operation's own code goes to the result";
    EXPECT_NE(dir_.ReadLogs().find("[DID 7] EKLVCloseDevice (->), 3"), std::string::npos);

    // The logging opcode replaces both settings (their write-back is
    // checked through eklvctl's log command).
    block.u.logging = {0x4, 0};
    EXPECT_EQ(api::OnCall(EKLV_OP_SET_CORE_LOGGING, &block, &result), 0u);
    EXPECT_EQ(result, 0u);
    LogSettings now = CKLVMessageLogger::GetInstance()->GetLogging();
    EXPECT_TRUE(now.level_mask == 4u && now.flush == 0u) << now.level_mask << " " << now.flush;
}

TEST_F(OpcodeTest, FailedStringQueriesLeaveTheStringAlone) {
    manager_.answer = 3;
    EKLVString port;
    EKLVStringInit(&port);
    EXPECT_EQ(api::GetComPort(5, INF_UART, &port), 3u);
    EXPECT_EQ(port.text, nullptr);
    EKLVString s{};  // a string without allocator is never written
    manager_.answer = 0;
    EXPECT_EQ(api::GetProductStringDescriptor(5, &s), 0u);
    EXPECT_EQ(s.text, nullptr);
}

TEST_F(OpcodeTest, NotificationWithoutProcessingAnswers1) {
    EKLVNotificationBlock block{};
    block.device_id = 12;
    EXPECT_EQ(api::Notification(&block), 1u);
    EXPECT_EQ(api::Notification(nullptr), 1u);
    std::string log = dir_.ReadLogs();
    EXPECT_NE(log.find("[DID 12] EKLVNotification (->), 1"), std::string::npos);
    EXPECT_NE(log.find("[------] EKLVNotification (->), 1"), std::string::npos);
}

}  // namespace
}  // namespace eklv
