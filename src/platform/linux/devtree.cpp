// Configuration Manager, Setup API and registry calls over the libudev
// device tree of udev_tree.h.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/devtree.h"
#include "platform/linux/kernel_object.h"
#include "platform/linux/udev_tree.h"

namespace eklv::pf {
namespace {

using lx::DeviceTree;
using lx::Node;
using lx::NodeKind;

std::string BraceFreeClassText(const Guid& guid) { return GuidToString(guid); }

bool ParseClassText(const std::string& text, Guid* guid) {
    return text.size() == 36 && UuidFromStringA(text.c_str(), guid);
}

// One device interface of a set: its class, its symbolic name and the
// node that exposes it.
struct InterfaceEntry {
    Guid interface_class;
    std::string symbolic_name;
    DevInst node;
};

class DevInfoSetObject : public lx::KernelObject {
public:
    std::vector<InterfaceEntry> interfaces;
};

class RegKeyObject : public lx::KernelObject {
public:
    explicit RegKeyObject(DevInst node) : node(node) {}
    DevInst node;
};

std::uint32_t CopyText(const std::string& text, std::uint32_t* reg_type, void* buffer, std::uint32_t* length) {
    std::uint32_t needed = static_cast<std::uint32_t>(text.size() + 1);
    if (reg_type != nullptr) *reg_type = kRegTypeSz;
    if (buffer == nullptr || *length < needed) {
        *length = needed;
        return kCrBufferSmall;
    }
    std::memcpy(buffer, text.c_str(), needed);
    *length = needed;
    return kCrSuccess;
}

std::uint32_t Related(DevInst* out, DevInst node, int relation) {
    if (out == nullptr) return kCrInvalidPointer;
    *out = 0;
    DeviceTree tree;
    Node current;
    if (!tree.Resolve(node, &current)) return kCrNoSuchDevNode;
    Node result;
    if (relation == 0) {
        if (!tree.Parent(current, &result)) return kCrNoSuchDevNode;
    } else if (relation == 1) {
        std::vector<Node> children = tree.Children(current);
        if (children.empty()) return kCrNoSuchDevNode;
        result = std::move(children.front());
    } else {
        Node parent;
        if (!tree.Parent(current, &parent)) return kCrNoSuchDevNode;
        std::vector<Node> siblings = tree.Children(parent);
        std::size_t i = 0;
        while (i < siblings.size() && siblings[i].syspath != current.syspath) ++i;
        if (i + 1 >= siblings.size()) return kCrNoSuchDevNode;
        result = std::move(siblings[i + 1]);
    }
    *out = DeviceTree::Handle(result);
    return kCrSuccess;
}

std::shared_ptr<DevInfoSetObject> LookupSet(DevInfoSet set) {
    auto object = lx::Lookup<DevInfoSetObject>(set);
    if (!object) SetLastError(kErrorInvalidHandle);
    return object;
}

bool InterfaceAt(DevInfoSet set, const DeviceInterfaceData* data, InterfaceEntry* entry) {
    auto object = LookupSet(set);
    if (!object) return false;
    if (data == nullptr || data->Reserved == 0 || data->Reserved > object->interfaces.size()) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    *entry = object->interfaces[data->Reserved - 1];
    return true;
}

void FillInterfaceData(const InterfaceEntry& entry, std::size_t index, DeviceInterfaceData* data) {
    data->InterfaceClassGuid = entry.interface_class;
    data->Flags = 1;  // SPINT_ACTIVE
    data->Reserved = index + 1;
}

void FillDevInfo(DevInst node, DevInfoData* device) {
    if (device == nullptr) return;
    device->ClassGuid = lx::kClassUsbDevice;
    device->DevInst = node;
    device->Reserved = node;
}

}  // namespace

std::uint32_t CM_Locate_DevNodeA(DevInst* node, const char* instance_id, std::uint32_t flags) {
    (void)flags;
    if (node == nullptr) return kCrInvalidPointer;
    *node = 0;
    const std::string id = instance_id != nullptr ? instance_id : "";
    if (!id.empty()) {
        lx::InstanceIdParts parts;
        if (!lx::SplitInstanceId(id, &parts)) return kCrInvalidDeviceId;
    }
    DeviceTree tree;
    Node found;
    if (!tree.Locate(id, &found)) return kCrNoSuchDevNode;
    *node = DeviceTree::Handle(found);
    return kCrSuccess;
}

std::uint32_t CM_Get_Parent(DevInst* parent, DevInst node, std::uint32_t flags) {
    (void)flags;
    return Related(parent, node, 0);
}

std::uint32_t CM_Get_Child(DevInst* child, DevInst node, std::uint32_t flags) {
    (void)flags;
    return Related(child, node, 1);
}

std::uint32_t CM_Get_Sibling(DevInst* sibling, DevInst node, std::uint32_t flags) {
    (void)flags;
    return Related(sibling, node, 2);
}

std::uint32_t CM_Get_Device_IDA(DevInst node, char* buffer, std::uint32_t length, std::uint32_t flags) {
    (void)flags;
    if (buffer == nullptr) return kCrInvalidPointer;
    std::string id;
    {
        DeviceTree tree;
        Node current;
        if (!tree.Resolve(node, &current)) return kCrNoSuchDevNode;
        id = tree.InstanceId(current);
    }
    if (length == 0) return kCrBufferSmall;
    if (id.size() + 1 > length) {
        std::memcpy(buffer, id.data(), length - 1);
        buffer[length - 1] = '\0';
        return kCrBufferSmall;
    }
    std::memcpy(buffer, id.c_str(), id.size() + 1);
    return kCrSuccess;
}

std::uint32_t CM_Get_DevNode_Registry_PropertyA(DevInst node, std::uint32_t property, std::uint32_t* reg_type,
                                                void* buffer, std::uint32_t* length, std::uint32_t flags) {
    (void)flags;
    if (length == nullptr) return kCrInvalidPointer;
    std::string text;
    {
        DeviceTree tree;
        Node current;
        if (!tree.Resolve(node, &current)) return kCrNoSuchDevNode;
        bool found = false;
        switch (property) {
            case kCmDrpDeviceDesc: found = tree.Description(current, &text); break;
            case kCmDrpService: found = tree.Service(current, &text); break;
            case kCmDrpDriver: found = tree.DriverKey(current, &text); break;
            default: break;
        }
        if (!found) return kCrNoSuchValue;
    }
    return CopyText(text, reg_type, buffer, length);
}

DevInfoSet SetupDiGetClassDevsA(const Guid* class_guid, const char* enumerator, std::uint32_t flags) {
    // Only the form the library uses: present device interfaces of a class.
    if (class_guid == nullptr || (flags & kDigcfDeviceInterface) == 0) {
        SetLastError(kErrorInvalidParameter);
        return kInvalidHandle;
    }
    DeviceTree tree;
    auto set = std::make_shared<DevInfoSetObject>();
    std::string class_text = BraceFreeClassText(*class_guid);
    auto add = [&](const Node& node) {
        std::string id = tree.InstanceId(node);
        set->interfaces.push_back({*class_guid, lx::SymbolicNameFromInstanceId(id, class_text), DeviceTree::Handle(node)});
    };
    std::string filter = enumerator != nullptr ? enumerator : "";
    if (filter.find('\\') != std::string::npos) {
        // One device instance. A device that is not present has no present
        // interfaces: the set is empty rather than an error.
        Node node;
        if (tree.Locate(filter, &node) && tree.Exposes(node, *class_guid)) add(node);
    } else {
        for (const Node& node : tree.NodesExposing(*class_guid)) {
            if (!filter.empty()) {
                lx::InstanceIdParts parts;
                if (!lx::SplitInstanceId(tree.InstanceId(node), &parts) || !lx::EqualsNoCase(parts.enumerator, filter))
                    continue;
            }
            add(node);
        }
    }
    Handle handle = lx::InsertObject(set);
    if (handle == kInvalidHandle) SetLastError(kErrorNotEnoughMemory);
    return handle;
}

DevInfoSet SetupDiCreateDeviceInfoListExA() {
    Handle handle = lx::InsertObject(std::make_shared<DevInfoSetObject>());
    if (handle == kInvalidHandle) SetLastError(kErrorNotEnoughMemory);
    return handle;
}

bool SetupDiDestroyDeviceInfoList(DevInfoSet set) {
    if (!LookupSet(set)) return false;
    return lx::RemoveObject(set);
}

bool SetupDiEnumDeviceInterfaces(DevInfoSet set, const DevInfoData* device, const Guid* class_guid,
                                 std::uint32_t index, DeviceInterfaceData* data) {
    auto object = LookupSet(set);
    if (!object) return false;
    if (class_guid == nullptr || data == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    if (data->cbSize != sizeof(DeviceInterfaceData)) {
        SetLastError(kErrorInvalidUserBuffer);
        return false;
    }
    std::uint32_t seen = 0;
    for (std::size_t i = 0; i < object->interfaces.size(); ++i) {
        const InterfaceEntry& entry = object->interfaces[i];
        if (!(entry.interface_class == *class_guid)) continue;
        if (device != nullptr && device->DevInst != entry.node) continue;
        if (seen++ == index) {
            FillInterfaceData(entry, i, data);
            return true;
        }
    }
    SetLastError(kErrorNoMoreItems);
    return false;
}

bool SetupDiGetDeviceInterfaceDetailA(DevInfoSet set, const DeviceInterfaceData* data,
                                      DeviceInterfaceDetailDataA* detail, std::uint32_t detail_size,
                                      std::uint32_t* required_size, DevInfoData* device) {
    InterfaceEntry entry;
    if (!InterfaceAt(set, data, &entry)) return false;
    if (device != nullptr && device->cbSize != sizeof(DevInfoData)) {
        SetLastError(kErrorInvalidUserBuffer);
        return false;
    }
    FillDevInfo(entry.node, device);
    std::uint32_t needed = static_cast<std::uint32_t>(offsetof(DeviceInterfaceDetailDataA, DevicePath) +
                                                      entry.symbolic_name.size() + 1);
    if (required_size != nullptr) *required_size = needed;
    if (detail == nullptr || detail_size < needed) {
        SetLastError(kErrorInsufficientBuffer);
        return false;
    }
    if (detail->cbSize != kDeviceInterfaceDetailDataSize) {
        SetLastError(kErrorInvalidUserBuffer);
        return false;
    }
    std::memcpy(detail->DevicePath, entry.symbolic_name.c_str(), entry.symbolic_name.size() + 1);
    return true;
}

bool SetupDiOpenDeviceInfoA(DevInfoSet set, const char* instance_id, std::uint32_t flags, DevInfoData* device) {
    (void)flags;
    auto object = LookupSet(set);
    if (!object) return false;
    if (instance_id == nullptr || device == nullptr || device->cbSize != sizeof(DevInfoData)) {
        SetLastError(device != nullptr && device->cbSize != sizeof(DevInfoData) ? kErrorInvalidUserBuffer
                                                                                : kErrorInvalidParameter);
        return false;
    }
    DeviceTree tree;
    Node node;
    if (*instance_id == '\0' || !tree.Locate(instance_id, &node)) {
        SetLastError(kErrorNoSuchDevinst);
        return false;
    }
    FillDevInfo(DeviceTree::Handle(node), device);
    return true;
}

bool SetupDiOpenDeviceInterfaceA(DevInfoSet set, const char* symbolic_name, std::uint32_t flags,
                                 DeviceInterfaceData* data) {
    (void)flags;
    auto object = LookupSet(set);
    if (!object) return false;
    if (symbolic_name == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    if (data != nullptr && data->cbSize != sizeof(DeviceInterfaceData)) {
        SetLastError(kErrorInvalidUserBuffer);
        return false;
    }
    std::string id, class_text;
    Guid interface_class{};
    DeviceTree tree;
    Node node;
    if (!lx::ParseSymbolicName(symbolic_name, &id, &class_text) || !ParseClassText(class_text, &interface_class) ||
        !tree.Locate(id, &node) || !tree.Exposes(node, interface_class)) {
        SetLastError(kErrorNoSuchDeviceInterface);
        return false;
    }
    object->interfaces.push_back(
        {interface_class, lx::SymbolicNameFromInstanceId(tree.InstanceId(node), lx::ToLower(class_text)),
         DeviceTree::Handle(node)});
    if (data != nullptr) FillInterfaceData(object->interfaces.back(), object->interfaces.size() - 1, data);
    return true;
}

RegKey SetupDiOpenDevRegKey(DevInfoSet set, const DevInfoData* device, std::uint32_t scope, std::uint32_t profile,
                            std::uint32_t key_type, std::uint32_t access) {
    (void)profile;
    (void)access;
    if (!LookupSet(set)) return kInvalidHandle;
    if (device == nullptr || scope != kDicsFlagGlobal || key_type != kDiregDev) {
        SetLastError(kErrorInvalidParameter);
        return kInvalidHandle;
    }
    DeviceTree tree;
    Node node;
    if (!tree.Resolve(device->DevInst, &node)) {
        SetLastError(kErrorNoSuchDevinst);
        return kInvalidHandle;
    }
    Handle handle = lx::InsertObject(std::make_shared<RegKeyObject>(device->DevInst));
    if (handle == kInvalidHandle) SetLastError(kErrorNotEnoughMemory);
    return handle;
}

std::uint32_t RegQueryValueExA(RegKey key, const char* value_name, std::uint32_t* type, std::uint8_t* data,
                               std::uint32_t* size) {
    auto object = lx::Lookup<RegKeyObject>(key);
    if (!object) return kErrorInvalidHandle;
    if (value_name == nullptr || (data != nullptr && size == nullptr)) return kErrorInvalidParameter;
    // The hardware key of a function node holds "PortName", the name of
    // its tty; nothing else is stored there.
    if (!lx::EqualsNoCase(value_name, "PortName")) return kErrorFileNotFound;
    DeviceTree tree;
    Node node;
    if (!tree.Resolve(object->node, &node)) return kErrorFileNotFound;
    std::string port = tree.TtyName(node);
    if (port.empty()) return kErrorFileNotFound;
    std::uint32_t needed = static_cast<std::uint32_t>(port.size() + 1);
    if (type != nullptr) *type = kRegTypeSz;
    if (data == nullptr) {
        if (size != nullptr) *size = needed;
        return kErrorSuccess;
    }
    if (*size < needed) {
        *size = needed;
        return kErrorMoreData;
    }
    std::memcpy(data, port.c_str(), needed);
    *size = needed;
    return kErrorSuccess;
}

std::uint32_t RegCloseKey(RegKey key) {
    if (!lx::Lookup<RegKeyObject>(key)) return kErrorInvalidHandle;
    lx::RemoveObject(key);
    return kErrorSuccess;
}

}  // namespace eklv::pf
