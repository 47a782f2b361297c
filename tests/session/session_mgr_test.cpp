// The session manager's device operations and session table on a session
// whose interface is a pty (no device tree: umockdev's preload would hide
// the pty, and the testbed's own ttys answer no termios requests).
#include "session/session_mgr.h"

#include <gtest/gtest.h>

#include <string>

#include "discovery/discovery_folder.h"
#include "notify/interface_types.h"
#include "platform/serial.h"
#include "support/modem_emulator.h"
#include "transport/usb_session.h"

namespace eklv {
namespace {

class SessionMgrTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder.WriteIni("[INF_SETTINGS]\nINF_DATA=USB Modem\n");
        ASSERT_EQ(CKLVSessionMgr::Initialize(false), 0u);
        manager = CKLVSessionMgr::GetInstance();
    }
    void TearDown() override { CKLVSessionMgr::UnInitialize(); }
    test::DiscoveryFolder folder;
    CKLVSessionMgr* manager = nullptr;
};

// A session adopted into the table, its interface a pty with a modem on the
// far end, and every device operation on it.
TEST_F(SessionMgrTest, DeviceOperationsOnAnAdoptedSession) {
    test::ModemEmulator modem;
    ASSERT_TRUE(modem.ok());
    DeviceSessionInfo info;
    info.TID = "9.9";
    info.DeviceId = 21;
    info.ProductString = "Phone";
    auto* session = new CEKLVUSBSession;
    session->SetSessionInfo(info);
    ASSERT_EQ(session->AddInterface(modem.PortName(), "USB Modem"), kInfData);
    bool adopted = false;
    ASSERT_EQ(manager->AdoptSession(session, info, &adopted), 0u);
    EXPECT_TRUE(adopted);
    CEKLVUSBSession twin;  // same TID: declined, left to its owner
    EXPECT_EQ(manager->AdoptSession(&twin, info, &adopted), 0u);
    EXPECT_FALSE(adopted);
    info.TID = "9.8";
    EXPECT_EQ(manager->AdoptSession(nullptr, info, &adopted), 1u);

    pf::Handle handle = 0;
    EXPECT_EQ(manager->OpenDeviceInterface(0x00FF0015, kInfData, &handle, 1), 0u) << "upper bits ignored";
    ASSERT_NE(handle, pf::kInvalidHandle);
    std::uint32_t rate = 115200;
    EXPECT_EQ(manager->SetBaudRate(21, kInfData, &rate), 0u);
    pf::Dcb dcb{};
    ASSERT_TRUE(pf::GetCommState(handle, &dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(manager->SetBaudRate(21, kInfUart, &rate), 8u);

    EXPECT_EQ(manager->WriteData(21, handle, "AT\r", 3), 0u);
    ASSERT_TRUE(modem.WaitForCommands(1, 5000));
    EXPECT_EQ(modem.Commands()[0], "AT");
    std::string reply;
    for (int i = 0; i < 50 && reply.find("OK") == std::string::npos; ++i) {
        char buffer[16];
        std::uint32_t length = sizeof buffer;
        ASSERT_EQ(manager->ReadData(21, handle, buffer, &length), 0u);
        reply.append(buffer, length);
    }
    EXPECT_NE(reply.find("OK"), std::string::npos);

    std::string product;
    EXPECT_EQ(manager->GetProductStringDescriptor(21, &product), 0u);
    EXPECT_EQ(product, "Phone");
    char buffer[4];
    std::uint32_t length = sizeof buffer;
    EXPECT_EQ(manager->ReadData(22, pf::kInvalidHandle, buffer, &length), 2u) << "the handle test comes first";
    EXPECT_EQ(manager->OpenDeviceInterface(22, kInfData, &handle, 1), 3u);
    EXPECT_EQ(handle, pf::kInvalidHandle);
    EXPECT_EQ(manager->CloseDeviceInterface(21, kInfData), 0u);
    EXPECT_EQ(manager->CloseDeviceInterface(21, kInfData), 8u);
    EXPECT_EQ(manager->SetBaudRate(21, kInfData, &rate), 2u) << "known but closed";
    EXPECT_EQ(manager->SetBaudRate(22, kInfData, &rate), 3u);
    EXPECT_EQ(folder.CountLines("[DID 22] CKLVSessionMgr::SetBaudRate = (115200)"), 1);
    EXPECT_EQ(folder.CountLines("[DID 21] CKLVSessionMgr::OpenDeviceInterface - (32770), handle = (0x"), 1);
    EXPECT_EQ(folder.CountLines("|AdoptSession| - Session has been created."), 1);
    EXPECT_EQ(folder.CountLines("|InsertSession| - NULL session pointer"), 1);
}

}  // namespace
}  // namespace eklv
