#include "discovery/device_id_mgr.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <set>
#include <vector>

#include "core/path_utils.h"
#include "core/settings.h"
#include "discovery/device_enumeration.h"
#include "discovery/name_rules.h"
#include "discovery/usb_utilities.h"
#include "log/message_logger.h"
#include "platform/devtree.h"
#include "platform/folders.h"
#include "platform/module.h"
#include "platform/profile.h"

namespace eklv {
namespace {

CKLVDeviceIdMgr* g_instance = nullptr;

// EKLVInitialize keeps the manager when a later step fails before the
// supervisor exists, and then nothing uninitialises it: it goes at unload.
struct DeviceIdMgrReaper {
    ~DeviceIdMgrReaper() {
        delete g_instance;
        g_instance = nullptr;
    }
} g_reaper;

std::atomic<IKLVSessionLookup*> g_session_lookup{nullptr};

// Numbers root hubs without a configured root TID; changed only under
// TIDMapLock, never reset by UnInitialize.
std::uint32_t g_next_root_tid = 0;

// The profile functions read sections through buffers of this size.
constexpr std::uint32_t kSectionBufferSize = 512;
constexpr std::uint32_t kWhenBufferSize = 60;     // 59 characters
constexpr std::uint32_t kRootTidBufferSize = 12;  // 11 characters

void Log(std::uint32_t level, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void Log(std::uint32_t level, const char* format, ...) {
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    LogMessage(kNoDevice, level, kCatGeneral, "%s", message);
}

// The NUL-separated list of a profile section read.
std::vector<std::string> SplitList(const char* buffer, std::uint32_t length) {
    std::vector<std::string> items;
    std::uint32_t pos = 0;
    while (pos < length && buffer[pos] != '\0') {
        std::string item(buffer + pos);
        pos += static_cast<std::uint32_t>(item.size()) + 1;
        items.push_back(std::move(item));
    }
    return items;
}

// The device id of a configured line's value: the number before the first
// comma; a value without a comma gives 0.
std::uint16_t ConfiguredId(const std::string& value) {
    std::size_t comma = value.find(',');
    if (comma == std::string::npos) return 0;
    return static_cast<std::uint16_t>(std::atoi(value.substr(0, comma).c_str()));
}

std::size_t CountDots(const std::string& text) {
    std::size_t dots = 0;
    for (char c : text) dots += c == '.';
    return dots;
}

}  // namespace

CKLVDeviceIdMgr* CKLVDeviceIdMgr::GetInstance() { return g_instance; }

void CKLVDeviceIdMgr::SetSessionLookup(IKLVSessionLookup* lookup) { g_session_lookup.store(lookup); }

void CKLVDeviceIdMgr::ResetRootTIDCounter() { g_next_root_tid = 0; }

bool CKLVDeviceIdMgr::FindConfigPath() {
    std::string folder;
    bool found = true;
    if (IsVistaOrLater()) {
        Log(kLogInfo, "CKLVDeviceIdMgr::Initialize - Catch Win7");
        folder = pf::GetCommonAppDataFolder();
        if (folder.empty()) {
            Log(kLogError, "CKLVDeviceIdMgr::Initialize - (Win7)SHGetFolderPath failed");
            found = false;
        }
    } else {
        folder = pf::GetProgramFilesFolder();
        found = !folder.empty();
        Log(kLogInfo, "CKLVDeviceIdMgr::Initialize - Catch WinXP");
    }
    const char sep = pf::PathSeparator();
    if (!folder.empty() && folder.back() == sep) folder.pop_back();
    std::string path = folder;
    for (const char* part : {"Common Files", "Norvanta Shared", "KVTSDK", "USBConnectivityConfig.ini"}) {
        path += sep;
        path += part;
    }
    {
        pf::ScopedLock lock(tid_map_lock_);
        config_file_path_ = path;
    }
    Log(kLogInfo, "CKLVDeviceIdMgr::Initialize - DAT file Path[%s]", path.c_str());
    return found;
}

std::string CKLVDeviceIdMgr::ConfigFilePath() const {
    auto* self = const_cast<CKLVDeviceIdMgr*>(this);
    pf::ScopedLock lock(self->tid_map_lock_);
    return config_file_path_;
}

std::uint32_t CKLVDeviceIdMgr::Initialize() {
    if (g_instance != nullptr) {
        Log(kLogInfo, "CKLVDeviceIdMgr::Initialize finished");
        return 0;
    }
    g_instance = new (std::nothrow) CKLVDeviceIdMgr;
    if (g_instance == nullptr) {
        Log(kLogError, "CKLVDeviceIdMgr::Initialize - Failed");
        return 1;
    }
    CKLVDeviceIdMgr& self = *g_instance;
    int mode = 0;
    if (GetIniInt("Configuration", "EKLV_DEVICEID_OPTION", &mode) == kIniOk) {
        self.mode_ = static_cast<std::uint32_t>(mode);
        Log(kLogInfo, "CKLVDeviceIdMgr::Initialize - Overloaded Mode = (%#04x)", self.mode_);
    } else {
        self.mode_ = kDeviceIdModeTopology;
        Log(kLogInfo, "CKLVDeviceIdMgr::Initialize - Default Mode = (%#04x)", self.mode_);
    }

    // Every present hub is mapped, even after one fails, so that a failed
    // start (which leaves the manager in place) still knows the others.
    std::vector<std::string> hubs = EnumDeviceInterfaces(kGuidUsbHubInterface, false);
    bool failed = hubs.empty();
    for (const std::string& hub : hubs)
        if (self.AddHubToTIDMap(hub) == 0) failed = true;
    if (failed) {
        Log(kLogError, "CKLVDeviceIdMgr::Initialize - Failed");
        return 1;
    }
    if (self.mode_ != kDeviceIdModeTopology) {
        Log(kLogInfo, "CKLVDeviceIdMgr::Initialize finished");
        return 0;
    }

    bool folder_found = self.FindConfigPath();
    std::string path = self.ConfigFilePath();
    if (!folder_found || !pf::FileExists(path)) {
        Log(kLogInfo, "CKLVDeviceIdMgr::Initialize - No DAT file existed");
    } else {
        // Device ids decide which phone a station talks to.
        if (pf::IsWritableByOthers(path))
            Log(kLogWarning, "CKLVDeviceIdMgr::Initialize - [%s] may be changed by any user: remove the write access "
                             "of others", path.c_str());
        char when[kWhenBufferSize] = {};
        pf::GetPrivateProfileStringA("HISTORY", "when", "", when, sizeof when, path);
        if (when[0] == '\0')
            Log(kLogError, "CKLVDeviceIdMgr::Initialize - NOT DAT2");
        else
            self.LoadConfiguredDeviceId();
    }
    Log(kLogInfo, "CKLVDeviceIdMgr::Initialize finished");
    return 0;
}

void CKLVDeviceIdMgr::UnInitialize() {
    if (g_instance == nullptr) return;
    {
        pf::ScopedLock tid_lock(g_instance->tid_map_lock_);
        pf::ScopedLock id_lock(g_instance->device_id_map_lock_);
        g_instance->tid_map_.clear();
        g_instance->device_id_map_.clear();
    }
    delete g_instance;
    g_instance = nullptr;
    Log(kLogInfo, "CKLVDeviceIdMgr::UnInitialize - OK");
}

std::uint32_t CKLVDeviceIdMgr::LoadConfiguredDeviceId() {
    const std::string path = ConfigFilePath();  // read first: TIDMapLock is never taken after DeviceIdMapLock
    pf::ScopedLock lock(device_id_map_lock_);
    char names[kSectionBufferSize] = {};
    std::uint32_t length = pf::GetPrivateProfileSectionNamesA(names, sizeof names, path);
    for (const std::string& section : SplitList(names, length)) {
        // Profile section names match without regard to case.
        if (EqualsNoCase(section, "ROOT_TID") || EqualsNoCase(section, "HISTORY")) continue;
        char lines[kSectionBufferSize] = {};
        std::uint32_t size = pf::GetPrivateProfileSectionA(section.c_str(), lines, sizeof lines, path);
        for (const std::string& line : SplitList(lines, size)) {
            std::size_t equals = line.find('=');
            if (equals == std::string::npos) continue;
            std::string tid = line.substr(0, equals);
            std::uint16_t id = ConfiguredId(line.substr(equals + 1));
            device_id_map_[tid] = id;  // a repeated TID keeps the last value
            Log(kLogInfo, "CKLVDeviceIdMgr::LoadConfiguredDeviceId - (%s, %d)", tid.c_str(), id);
        }
    }
    return 1;
}

std::uint32_t CKLVDeviceIdMgr::AllocateRootTID(const std::string& controller_id, std::string* tid) {
    if (!FindConfigPath()) {
        Log(kLogError, "CKLVDeviceIdMgr::AllocateRootTID - Can NOT get USBConnectivityConfig.ini full path");
        return 0;
    }
    // Root TIDs the configuration gives to other controllers, by value.
    std::map<std::string, std::string> taken;
    if (mode_ == kDeviceIdModeTopology) {
        char configured[kRootTidBufferSize] = {};
        pf::GetPrivateProfileStringA("ROOT_TID", controller_id.c_str(), "", configured, sizeof configured,
                                     ConfigFilePath());
        if (configured[0] != '\0') {
            *tid = configured;
            Log(kLogInfo, "CKLVDeviceIdMgr::AllocateRootTID - %s: %s", controller_id.c_str(), tid->c_str());
            return 1;
        }
        std::vector<char> lines(16 * kSectionBufferSize, '\0');
        std::uint32_t size = pf::GetPrivateProfileSectionA("ROOT_TID", lines.data(),
                                                           static_cast<std::uint32_t>(lines.size()), ConfigFilePath());
        for (const std::string& line : SplitList(lines.data(), size)) {
            std::size_t equals = line.find('=');
            if (equals == std::string::npos || EqualsNoCase(line.substr(0, equals), controller_id)) continue;
            taken.emplace(line.substr(equals + 1), line.substr(0, equals));
        }
    }
    pf::ScopedLock lock(tid_map_lock_);
    // Numbered from 0 upward, past the numbers configured for others: two
    // controllers with one root TID would give their phones the same TIDs.
    for (;;) {
        *tid = std::to_string(g_next_root_tid++);
        auto owner = taken.find(*tid);
        if (owner == taken.end()) break;
        Log(kLogWarning, "CKLVDeviceIdMgr::AllocateRootTID - root TID %s of %s is configured for %s, skipped",
            tid->c_str(), controller_id.c_str(), owner->second.c_str());
    }
    Log(kLogInfo, "CKLVDeviceIdMgr::AllocateRootTID - %s: %s", controller_id.c_str(), tid->c_str());
    return 1;
}

std::uint32_t CKLVDeviceIdMgr::AddHubToTIDMap(const std::string& hub_name) {
    pf::ScopedLock lock(tid_map_lock_);
    std::string hub_id;
    if (CKLVUSBUtilities::GetDeviceInstanceID(hub_name, &hub_id) != kUsbOk) return 0;
    pf::DevInst node = 0, parent = 0;
    if (pf::CM_Locate_DevNodeA(&node, hub_id.c_str(), pf::kCmLocateDevNodeNormal) != pf::kCrSuccess) return 0;
    if (pf::CM_Get_Parent(&parent, node, 0) != pf::kCrSuccess) return 0;
    std::vector<char> buffer(513, '\0');
    if (pf::CM_Get_Device_IDA(parent, buffer.data(), 512, 0) != pf::kCrSuccess) return 0;
    const std::string parent_id = LowerCopy(buffer.data());

    if (Contains(parent_id, "pci")) {
        // A root hub.
        if (tid_map_.count(hub_name) == 0) {
            std::string tid;
            if (AllocateRootTID(parent_id, &tid) == 1) {
                tid_map_[hub_name] = tid;
                Log(kLogInfo, "CKLVDeviceIdMgr::AddHubToTIDMap - %s: %s", hub_name.c_str(), tid.c_str());
            }
        }
        return 1;
    }
    // The parent is a hub: map the chain from the root down first.
    const std::string parent_name = SymbolicNameOf(parent_id, kUsbHubClassText);
    int port = -1;
    if (CKLVUSBUtilities::GetDeviceConnectionIndex(hub_name, parent_name, &port, true) != kUsbOk) return 0;
    if (AddHubToTIDMap(parent_name) == 0) return 0;
    auto parent_entry = tid_map_.find(parent_name);
    if (parent_entry == tid_map_.end()) return 0;
    if (tid_map_.count(hub_name) == 0) {
        std::string tid = parent_entry->second + "." + std::to_string(port);
        tid_map_[hub_name] = tid;
        Log(kLogInfo, "CKLVDeviceIdMgr::AddHubToTIDMap - %s: %s", hub_name.c_str(), tid.c_str());
    }
    return 1;
}

std::uint32_t CKLVDeviceIdMgr::GetDeviceTID(const std::string& name, std::string* tid) {
    pf::ScopedLock lock(tid_map_lock_);
    tid->clear();
    if (Contains(name, kUsbHubClassText)) {
        auto hub = tid_map_.find(name);
        if (hub != tid_map_.end()) {
            *tid = hub->second;
            return 1;
        }
    }
    std::string hub_name;
    if (CKLVUSBUtilities::GetParentHubSymbolicName(name, &hub_name) != kUsbOk) return 0;
    hub_name = LowerCopy(hub_name);
    int port = -1;
    if (CKLVUSBUtilities::GetDeviceConnectionIndex(name, hub_name, &port, false) != kUsbOk) return 0;
    auto hub = tid_map_.find(hub_name);
    if (hub == tid_map_.end()) return 0;
    *tid = hub->second + "." + std::to_string(port);
    return 1;
}

std::uint16_t CKLVDeviceIdMgr::AllocUSBDeviceID(const std::string& device_name, std::uint16_t record_device_id) {
    std::uint16_t id = kNoDeviceId;
    std::string tid;
    if (GetDeviceTID(device_name, &tid) == 1) {
        if (mode_ == kDeviceIdModeRecord) {
            id = record_device_id;
        } else if (mode_ == kDeviceIdModeSessions) {
            IKLVSessionLookup* sessions = g_session_lookup.load();
            std::uint16_t found = 0;
            if (sessions != nullptr && sessions->FindDeviceIdByTID(tid, &found)) {
                id = found;
            } else {
                for (std::uint16_t candidate = 0; candidate <= kMaxDeviceId; ++candidate) {
                    if (sessions == nullptr || !sessions->HasSessionWithDeviceId(candidate)) {
                        id = candidate;
                        break;
                    }
                }
            }
        } else if (mode_ == kDeviceIdModeTopology) {
            pf::ScopedLock lock(device_id_map_lock_);
            auto entry = device_id_map_.find(tid);
            if (entry != device_id_map_.end()) {
                id = entry->second;
            } else {
                std::set<std::uint16_t> held;
                for (const auto& [key, value] : device_id_map_) held.insert(value);
                std::uint32_t candidate = 0;
                while (held.count(static_cast<std::uint16_t>(candidate)) != 0 && candidate <= kMaxDeviceId) ++candidate;
                if (candidate <= kMaxDeviceId) {
                    id = static_cast<std::uint16_t>(candidate);
                    device_id_map_[tid] = id;
                    Log(kLogInfo, "CKLVDeviceIdMgr::AllocUSBDeviceID - (%s, %d) added", tid.c_str(), id);
                }
            }
        }
    }
    Log(kLogInfo, "CKLVDeviceIdMgr::AllocUSBDeviceID - DevId = (%d), TID = (%s)", id, tid.c_str());
    return id;
}

std::uint32_t CKLVDeviceIdMgr::AddRemoveUSBHub(const std::string& hub_name, bool removed) {
    pf::ScopedLock lock(tid_map_lock_);
    const std::string name = LowerCopy(hub_name);
    if (!removed) return AddHubToTIDMap(name);
    auto hub = tid_map_.find(name);
    if (hub == tid_map_.end()) return 0;
    const std::string hub_tid = hub->second;
    if (mode_ == kDeviceIdModeTopology) {
        pf::ScopedLock id_lock(device_id_map_lock_);
        // A plain prefix test: removing hub 1 also drops 10.1.1; entries of
        // root-hub ports (one dot) stay.
        for (auto entry = device_id_map_.begin(); entry != device_id_map_.end();) {
            if (CountDots(entry->first) >= 2 && entry->first.compare(0, hub_tid.size(), hub_tid) == 0) {
                Log(kLogInfo, "CKLVDeviceIdMgr::AddRemoveUSBHub - (%s, %d) removed", entry->first.c_str(),
                    entry->second);
                entry = device_id_map_.erase(entry);
            } else {
                ++entry;
            }
        }
    }
    tid_map_.erase(hub);
    Log(kLogInfo, "CKLVDeviceIdMgr::AddRemoveUSBHub - (%s, %s) removed", name.c_str(), hub_tid.c_str());
    return 0;
}

std::map<std::string, std::string> CKLVDeviceIdMgr::TIDMapSnapshot() {
    pf::ScopedLock lock(tid_map_lock_);
    return {tid_map_.begin(), tid_map_.end()};
}

std::map<std::string, std::uint16_t> CKLVDeviceIdMgr::DeviceIdMapSnapshot() {
    pf::ScopedLock lock(device_id_map_lock_);
    return {device_id_map_.begin(), device_id_map_.end()};
}

}  // namespace eklv
