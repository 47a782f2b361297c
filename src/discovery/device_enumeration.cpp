#include "discovery/device_enumeration.h"

#include <algorithm>
#include <memory>
#include <new>

#include "discovery/usb_utilities.h"
#include "platform/devtree.h"

namespace eklv {

std::vector<std::string> EnumDeviceInterfaces(const pf::Guid& interface_class, bool filter) {
    std::vector<std::string> paths;
    pf::DevInfoSet set =
        pf::SetupDiGetClassDevsA(&interface_class, nullptr, pf::kDigcfPresent | pf::kDigcfDeviceInterface);
    if (set == pf::kInvalidHandle) return paths;
    for (std::uint32_t index = 0;; ++index) {
        pf::DeviceInterfaceData data{};
        data.cbSize = sizeof data;
        if (!pf::SetupDiEnumDeviceInterfaces(set, nullptr, &interface_class, index, &data)) break;
        std::uint32_t required = 0;
        if (!pf::SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr) &&
            pf::GetLastError() != pf::kErrorInsufficientBuffer)
            break;
        // The block is at least a detail structure, whatever size came back.
        std::size_t block_size = std::max<std::size_t>(required, sizeof(pf::DeviceInterfaceDetailDataA));
        std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[block_size]());
        if (block == nullptr) break;
        auto* detail = reinterpret_cast<pf::DeviceInterfaceDetailDataA*>(block.get());
        detail->cbSize = pf::kDeviceInterfaceDetailDataSize;
        if (!pf::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, static_cast<std::uint32_t>(block_size), nullptr,
                                                  nullptr))
            break;
        std::string path = detail->DevicePath;
        if (filter && CKLVUSBUtilities::IsDeviceSupported(path) != kUsbOk) continue;
        paths.push_back(std::move(path));
    }
    pf::SetupDiDestroyDeviceInfoList(set);
    pf::SetLastError(0);
    return paths;
}

}  // namespace eklv
