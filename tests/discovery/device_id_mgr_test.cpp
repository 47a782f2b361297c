// Topology ids and device ids on the umockdev rig, with and without
// USBConnectivityConfig.ini, in each id mode, and hub removal.
#include "discovery/device_id_mgr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "discovery/standard_rig.h"
#include "discovery/topology_memo.h"
#include "discovery/usb_utilities.h"

namespace eklv {
namespace {


constexpr const char* kConfigFile = "Common Files/Norvanta Shared/KVTSDK/USBConnectivityConfig.ini";

// A rig, an eklv.ini, and the common data folder, all fresh; the manager
// is stopped afterwards.
class DeviceIdTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("EKLV_COMMON_APPDATA", shared.path().c_str(), 1);
        CKLVDeviceIdMgr::ResetRootTIDCounter();
    }
    void TearDown() override {
        CKLVDeviceIdMgr::UnInitialize();
        unsetenv("EKLV_COMMON_APPDATA");
    }
    CKLVDeviceIdMgr& Start(const std::string& ini = "") {
        folder.WriteIni(test::kStandardIni + ini);
        EXPECT_EQ(CKLVDeviceIdMgr::Initialize(), 0u);
        return *CKLVDeviceIdMgr::GetInstance();
    }
    // Writes USBConnectivityConfig.ini.
    void Configure(const std::string& text) {
        std::filesystem::create_directories(shared.File("Common Files/Norvanta Shared/KVTSDK"));
        shared.Write(kConfigFile, text);
    }
    std::string Tid(const std::string& name) {
        std::string tid;
        CKLVDeviceIdMgr::GetInstance()->GetDeviceTID(name, &tid);
        return tid;
    }

    test::StandardRig s;
    test::DiscoveryFolder folder;
    test::TempFolder shared;
};

TEST_F(DeviceIdTest, RootTidsHubChainsAndAllocation) {
    CKLVDeviceIdMgr& mgr = Start();
    EXPECT_EQ(mgr.TIDMapSnapshot(), (std::map<std::string, std::string>{{s.rig.HubName(s.root1), "0"},
                                                                        {s.rig.HubName(s.root2), "1"},
                                                                        {s.rig.HubName(s.hub), "0.3"},
                                                                        {s.rig.HubName(s.inner_hub), "0.3.4"}}));
    EXPECT_EQ(Tid(s.ModemName()), "0.3.4.2");
    EXPECT_EQ(Tid(s.MtpName()), "0.3.4.2");
    EXPECT_EQ(Tid(s.SingleName()), "1.1");

    EXPECT_EQ(mgr.AllocUSBDeviceID(s.ModemName(), 77), 0);
    EXPECT_EQ(mgr.AllocUSBDeviceID(s.SingleName(), 77), 1);
    EXPECT_EQ(mgr.AllocUSBDeviceID(s.MtpName(), 77), 0);  // same port, same id
    {
        // One handling of a device change finds the hub and port once; the
        // next one asks again.
        CKLVTopologyMemo handling;
        EXPECT_EQ(Tid(s.SingleName()), "1.1");
        s.rig.Unplug(s.single);
        EXPECT_EQ(Tid(s.SingleName()), "1.1");
    }
    EXPECT_EQ(mgr.AllocUSBDeviceID(s.SingleName(), 77), kNoDeviceId);

    EXPECT_EQ(folder.CountLines("CKLVDeviceIdMgr::Initialize - No DAT file existed"), 1);
    EXPECT_EQ(folder.CountLines("CKLVDeviceIdMgr::AllocUSBDeviceID - (0.3.4.2, 0) added"), 1);

    CKLVDeviceIdMgr::UnInitialize();
    // The root counter is process-wide: a new start numbers on.
    Start();
    EXPECT_EQ(Tid(s.ModemName()), "2.3.4.2");
}

TEST_F(DeviceIdTest, ConfiguredRootTidsAndDeviceIds) {
    Configure("[HISTORY]\nwhen=2024-01-02\n[ROOT_TID]\npci\\0000:00:14.0=5\n"
              "[PORTS]\n5.3.4.2=7,first\n5.1=3\nno equals sign\n9.9=0,a\n9.8=1,a\n9.7=3,a\n[MORE]\n5.1=9,last wins\n");
    CKLVDeviceIdMgr& mgr = Start();
    EXPECT_EQ(Tid(s.ModemName()), "5.3.4.2");
    EXPECT_EQ(mgr.AllocUSBDeviceID(s.SingleName(), 0), 9);  // the later section wins
    EXPECT_EQ(mgr.DeviceIdMapSnapshot().count("no equals sign"), 0u);
    // Unconfigured ports take the lowest free ids: 0, 1 and 3 are held.
    auto extra = s.rig.AddSinglePhone(s.inner_hub, 1, 0x6b4d, 0x2002, test::RigInterface::Modem("ttyACM1"));
    auto extra2 = s.rig.AddSinglePhone(s.inner_hub, 3, 0x6b4d, 0x2002, test::RigInterface::Modem("ttyACM2"));
    EXPECT_EQ(mgr.AllocUSBDeviceID(s.rig.DeviceName(extra, test::kRigClassComPort), 0), 2);
    EXPECT_EQ(mgr.AllocUSBDeviceID(s.rig.DeviceName(extra2, test::kRigClassComPort), 0), 4);
    EXPECT_EQ(folder.CountLines("CKLVDeviceIdMgr::LoadConfiguredDeviceId - (5.1, 0)"), 1);  // no comma: 0
    EXPECT_EQ(folder.CountLines("CKLVDeviceIdMgr::Initialize - DAT file Path[" + shared.File(kConfigFile) + "]"), 3);
}

// Only the first controller is configured, with the root TID the second
// would be numbered: the second skips it, so the phones of the two never
// share a TID.
TEST_F(DeviceIdTest, UnconfiguredControllerSkipsConfiguredRootTids) {
    Configure("[HISTORY]\nwhen=2024-01-02\n[ROOT_TID]\nPCI\\0000:00:14.0=0\n");
    auto other = s.rig.AddRootHub(s.rig.AddPciController("0000:00:1d.0"), 3);
    CKLVDeviceIdMgr& mgr = Start();
    EXPECT_EQ(mgr.TIDMapSnapshot().at(s.rig.HubName(s.root1)), "0");
    EXPECT_EQ(mgr.TIDMapSnapshot().at(s.rig.HubName(other)), "1");
    EXPECT_EQ(folder.CountLines("is configured for PCI\\0000:00:14.0, skipped"), 1);
}

TEST_F(DeviceIdTest, ConfigurationWithoutHistory) {
    Configure("[HISTORY]\nwhen=\n[ROOT_TID]\npci\\0000:00:14.0=12345678901234\n[PORTS]\n12345678901.1=4,x\n");
    CKLVDeviceIdMgr& mgr = Start();
    // ROOT_TID is still read (cut to 11 characters); the id lines are not.
    EXPECT_EQ(Tid(s.SingleName()), "12345678901.1");
    EXPECT_TRUE(mgr.DeviceIdMapSnapshot().empty());
    EXPECT_EQ(folder.CountLines("CKLVDeviceIdMgr::Initialize - NOT DAT2"), 1);
}

// Phone 0.3.4.2 holds a session with id 5; ids 0, 1 and 5 are in use.
class SessionsStub : public IKLVSessionLookup {
public:
    bool FindDeviceIdByTID(const std::string& tid, std::uint16_t* id) override {
        if (tid == "0.3.4.2") *id = 5;
        return tid == "0.3.4.2";
    }
    bool HasSessionWithDeviceId(std::uint16_t id) override { return id == 0 || id == 1 || id == 5; }
};

TEST_F(DeviceIdTest, RecordAndSessionModes) {
    auto mode = [&](int option) -> CKLVDeviceIdMgr& {
        CKLVDeviceIdMgr::UnInitialize();
        return Start("[Configuration]\nEKLV_DEVICEID_OPTION=" + std::to_string(option) + "\n");
    };
    CKLVDeviceIdMgr& record = mode(16);
    EXPECT_EQ(record.AllocUSBDeviceID(s.ModemName(), 42), 42);
    EXPECT_TRUE(record.DeviceIdMapSnapshot().empty());
    EXPECT_EQ(folder.CountLines("CKLVDeviceIdMgr::Initialize - Overloaded Mode = (0x10)"), 1);
    EXPECT_EQ(folder.CountLines("No DAT file existed"), 0);  // only mode 2 reads the file

    SessionsStub sessions;
    CKLVDeviceIdMgr::SetSessionLookup(&sessions);
    CKLVDeviceIdMgr::ResetRootTIDCounter();
    CKLVDeviceIdMgr& live = mode(32);
    EXPECT_EQ(live.AllocUSBDeviceID(s.ModemName(), 0), 5);
    EXPECT_EQ(live.AllocUSBDeviceID(s.SingleName(), 0), 2);
    CKLVDeviceIdMgr::SetSessionLookup(nullptr);
    EXPECT_EQ(live.AllocUSBDeviceID(s.SingleName(), 0), 0);  // no session list: no sessions
    EXPECT_EQ(folder.CountLines("Overloaded Mode = (0x20)"), 1);
    EXPECT_EQ(mode(2).AllocUSBDeviceID(s.ModemName(), 0), 0);
    EXPECT_EQ(folder.CountLines("Overloaded Mode = (0x02)"), 1);
    EXPECT_EQ(mode(7).AllocUSBDeviceID(s.ModemName(), 3), kNoDeviceId);
}

TEST_F(DeviceIdTest, HubRemovalAndReplug) {
    Configure("[HISTORY]\nwhen=now\n[PORTS]\n1.2.1=4,x\n10.1.1=5,x\n1.4=6,x\n1.1.1=8,x\n");
    CKLVDeviceIdMgr& mgr = Start();
    EXPECT_EQ(mgr.AllocUSBDeviceID(s.SingleName(), 0), 0);  // 1.1
    EXPECT_EQ(mgr.AllocUSBDeviceID(s.ModemName(), 0), 1);   // 0.3.4.2

    // Removing usb2 (TID 1) drops 1.2.1 and, by the plain prefix, 10.1.1;
    // ports of root hubs (one dot) stay.
    EXPECT_EQ(mgr.AddRemoveUSBHub(s.rig.HubName(s.root2), true), 0u);
    EXPECT_EQ(mgr.DeviceIdMapSnapshot(), (std::map<std::string, std::uint16_t>{{"1.4", 6}, {"1.1", 0}, {"0.3.4.2", 1}}));
    EXPECT_EQ(folder.CountLines("CKLVDeviceIdMgr::AddRemoveUSBHub - (10.1.1, 5) removed"), 1);
    EXPECT_EQ(folder.CountLines("CKLVDeviceIdMgr::AddRemoveUSBHub - (" + s.rig.HubName(s.root2) + ", 1) removed"), 1);
    EXPECT_EQ(mgr.AddRemoveUSBHub(s.rig.HubName(s.root2), true), 0u);  // unknown now: nothing happens
    EXPECT_EQ(folder.CountLines("AddRemoveUSBHub - (" + s.rig.HubName(s.root2)), 1);

    // The inner hub goes and comes back, its arrival named as enumerated
    // (the manager lower-cases it). Ids of a re-plugged hub's ports on a
    // real tree are the kernel rig's.
    s.rig.Unplug(s.inner_hub);
    EXPECT_EQ(mgr.AddRemoveUSBHub(s.rig.HubName(s.inner_hub), true), 0u);
    EXPECT_EQ(mgr.DeviceIdMapSnapshot().count("0.3.4.2"), 0u);
    s.rig.Plug(s.inner_hub);
    EXPECT_EQ(mgr.AddRemoveUSBHub(test::Upper(s.rig.HubName(s.inner_hub)), false), 1u);
    EXPECT_EQ(mgr.TIDMapSnapshot().at(s.rig.HubName(s.inner_hub)), "0.3.4");
}

// The utilities are called from any thread while the device-change thread
// maps hubs and allocates ids.
TEST_F(DeviceIdTest, QueriesFromSeveralThreads) {
    CKLVDeviceIdMgr& mgr = Start();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                std::string hub, text;
                int port = 0;
                if (CKLVUSBUtilities::GetParentHubSymbolicName(s.ModemName(), &hub) != kUsbOk ||
                    CKLVUSBUtilities::GetDeviceConnectionIndex(s.ModemName(), hub, &port, false) != kUsbOk ||
                    CKLVUSBUtilities::GetStringDescriptor(s.SingleName(), kStringProduct, &text, 0) != kUsbOk)
                    ++failures;
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 20; ++i) {
            if (mgr.AllocUSBDeviceID(s.ModemName(), 0) != 0) ++failures;
            mgr.AddRemoveUSBHub(s.rig.HubName(s.root2), true);
            mgr.AddRemoveUSBHub(s.rig.HubName(s.root2), false);
        }
    });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace eklv
