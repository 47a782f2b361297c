// CKLVDeviceIdMgr: names every USB port by a topology id (TID) and maps
// TIDs to device ids, so the same port keeps the same id.
//
// Root hubs get a root TID (configured in USBConnectivityConfig.ini or
// counted 0, 1, 2, ...); a hub below a port gets its parent's TID, a dot
// and the port; a device's TID is its hub's TID, a dot and its port.
// Device ids then come from one of three modes (eklv.ini
// [Configuration] EKLV_DEVICEID_OPTION): 2 by TID from the topology map
// and the configuration file, 16 from the notification record, 32 from the
// live sessions.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

#include "platform/sync.h"

namespace eklv {

inline constexpr std::uint32_t kDeviceIdModeTopology = 2;
inline constexpr std::uint32_t kDeviceIdModeRecord = 16;
inline constexpr std::uint32_t kDeviceIdModeSessions = 32;
inline constexpr std::uint16_t kNoDeviceId = 65535;
inline constexpr std::uint16_t kMaxDeviceId = 999;

// The session list as mode 32 sees it. The session manager registers one
// with CKLVDeviceIdMgr::SetSessionLookup; without one, mode 32 sees no
// sessions. Called on the device-change thread without any lock of the
// device-id manager held.
class IKLVSessionLookup {
public:
    virtual ~IKLVSessionLookup() = default;
    // FindByTID: the device id of the session whose TID is tid.
    virtual bool FindDeviceIdByTID(const std::string& tid, std::uint16_t* device_id) = 0;
    // FindByDeviceId: whether some session has this device id.
    virtual bool HasSessionWithDeviceId(std::uint16_t device_id) = 0;
};

class CKLVDeviceIdMgr {
public:
    // 0 success, 1 failure (the singleton then stays, and a second
    // Initialize only answers 0).
    static std::uint32_t Initialize();
    static void UnInitialize();
    // The manager, or null.
    static CKLVDeviceIdMgr* GetInstance();

    // Registers the session list for mode 32 (not owned; null removes it).
    static void SetSessionLookup(IKLVSessionLookup* lookup);

    // Hub arrival (removed false): the result of AddHubToTIDMap. Removal:
    // forgets the hub and, in mode 2, the device ids below it; answers 0.
    std::uint32_t AddRemoveUSBHub(const std::string& hub_name, bool removed);
    // 1 when the hub (and the chain above it) is mapped, 0 on failure.
    std::uint32_t AddHubToTIDMap(const std::string& hub_name);
    // 1 with the root TID of the controller's root hub, 0 when the
    // configuration path cannot be had.
    std::uint32_t AllocateRootTID(const std::string& controller_id, std::string* tid);
    // 1 with the TID of the device's port (or of a mapped hub), else 0.
    std::uint32_t GetDeviceTID(const std::string& name, std::string* tid);
    // The device id for a notification record's device name and device id
    // field, or 65535.
    std::uint16_t AllocUSBDeviceID(const std::string& device_name, std::uint16_t record_device_id);
    std::uint32_t LoadConfiguredDeviceId();

    std::uint32_t DeviceIdMode() const { return mode_; }
    std::string ConfigFilePath() const;
    // Copies of the two maps, for diagnostics and tests.
    std::map<std::string, std::string> TIDMapSnapshot();
    std::map<std::string, std::uint16_t> DeviceIdMapSnapshot();

    // Restarts the numbering of unconfigured root hubs at 0. The counter
    // is process-wide and survives UnInitialize; tests that count from 0
    // call this first.
    static void ResetRootTIDCounter();

private:
    CKLVDeviceIdMgr() = default;
    // Finds the shared folder and sets the configuration path; false when
    // the folder cannot be had.
    bool FindConfigPath();

    pf::CriticalSection tid_map_lock_;        // TIDMapLock
    pf::CriticalSection device_id_map_lock_;  // DeviceIdMapLock; taken after tid_map_lock_
    std::unordered_map<std::string, std::string> tid_map_;
    std::unordered_map<std::string, std::uint16_t> device_id_map_;
    std::uint32_t mode_ = kDeviceIdModeTopology;
    std::string config_file_path_;
};

}  // namespace eklv
