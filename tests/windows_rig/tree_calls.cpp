// The Windows calls of eklv.dll's device path, answered from the active
// UsbTree with the results, last errors and buffer rules of Windows 8 and
// later. Each stand-in has the system function's own type (checked below),
// so that the DLL's import table can be pointed at it on both architectures.
#include <windows.h>
#include <cfgmgr32.h>
#include <dbt.h>
#include <rpc.h>
#include <setupapi.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <type_traits>

#include "platform/module.h"
#include "windows_rig/import_table.h"
#include "windows_rig/usb_tree.h"

namespace eklv::test {
namespace {

constexpr DWORD kNodeInformation = 0x220408;
constexpr DWORD kConnectionInformation = 0x22040C;
constexpr DWORD kDescriptorFromConnection = 0x220410;
constexpr DWORD kDriverKeyName = 0x220420;
constexpr DWORD kConnectionInformationEx = 0x220448;
constexpr ULONG_PTR kStatusSuccess = 0;
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kStatusUnsuccessful = 0xC0000001;
constexpr ULONG_PTR kStatusCancelled = 0xC0000120;

bool SameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string ClassText(const GUID& g) {
    static_assert(sizeof(GUID) == sizeof(pf::Guid));
    return "{" + pf::GuidToString(reinterpret_cast<const pf::Guid&>(g)) + "}";
}

GUID ClassGuid(const std::string& text) {
    GUID g{};
    std::string bare = text.substr(1, text.size() - 2);
    ::UuidFromStringA(reinterpret_cast<RPC_CSTR>(bare.data()), &g);
    return g;
}

void Put16(BYTE* at, unsigned value) {
    at[0] = static_cast<BYTE>(value & 0xFF);
    at[1] = static_cast<BYTE>(value >> 8);
}
void Put32(BYTE* at, unsigned value) {
    Put16(at, value & 0xFFFF);
    Put16(at + 2, value >> 16);
}
unsigned Get32(const BYTE* at) { return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<unsigned>(at[3]) << 24); }

}  // namespace

struct UsbTree::PendingRequest {
    HANDLE handle;
    NodeId hub;
    DWORD code;
    std::vector<BYTE> in;
    BYTE* out;
    DWORD out_size;
    OVERLAPPED* overlapped;
    DWORD thread;
    enum class State { kPending, kDone, kDropped } state = State::kPending;
};

struct UsbTree::Calls {
    // The answer of a hub request; the Windows error (0 on success).
    static DWORD HubAnswer(UsbTree& t, NodeId hub, DWORD code, const BYTE* in, DWORD in_size, BYTE* out,
                           DWORD out_size, DWORD* returned) {
        *returned = 0;
        const Node& h = t.Get(hub);
        if (h.fail_requests) return ERROR_GEN_FAILURE;
        if (code == kNodeInformation) {
            constexpr DWORD kSize = 76;  // USB_NODE_INFORMATION
            if (out == nullptr || out_size < kSize) return ERROR_INSUFFICIENT_BUFFER;
            std::memset(out, 0, kSize);
            out[4] = 9;     // bDescriptorLength
            out[5] = 0x29;  // hub descriptor
            out[6] = static_cast<BYTE>(h.ports);
            *returned = kSize;
            return 0;
        }
        if (in == nullptr || in_size < 4 || out == nullptr) return ERROR_INVALID_PARAMETER;
        const int port = static_cast<int>(Get32(in));
        if (port < 1 || port > h.ports) return ERROR_INVALID_PARAMETER;
        const NodeId device = t.DeviceOnPort(hub, port);
        if (code == kConnectionInformation || code == kConnectionInformationEx) {
            constexpr DWORD kSize = 35;  // without the pipe list
            if (out_size < kSize) return ERROR_INSUFFICIENT_BUFFER;
            std::memset(out, 0, kSize);
            Put32(out, static_cast<unsigned>(port));
            if (device >= 0) {
                const Node& d = t.Get(device);
                std::memcpy(out + 4, d.descriptors.data(), 18);
                out[22] = 1;  // CurrentConfigurationValue
                out[23] = code == kConnectionInformationEx ? 2 : 0;
                out[24] = d.kind == Kind::kHub ? 1 : 0;
                Put16(out + 25, static_cast<unsigned>(device));
                Put32(out + 31, 1);  // DeviceConnected
            }
            *returned = kSize;
            return 0;
        }
        if (code == kDriverKeyName) {
            if (out_size < 10) return ERROR_INSUFFICIENT_BUFFER;
            if (device < 0) return ERROR_INVALID_PARAMETER;
            const std::string& key = t.Get(device).driver_key;
            if (key.empty()) return ERROR_NOT_FOUND;  // no driver installed for it yet
            const DWORD actual = static_cast<DWORD>(8 + (key.size() + 1) * 2);
            std::vector<BYTE> full(actual, 0);
            Put32(full.data(), static_cast<unsigned>(port));
            Put32(full.data() + 4, actual);
            for (std::size_t i = 0; i < key.size(); ++i) Put16(full.data() + 8 + 2 * i, static_cast<BYTE>(key[i]));
            *returned = std::min(actual, out_size);
            std::memcpy(out, full.data(), *returned);
            return 0;
        }
        if (code == kDescriptorFromConnection) {
            if (in_size < 12 || out_size < 12) return ERROR_INSUFFICIENT_BUFFER;
            if (device < 0) return ERROR_GEN_FAILURE;
            const Node& d = t.Get(device);
            const unsigned value = in[6] | (in[7] << 8);
            const unsigned length = in[10] | (in[11] << 8);
            std::vector<BYTE> data;
            const unsigned type = value >> 8, index = value & 0xFF;
            if (type == 1) {
                data.assign(d.descriptors.begin(), d.descriptors.begin() + 18);
            } else if (type == 2) {
                data.assign(d.descriptors.begin() + 18, d.descriptors.end());
            } else if (type == 3 && index == 0) {
                data = {4, 3, 0x09, 0x04};
            } else if (type == 3) {
                std::string text;
                if (!RigStringText(d.strings, d.functions, static_cast<int>(index), &text)) return ERROR_GEN_FAILURE;
                data = {static_cast<BYTE>(2 + 2 * text.size()), 3};
                for (char c : text) data.insert(data.end(), {static_cast<BYTE>(c), 0});
            } else {
                return ERROR_GEN_FAILURE;  // the device stalls the request
            }
            std::vector<BYTE> header(in, in + 12);
            const DWORD copied = static_cast<DWORD>(
                std::min<std::size_t>({data.size(), length, static_cast<std::size_t>(out_size - 12)}));
            std::memcpy(out, header.data(), 12);
            std::memcpy(out + 12, data.data(), copied);
            *returned = 12 + copied;
            return 0;
        }
        return ERROR_INVALID_FUNCTION;
    }

    static void Complete(PendingRequest& r, ULONG_PTR status, DWORD bytes) {
        r.overlapped->InternalHigh = bytes;
        r.overlapped->Internal = status;
        ::SetEvent(r.overlapped->hEvent);
        r.state = PendingRequest::State::kDone;
    }

    // ---- Configuration Manager ----
    static NodeId NodeOf(DEVINST dn) { return static_cast<NodeId>(dn) - 1; }
    static DEVINST Inst(NodeId n) { return static_cast<DEVINST>(n + 1); }
    static bool Valid(UsbTree& t, DEVINST dn) {
        return dn >= 1 && NodeOf(dn) < static_cast<NodeId>(t.nodes_.size()) && t.Present(NodeOf(dn));
    }

    static CONFIGRET WINAPI LocateDevNode(PDEVINST pdn, DEVINSTID_A id, ULONG) {
        UsbTree& t = *Active();
        std::lock_guard<std::mutex> lock(t.mutex_);
        if (pdn == nullptr) return CR_INVALID_POINTER;
        *pdn = 0;
        NodeId n = id == nullptr || *id == '\0' ? 0 : t.FindInstance(id);
        if (n < 0) return CR_NO_SUCH_DEVNODE;
        *pdn = Inst(n);
        return CR_SUCCESS;
    }

    enum class Relative { kParent, kChild, kSibling };
    static CONFIGRET Related(PDEVINST pdn, DEVINST dn, Relative which) {
        UsbTree& t = *Active();
        std::lock_guard<std::mutex> lock(t.mutex_);
        if (pdn == nullptr) return CR_INVALID_POINTER;
        *pdn = 0;
        if (!Valid(t, dn)) return CR_INVALID_DEVNODE;
        const NodeId n = NodeOf(dn);
        NodeId found = -1;
        if (which == Relative::kParent) {
            found = t.Get(n).parent;
        } else if (which == Relative::kChild) {
            for (NodeId c : t.Get(n).children)
                if (found < 0 && t.Present(c)) found = c;
        } else if (n > 0) {
            const auto& siblings = t.Get(t.Get(n).parent).children;
            auto it = std::find(siblings.begin(), siblings.end(), n);
            for (++it; it != siblings.end() && found < 0; ++it)
                if (t.Present(*it)) found = *it;
        }
        if (found < 0) return CR_NO_SUCH_DEVNODE;
        *pdn = Inst(found);
        return CR_SUCCESS;
    }
    static CONFIGRET WINAPI GetParent(PDEVINST pdn, DEVINST dn, ULONG) { return Related(pdn, dn, Relative::kParent); }
    static CONFIGRET WINAPI GetChild(PDEVINST pdn, DEVINST dn, ULONG) { return Related(pdn, dn, Relative::kChild); }
    static CONFIGRET WINAPI GetSibling(PDEVINST pdn, DEVINST dn, ULONG) {
        return Related(pdn, dn, Relative::kSibling);
    }

    static CONFIGRET WINAPI GetDeviceId(DEVINST dn, PCHAR buffer, ULONG length, ULONG) {
        UsbTree& t = *Active();
        std::lock_guard<std::mutex> lock(t.mutex_);
        if (buffer == nullptr) return CR_INVALID_POINTER;
        if (!Valid(t, dn)) return CR_INVALID_DEVNODE;
        const std::string& id = t.Get(NodeOf(dn)).instance_id;
        if (length < id.size() + 1) return CR_BUFFER_SMALL;
        std::memcpy(buffer, id.c_str(), id.size() + 1);
        return CR_SUCCESS;
    }

    static CONFIGRET WINAPI GetProperty(DEVINST dn, ULONG property, PULONG type, PVOID buffer, PULONG length, ULONG) {
        UsbTree& t = *Active();
        std::lock_guard<std::mutex> lock(t.mutex_);
        if (length == nullptr) return CR_INVALID_POINTER;
        if (!Valid(t, dn)) return CR_INVALID_DEVNODE;
        const UsbTree::Node& n = t.Get(NodeOf(dn));
        const std::string* value = property == CM_DRP_DEVICEDESC ? &n.description
                                   : property == CM_DRP_SERVICE  ? &n.service
                                   : property == CM_DRP_DRIVER   ? &n.driver_key
                                                                 : nullptr;
        if (value == nullptr || value->empty()) return CR_NO_SUCH_VALUE;
        const ULONG needed = static_cast<ULONG>(value->size() + 1);
        if (type != nullptr) *type = REG_SZ;
        if (buffer == nullptr || *length < needed) {
            *length = needed;
            return CR_BUFFER_SMALL;
        }
        std::memcpy(buffer, value->c_str(), needed);
        *length = needed;
        return CR_SUCCESS;
    }

    // ---- Setup API ----
    static DeviceSet* Set(UsbTree& t, HDEVINFO set) {
        auto it = t.sets_.find(set);
        return it == t.sets_.end() ? nullptr : it->second.get();
    }
    static HDEVINFO NewSet(UsbTree& t, std::unique_ptr<DeviceSet> set) {
        void* handle = set.get();
        t.sets_[handle] = std::move(set);
        return handle;
    }

    static HDEVINFO WINAPI GetClassDevs(const GUID* class_guid, PCSTR enumerator, HWND, DWORD flags) {
        UsbTree& t = *Active();
        std::unique_lock<std::mutex> lock(t.mutex_);
        if (class_guid != nullptr && enumerator == nullptr) {
            auto hook = t.when_listed_.find(ClassText(*class_guid));
            if (hook != t.when_listed_.end()) {
                std::function<void()> action = std::move(hook->second);
                t.when_listed_.erase(hook);
                lock.unlock();
                action();
                lock.lock();
            }
        }
        if (class_guid == nullptr || (flags & DIGCF_DEVICEINTERFACE) == 0) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        auto set = std::make_unique<DeviceSet>();
        set->class_text = ClassText(*class_guid);
        const std::string scope = enumerator != nullptr ? enumerator : "";
        for (NodeId n = 0; n < static_cast<NodeId>(t.nodes_.size()); ++n) {
            if (!t.Present(n)) continue;
            const UsbTree::Node& node = t.Get(n);
            const bool in_scope = scope.empty() || SameText(node.instance_id, scope) ||
                                  SameText(node.instance_id.substr(0, scope.size() + 1), scope + "\\");
            if (!in_scope) continue;
            for (const Interface& i : node.interfaces)
                if (SameText(i.class_text, set->class_text)) set->interfaces.push_back({n, i});
        }
        return NewSet(t, std::move(set));
    }

    static HDEVINFO WINAPI CreateList(const GUID*, HWND, PCSTR, PVOID) {
        UsbTree& t = *Active();
        std::lock_guard<std::mutex> lock(t.mutex_);
        return NewSet(t, std::make_unique<DeviceSet>());
    }

    static BOOL WINAPI DestroyList(HDEVINFO set) {
        UsbTree& t = *Active();
        std::lock_guard<std::mutex> lock(t.mutex_);
        if (t.sets_.erase(set) == 0) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return TRUE;
    }

    static void FillInterface(const Interface& i, DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
        data->InterfaceClassGuid = ClassGuid(i.class_text);
        data->Flags = SPINT_ACTIVE;
        data->Reserved = index + 1;
    }
    static bool FillDevice(NodeId n, PSP_DEVINFO_DATA device) {
        if (device == nullptr) return true;
        if (device->cbSize != sizeof(SP_DEVINFO_DATA)) return false;
        device->ClassGuid = GUID{};
        device->DevInst = Inst(n);
        device->Reserved = 0;
        return true;
    }

    static BOOL WINAPI EnumInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                                      PSP_DEVICE_INTERFACE_DATA data) {
        UsbTree& t = *Active();
        std::lock_guard<std::mutex> lock(t.mutex_);
        DeviceSet* s = Set(t, set);
        if (s == nullptr) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
            ::SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        if (index >= s->interfaces.size()) {
            ::SetLastError(ERROR_NO_MORE_ITEMS);
            return FALSE;
        }
        FillInterface(s->interfaces[index].second, index, data);
        return TRUE;
    }

    static BOOL WINAPI InterfaceDetail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                       PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, PDWORD required,
                                       PSP_DEVINFO_DATA device) {
        UsbTree& t = *Active();
        std::lock_guard<std::mutex> lock(t.mutex_);
        DeviceSet* s = Set(t, set);
        if (s == nullptr || data == nullptr || data->Reserved == 0 || data->Reserved > s->interfaces.size()) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const auto& [node, i] = s->interfaces[data->Reserved - 1];
        const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                                                i.name.size() + 1);
        if (required != nullptr) *required = needed;
        if (!FillDevice(node, device)) {
            ::SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        if (detail == nullptr || size < needed) {
            ::SetLastError(detail == nullptr && size != 0 ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
            ::SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        // Windows gives device paths in lower case (broadcasts name them as
        // registered, in upper case).
        std::string path = i.name;
        for (char& c : path) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
        return TRUE;
    }

    static BOOL WINAPI OpenInfo(HDEVINFO set, PCSTR instance_id, HWND, DWORD, PSP_DEVINFO_DATA device) {
        UsbTree& t = *Active();
        std::lock_guard<std::mutex> lock(t.mutex_);
        DeviceSet* s = Set(t, set);
        if (s == nullptr || instance_id == nullptr) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const NodeId n = t.FindInstance(instance_id);
        if (n < 0) {
            ::SetLastError(ERROR_NO_SUCH_DEVINST);
            return FALSE;
        }
        if (!FillDevice(n, device)) {
            ::SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        s->devices.push_back(n);
        return TRUE;
    }

    static BOOL WINAPI OpenInterface(HDEVINFO set, PCSTR path, DWORD, PSP_DEVICE_INTERFACE_DATA data) {
        UsbTree& t = *Active();
        std::lock_guard<std::mutex> lock(t.mutex_);
        DeviceSet* s = Set(t, set);
        if (s == nullptr || path == nullptr) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        for (NodeId n = 0; n < static_cast<NodeId>(t.nodes_.size()); ++n) {
            if (!t.Present(n)) continue;
            for (const Interface& i : t.Get(n).interfaces) {
                if (!SameText(i.name, path)) continue;
                if (data != nullptr && data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
                    ::SetLastError(ERROR_INVALID_USER_BUFFER);
                    return FALSE;
                }
                s->interfaces.push_back({n, i});
                if (data != nullptr) FillInterface(i, static_cast<DWORD>(s->interfaces.size() - 1), data);
                return TRUE;
            }
        }
        ::SetLastError(ERROR_NO_SUCH_DEVICE_INTERFACE);
        return FALSE;
    }

    static HKEY WINAPI OpenDevKey(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD, DWORD, DWORD key_type, REGSAM) {
        UsbTree& t = *Active();
        std::lock_guard<std::mutex> lock(t.mutex_);
        if (Set(t, set) == nullptr || device == nullptr || key_type != DIREG_DEV || !Valid(t, device->DevInst)) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return static_cast<HKEY>(INVALID_HANDLE_VALUE);
        }
        auto* key = new int(0);
        t.keys_[key] = NodeOf(device->DevInst);
        return reinterpret_cast<HKEY>(key);
    }

    // ---- registry: the device key's PortName ----
    static LONG WINAPI QueryValue(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
        UsbTree& t = *Active();
        {
            std::lock_guard<std::mutex> lock(t.mutex_);
            auto it = t.keys_.find(key);
            if (it != t.keys_.end()) {
                const UsbTree::Node& n = t.Get(it->second);
                if (name == nullptr || !SameText(name, "PortName") || !n.port_name || n.com_port.empty())
                    return ERROR_FILE_NOT_FOUND;
                const DWORD needed = static_cast<DWORD>(n.com_port.size() + 1);
                if (type != nullptr) *type = REG_SZ;
                if (data == nullptr) {
                    if (size != nullptr) *size = needed;
                    return ERROR_SUCCESS;
                }
                if (size == nullptr) return ERROR_INVALID_PARAMETER;
                if (*size < needed) {
                    *size = needed;
                    return ERROR_MORE_DATA;
                }
                std::memcpy(data, n.com_port.c_str(), needed);
                *size = needed;
                return ERROR_SUCCESS;
            }
        }
        return ::RegQueryValueExA(key, name, reserved, type, data, size);
    }

    static LONG WINAPI CloseKey(HKEY key) {
        UsbTree& t = *Active();
        {
            std::lock_guard<std::mutex> lock(t.mutex_);
            auto it = t.keys_.find(key);
            if (it != t.keys_.end()) {
                delete static_cast<int*>(it->first);
                t.keys_.erase(it);
                return ERROR_SUCCESS;
            }
        }
        return ::RegCloseKey(key);
    }

    // ---- hubs and COM ports by name ----
    static HANDLE WINAPI CreateFile(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                    DWORD disposition, DWORD flags, HANDLE templ) {
        UsbTree& t = *Active();
        std::string port;
        if (name != nullptr && std::strncmp(name, "\\\\?\\", 4) == 0) {
            std::lock_guard<std::mutex> lock(t.mutex_);
            for (NodeId n = 0; n < static_cast<NodeId>(t.nodes_.size()); ++n) {
                const UsbTree::Node& node = t.Get(n);
                for (const Interface& i : node.interfaces) {
                    if (!SameText(i.name, name)) continue;
                    if (!t.Present(n)) {
                        ::SetLastError(ERROR_FILE_NOT_FOUND);
                        return INVALID_HANDLE_VALUE;
                    }
                    if (SameText(i.class_text, kRigClassUsbHub)) {
                        HANDLE stand_in = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
                        t.hub_handles_[stand_in] = {n, (flags & FILE_FLAG_OVERLAPPED) != 0};
                        return stand_in;
                    }
                    if (SameText(i.class_text, kRigClassComPort)) port = "\\\\.\\" + node.com_port;
                }
            }
        }
        return ::CreateFileA(port.empty() ? name : port.c_str(), access, share, security, disposition, flags, templ);
    }

    static BOOL WINAPI IoControl(HANDLE handle, DWORD code, LPVOID in, DWORD in_size, LPVOID out, DWORD out_size,
                                 LPDWORD returned, LPOVERLAPPED overlapped) {
        UsbTree& t = *Active();
        std::unique_lock<std::mutex> lock(t.mutex_);
        auto it = t.hub_handles_.find(handle);
        if (it == t.hub_handles_.end()) {
            lock.unlock();
            return ::DeviceIoControl(handle, code, in, in_size, out, out_size, returned, overlapped);
        }
        const HubHandle hub = it->second;
        if (hub.overlapped && overlapped != nullptr && t.pending_delay_ms_ >= 0) {
            auto r = std::make_shared<PendingRequest>();
            r->handle = handle;
            r->hub = hub.hub;
            r->code = code;
            r->in.assign(static_cast<BYTE*>(in), static_cast<BYTE*>(in) + in_size);
            r->out = static_cast<BYTE*>(out);
            r->out_size = out_size;
            r->overlapped = overlapped;
            r->thread = ::GetCurrentThreadId();
            overlapped->Internal = kStatusPending;
            overlapped->InternalHigh = 0;
            ::ResetEvent(overlapped->hEvent);
            t.pending_.push_back(r);
            ++t.pending_answered_;
            const int delay = t.pending_delay_ms_;
            const bool fail = t.pending_fail_descriptors_ && code == kDescriptorFromConnection;
            t.completions_.emplace_back([&t, r, delay, fail] {
                std::this_thread::sleep_for(std::chrono::milliseconds(delay));
                std::lock_guard<std::mutex> done(t.mutex_);
                if (r->state != PendingRequest::State::kPending) return;
                DWORD bytes = 0;
                DWORD error = fail ? ERROR_GEN_FAILURE
                                   : HubAnswer(t, r->hub, r->code, r->in.data(), static_cast<DWORD>(r->in.size()),
                                               r->out, r->out_size, &bytes);
                Complete(*r, error == 0 ? kStatusSuccess : kStatusUnsuccessful, bytes);
            });
            ::SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        DWORD bytes = 0;
        DWORD error = HubAnswer(t, hub.hub, code, static_cast<BYTE*>(in), in_size, static_cast<BYTE*>(out), out_size,
                                &bytes);
        if (returned != nullptr) *returned = bytes;
        if (overlapped != nullptr) {
            overlapped->InternalHigh = bytes;
            overlapped->Internal = error == 0 ? kStatusSuccess : kStatusUnsuccessful;
            if (overlapped->hEvent != nullptr) ::SetEvent(overlapped->hEvent);
        }
        if (error != 0) ::SetLastError(error);
        return error == 0;
    }

    // Ends the pending requests of a hub handle that match as cancelled;
    // how many.
    static int Cancel(UsbTree& t, HANDLE handle, LPOVERLAPPED overlapped, bool this_thread) {
        int cancelled = 0;
        for (auto& r : t.pending_) {
            if (r->handle != handle || r->state != PendingRequest::State::kPending) continue;
            if (overlapped != nullptr && r->overlapped != overlapped) continue;
            if (this_thread && r->thread != ::GetCurrentThreadId()) continue;
            Complete(*r, kStatusCancelled, 0);
            ++cancelled;
        }
        return cancelled;
    }

    static BOOL WINAPI CancelIo(HANDLE handle) {
        UsbTree& t = *Active();
        {
            std::lock_guard<std::mutex> lock(t.mutex_);
            if (t.hub_handles_.count(handle) != 0) {
                Cancel(t, handle, nullptr, true);
                return TRUE;
            }
        }
        return ::CancelIo(handle);
    }

    static BOOL WINAPI CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped) {
        UsbTree& t = *Active();
        {
            std::lock_guard<std::mutex> lock(t.mutex_);
            if (t.hub_handles_.count(handle) != 0) {
                if (Cancel(t, handle, overlapped, false) > 0) return TRUE;
                ::SetLastError(ERROR_NOT_FOUND);
                return FALSE;
            }
        }
        return ::CancelIoEx(handle, overlapped);
    }

    // A hub handle closed with a request pending leaves the request to the
    // driver, which completes it into memory its caller has given up: on
    // Windows that is corruption, here it is counted and dropped.
    static BOOL WINAPI CloseHandle(HANDLE handle) {
        UsbTree& t = *Active();
        {
            std::lock_guard<std::mutex> lock(t.mutex_);
            auto it = t.hub_handles_.find(handle);
            if (it != t.hub_handles_.end()) {
                for (auto& r : t.pending_) {
                    if (r->handle != handle || r->state != PendingRequest::State::kPending) continue;
                    r->state = PendingRequest::State::kDropped;
                    ++t.abandoned_requests_;
                }
                t.hub_handles_.erase(it);
                return ::CloseHandle(handle);
            }
        }
        if (::CloseHandle(handle)) return TRUE;
        const DWORD error = ::GetLastError();
        if (error == ERROR_INVALID_HANDLE) {
            std::lock_guard<std::mutex> lock(t.mutex_);
            ++t.failed_closes_;
        }
        ::SetLastError(error);
        return FALSE;
    }

    // ---- device-interface broadcasts ----
    static HDEVNOTIFY WINAPI RegisterNotification(HANDLE recipient, LPVOID filter, DWORD flags) {
        UsbTree& t = *Active();
        auto* f = static_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(filter);
        if (f == nullptr || f->dbcc_devicetype != DBT_DEVTYP_DEVICEINTERFACE || flags != DEVICE_NOTIFY_WINDOW_HANDLE) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (!::IsWindow(static_cast<HWND>(recipient))) {
            ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        auto r = std::make_unique<Registration>(Registration{static_cast<HWND>(recipient), ClassText(f->dbcc_classguid)});
        std::lock_guard<std::mutex> lock(t.mutex_);
        HANDLE handle = r.get();
        t.registrations_[handle] = std::move(r);
        return handle;
    }

    static BOOL WINAPI UnregisterNotification(HDEVNOTIFY handle) {
        UsbTree& t = *Active();
        std::lock_guard<std::mutex> lock(t.mutex_);
        if (t.registrations_.erase(handle) == 0) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        return TRUE;
    }
};

#define EKLV_SAME_TYPE(stand_in, system) \
    static_assert(std::is_same_v<decltype(&UsbTree::Calls::stand_in), decltype(&::system)>, #system)
EKLV_SAME_TYPE(LocateDevNode, CM_Locate_DevNodeA);
EKLV_SAME_TYPE(GetParent, CM_Get_Parent);
EKLV_SAME_TYPE(GetChild, CM_Get_Child);
EKLV_SAME_TYPE(GetSibling, CM_Get_Sibling);
EKLV_SAME_TYPE(GetDeviceId, CM_Get_Device_IDA);
EKLV_SAME_TYPE(GetProperty, CM_Get_DevNode_Registry_PropertyA);
EKLV_SAME_TYPE(GetClassDevs, SetupDiGetClassDevsA);
EKLV_SAME_TYPE(CreateList, SetupDiCreateDeviceInfoListExA);
EKLV_SAME_TYPE(DestroyList, SetupDiDestroyDeviceInfoList);
EKLV_SAME_TYPE(EnumInterfaces, SetupDiEnumDeviceInterfaces);
EKLV_SAME_TYPE(InterfaceDetail, SetupDiGetDeviceInterfaceDetailA);
EKLV_SAME_TYPE(OpenInfo, SetupDiOpenDeviceInfoA);
EKLV_SAME_TYPE(OpenInterface, SetupDiOpenDeviceInterfaceA);
EKLV_SAME_TYPE(OpenDevKey, SetupDiOpenDevRegKey);
EKLV_SAME_TYPE(QueryValue, RegQueryValueExA);
EKLV_SAME_TYPE(CloseKey, RegCloseKey);
EKLV_SAME_TYPE(CreateFile, CreateFileA);
EKLV_SAME_TYPE(IoControl, DeviceIoControl);
EKLV_SAME_TYPE(CancelIo, CancelIo);
EKLV_SAME_TYPE(CancelIoEx, CancelIoEx);
EKLV_SAME_TYPE(CloseHandle, CloseHandle);
EKLV_SAME_TYPE(RegisterNotification, RegisterDeviceNotificationA);
EKLV_SAME_TYPE(UnregisterNotification, UnregisterDeviceNotification);
#undef EKLV_SAME_TYPE

int UsbTree::Install(HMODULE dll) {
    struct Entry {
        const char* dll;
        const char* function;
        const void* stand_in;
    };
    // The Configuration Manager's functions come in through setupapi.dll,
    // which forwards them to cfgmgr32.dll.
    const Entry entries[] = {
        {"SETUPAPI.dll", "CM_Locate_DevNodeA", reinterpret_cast<const void*>(&Calls::LocateDevNode)},
        {"SETUPAPI.dll", "CM_Get_Parent", reinterpret_cast<const void*>(&Calls::GetParent)},
        {"SETUPAPI.dll", "CM_Get_Child", reinterpret_cast<const void*>(&Calls::GetChild)},
        {"SETUPAPI.dll", "CM_Get_Sibling", reinterpret_cast<const void*>(&Calls::GetSibling)},
        {"SETUPAPI.dll", "CM_Get_Device_IDA", reinterpret_cast<const void*>(&Calls::GetDeviceId)},
        {"SETUPAPI.dll", "CM_Get_DevNode_Registry_PropertyA", reinterpret_cast<const void*>(&Calls::GetProperty)},
        {"SETUPAPI.dll", "SetupDiGetClassDevsA", reinterpret_cast<const void*>(&Calls::GetClassDevs)},
        {"SETUPAPI.dll", "SetupDiCreateDeviceInfoListExA", reinterpret_cast<const void*>(&Calls::CreateList)},
        {"SETUPAPI.dll", "SetupDiDestroyDeviceInfoList", reinterpret_cast<const void*>(&Calls::DestroyList)},
        {"SETUPAPI.dll", "SetupDiEnumDeviceInterfaces", reinterpret_cast<const void*>(&Calls::EnumInterfaces)},
        {"SETUPAPI.dll", "SetupDiGetDeviceInterfaceDetailA", reinterpret_cast<const void*>(&Calls::InterfaceDetail)},
        {"SETUPAPI.dll", "SetupDiOpenDeviceInfoA", reinterpret_cast<const void*>(&Calls::OpenInfo)},
        {"SETUPAPI.dll", "SetupDiOpenDeviceInterfaceA", reinterpret_cast<const void*>(&Calls::OpenInterface)},
        {"SETUPAPI.dll", "SetupDiOpenDevRegKey", reinterpret_cast<const void*>(&Calls::OpenDevKey)},
        {"ADVAPI32.dll", "RegQueryValueExA", reinterpret_cast<const void*>(&Calls::QueryValue)},
        {"ADVAPI32.dll", "RegCloseKey", reinterpret_cast<const void*>(&Calls::CloseKey)},
        {"KERNEL32.dll", "CreateFileA", reinterpret_cast<const void*>(&Calls::CreateFile)},
        {"KERNEL32.dll", "DeviceIoControl", reinterpret_cast<const void*>(&Calls::IoControl)},
        {"KERNEL32.dll", "CancelIo", reinterpret_cast<const void*>(&Calls::CancelIo)},
        {"KERNEL32.dll", "CancelIoEx", reinterpret_cast<const void*>(&Calls::CancelIoEx)},
        {"KERNEL32.dll", "CloseHandle", reinterpret_cast<const void*>(&Calls::CloseHandle)},
        {"USER32.dll", "RegisterDeviceNotificationA", reinterpret_cast<const void*>(&Calls::RegisterNotification)},
        {"USER32.dll", "UnregisterDeviceNotification", reinterpret_cast<const void*>(&Calls::UnregisterNotification)},
    };
    int rebound = 0;
    for (const Entry& e : entries) rebound += RebindImport(dll, e.dll, e.function, e.stand_in) != nullptr;
    return rebound;
}

void UsbTree::JoinCompletions() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        threads.swap(completions_);
    }
    for (std::thread& thread : threads) thread.join();
}

}  // namespace eklv::test
