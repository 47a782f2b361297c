#include "session/session.h"

#include <cstring>

#include "core/settings.h"
#include "discovery/name_rules.h"
#include "discovery/usb_utilities.h"
#include "log/message_logger.h"

namespace eklv {

bool SameInterfaceName(const std::string& a, const std::string& b) { return EqualsNoCase(a, b); }

CKLVSession::CKLVSession() = default;

CKLVSession::~CKLVSession() = default;

std::uint32_t CKLVSession::UpdateInterface(std::uint32_t type, const InterfaceRecord& record) {
    pf::ScopedLock lock(interface_lock_);
    if (type == INF_UNDEFINED) return EKLV_NOT_COMPLETED;
    for (auto& r : interfaces_) {
        if (r.Type == type) {
            r = record;
            return EKLV_OK;
        }
    }
    return EKLV_NOT_COMPLETED;
}

pf::Handle CKLVSession::OpenInterface(std::uint32_t, std::uint32_t) { return pf::kInvalidHandle; }

std::uint32_t CKLVSession::CloseInterface(std::uint32_t) { return EKLV_NOT_COMPLETED; }

std::uint32_t CKLVSession::SetSessionInfo(const DeviceSessionInfo& info) {
    tid_ = info.TID;
    product_id_ = info.ProductId;
    device_id_ = info.DeviceId;
    product_string_ = info.ProductString;
    return EKLV_OK;
}

std::uint32_t CKLVSession::GetInterfaces(std::vector<InterfaceRecord>* records) {
    pf::ScopedLock lock(interface_lock_);
    records->clear();
    if (interfaces_.empty()) return EKLV_NO_SUCH_INTERFACE;
    *records = interfaces_;
    return EKLV_OK;
}

std::uint32_t CKLVSession::GetInterface(std::uint32_t type, InterfaceRecord* record) {
    pf::ScopedLock lock(interface_lock_);
    if (type == INF_UNDEFINED) return EKLV_NOT_COMPLETED;
    for (const auto& r : interfaces_) {
        if (r.Type == type) {
            *record = r;
            return EKLV_OK;
        }
    }
    return EKLV_NOT_COMPLETED;
}

std::uint32_t CKLVSession::GetInterfaceCount() {
    pf::ScopedLock lock(interface_lock_);
    return static_cast<std::uint32_t>(interfaces_.size());
}

std::uint32_t CKLVSession::AddInterface(const std::string&, const std::string&) { return INF_UNDEFINED; }

void CKLVSession::CloseAllInterfaces() {}

std::uint32_t CKLVSession::ReadData(pf::Handle, void*, std::uint32_t*) { return EKLV_NO_PARAMETER_BLOCK; }

bool CKLVSession::WriteData(pf::Handle, const void*, std::uint32_t*) { return false; }

bool CKLVSession::GetInterfaceDescriptor(const std::string&, std::uint8_t*, int) { return false; }

std::uint16_t CKLVSession::GetDeviceId() { return device_id_; }

std::string CKLVSession::GetProductStringDescriptor() { return product_string_; }

std::string CKLVSession::GetText() { return {}; }

bool CKLVSession::Lock() {
    session_lock_.Enter();
    return true;
}

bool CKLVSession::Unlock() {
    session_lock_.Leave();
    return true;
}

std::uint32_t CKLVSession::RemoveInterface(const std::string& name, std::uint32_t* type) {
    pf::ScopedLock lock(interface_lock_);
    Lock();
    std::uint32_t removed = INF_UNDEFINED;
    for (auto it = interfaces_.begin(); it != interfaces_.end(); ++it) {
        if (!SameInterfaceName(it->InterfaceDBCCName, name)) continue;
        removed = it->Type;
        if (it->Handle != pf::kInvalidHandle) pf::CloseHandle(it->Handle);
        interfaces_.erase(it);
        break;
    }
    if (type) *type = removed;
    Unlock();
    return removed;
}

bool CKLVSession::HasInterface(const std::string& name) {
    pf::ScopedLock lock(interface_lock_);
    for (const auto& r : interfaces_) {
        LogMessage(device_id_, kLogInfo, kCatGeneral, "Compare %s to %s", name.c_str(), r.InterfaceDBCCName.c_str());
        if (SameInterfaceName(name, r.InterfaceDBCCName)) return true;
    }
    return false;
}

std::uint32_t CKLVSession::GetComPortName(std::string* out, const std::uint32_t* type) {
    InterfaceRecord record;
    std::uint32_t result;
    if (GetInterface(*type, &record) != EKLV_OK) {
        result = EKLV_NOT_COMPLETED;
    } else if (record.InterfaceDBCCName.empty()) {
        result = EKLV_NO_SUCH_INTERFACE;
    } else if (CKLVUSBUtilities::IsCompositeDevice(record.InterfaceDBCCName)) {
        std::string instance_id;
        std::string port;
        result = EKLV_NOT_COMPLETED;
        if (CKLVUSBUtilities::GetDeviceInstanceIDFromSymlic(record.InterfaceDBCCName, &instance_id) &&
            CKLVUSBUtilities::GetCOMFromDeviceInstanceID(instance_id, &port)) {
            *out = port;
            result = EKLV_OK;
        }
    } else {
        std::uint8_t* value = nullptr;
        std::uint32_t size = 0;
        std::uint32_t value_type = 0;
        result = CKLVUSBUtilities::GetCustomInterfaceProperty(record.InterfaceDBCCName, "PortName", &value, &size,
                                                              &value_type, device_id_);
        if (result == 0 && value != nullptr && size > 0 && (value_type == kRegSz || value_type == kRegExpandSz)) {
            std::string text(reinterpret_cast<const char*>(value), strnlen(reinterpret_cast<const char*>(value), size));
            if (!text.empty()) *out = text;
        }
        delete[] value;
    }
    if (result != 0)
        LogMessage(device_id_, kLogError, kCatGeneral, "CKLVSession::GetComPortName - failed to get com port");
    return result;
}

void CKLVSession::InitComPortConfig(pf::Dcb* dcb) {
    dcb->BaudRate = 921600;
    dcb->ByteSize = 8;
    dcb->StopBits = pf::kOneStopBit;
    dcb->fBinary = 0;
    dcb->fParity = 0;
    dcb->fOutxCtsFlow = 0;
    dcb->fOutxDsrFlow = 0;
    dcb->fDtrControl = 0;
    dcb->fOutX = 0;
    dcb->fInX = 0;
    dcb->fRtsControl = 0;

    // Each key that is present overrides its field; absent keys leave it.
    auto read = [](const char* key, auto apply) {
        int value = 0;
        if (GetIniInt("COM_PORT_SETTING", key, &value) == kIniOk) apply(static_cast<std::uint32_t>(value));
    };
    read("BauRate", [&](std::uint32_t v) { dcb->BaudRate = v; });
    read("ByteSize", [&](std::uint32_t v) { dcb->ByteSize = static_cast<std::uint8_t>(v); });
    read("fBinary", [&](std::uint32_t v) { dcb->fBinary = v & 1; });
    read("fDtrControl", [&](std::uint32_t v) { dcb->fDtrControl = v & 3; });
    read("fRtsControl", [&](std::uint32_t v) { dcb->fRtsControl = v & 3; });
    read("fOutxDsrFlow", [&](std::uint32_t v) { dcb->fOutxDsrFlow = v & 1; });
    read("fOutxCtsFlow", [&](std::uint32_t v) { dcb->fOutxCtsFlow = v & 1; });
    read("fOutX", [&](std::uint32_t v) { dcb->fOutX = v & 1; });
    read("fInX", [&](std::uint32_t v) { dcb->fInX = v & 1; });
    read("fParity", [&](std::uint32_t v) { dcb->fParity = v & 1; });
    read("StopBits", [&](std::uint32_t v) { dcb->StopBits = static_cast<std::uint8_t>(v); });

    LogMessage(device_id_, kLogInfo, kCatGeneral,
               "CKLVSession::InitComPortConfig - BaudRate[%d], ByteSize[%d], fBinary[%d], fDtrControl[%d], "
               "fRtsControl[%d], fOutxDsrFlow[%d], fOutxCtsFlow[%d], fOutX[%d], fInX[%d], fParity[%d], StopBits[%d]",
               static_cast<int>(dcb->BaudRate), dcb->ByteSize, static_cast<int>(dcb->fBinary),
               static_cast<int>(dcb->fDtrControl), static_cast<int>(dcb->fRtsControl),
               static_cast<int>(dcb->fOutxDsrFlow), static_cast<int>(dcb->fOutxCtsFlow), static_cast<int>(dcb->fOutX),
               static_cast<int>(dcb->fInX), static_cast<int>(dcb->fParity), dcb->StopBits);
}

void CKLVSession::DumpPacket(const void* bytes, std::uint32_t length) {
    static const char kHex[] = "0123456789abcdef";
    std::string line = "CKLVSession::DumpPacket - ";
    line.reserve(line.size() + 3 * static_cast<std::size_t>(length));
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    for (std::uint32_t i = 0; i < length; ++i) {
        line += kHex[p[i] >> 4];
        line += kHex[p[i] & 15];
        line += ' ';
    }
    LogMessage(device_id_, kLogError, kCatGeneral, "%s", line.c_str());
}

}  // namespace eklv
