// USB hub control requests (DeviceIoControl on a hub opened by its
// symbolic name) with the control codes and the byte layouts of the
// Windows hub driver. All structures are packed; multi-byte fields are
// little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace eklv::pf {

inline constexpr std::uint32_t kIoctlUsbGetNodeInformation = 0x220408;
inline constexpr std::uint32_t kIoctlUsbGetNodeConnectionInformation = 0x22040C;
inline constexpr std::uint32_t kIoctlUsbGetDescriptorFromNodeConnection = 0x220410;
inline constexpr std::uint32_t kIoctlUsbGetNodeConnectionDriverkeyName = 0x220420;
inline constexpr std::uint32_t kIoctlUsbGetNodeConnectionInformationEx = 0x220448;

// USB_CONNECTION_STATUS values.
inline constexpr std::uint32_t kNoDeviceConnected = 0;
inline constexpr std::uint32_t kDeviceConnected = 1;

// USB descriptor types as they appear in bDescriptorType and wValue.
inline constexpr std::uint8_t kUsbDeviceDescriptorType = 1;
inline constexpr std::uint8_t kUsbConfigurationDescriptorType = 2;
inline constexpr std::uint8_t kUsbStringDescriptorType = 3;
inline constexpr std::uint8_t kUsbInterfaceDescriptorType = 4;
inline constexpr std::uint8_t kUsbEndpointDescriptorType = 5;
inline constexpr std::uint8_t kUsbHubDescriptorType = 0x29;

inline constexpr std::uint16_t kUsbLangEnglishUs = 0x0409;

#pragma pack(push, 1)

struct UsbDeviceDescriptor {
    std::uint8_t bLength;
    std::uint8_t bDescriptorType;
    std::uint16_t bcdUSB;
    std::uint8_t bDeviceClass;
    std::uint8_t bDeviceSubClass;
    std::uint8_t bDeviceProtocol;
    std::uint8_t bMaxPacketSize0;
    std::uint16_t idVendor;
    std::uint16_t idProduct;
    std::uint16_t bcdDevice;
    std::uint8_t iManufacturer;
    std::uint8_t iProduct;
    std::uint8_t iSerialNumber;
    std::uint8_t bNumConfigurations;
};

struct UsbConfigurationDescriptor {
    std::uint8_t bLength;
    std::uint8_t bDescriptorType;
    std::uint16_t wTotalLength;
    std::uint8_t bNumInterfaces;
    std::uint8_t bConfigurationValue;
    std::uint8_t iConfiguration;
    std::uint8_t bmAttributes;
    std::uint8_t MaxPower;
};

struct UsbInterfaceDescriptor {
    std::uint8_t bLength;
    std::uint8_t bDescriptorType;
    std::uint8_t bInterfaceNumber;
    std::uint8_t bAlternateSetting;
    std::uint8_t bNumEndpoints;
    std::uint8_t bInterfaceClass;
    std::uint8_t bInterfaceSubClass;
    std::uint8_t bInterfaceProtocol;
    std::uint8_t iInterface;
};

struct UsbEndpointDescriptor {
    std::uint8_t bLength;
    std::uint8_t bDescriptorType;
    std::uint8_t bEndpointAddress;
    std::uint8_t bmAttributes;
    std::uint16_t wMaxPacketSize;
    std::uint8_t bInterval;
};

struct UsbHubDescriptor {
    std::uint8_t bDescriptorLength;
    std::uint8_t bDescriptorType;
    std::uint8_t bNumberOfPorts;
    std::uint16_t wHubCharacteristics;
    std::uint8_t bPowerOnToPowerGood;
    std::uint8_t bHubControlCurrent;
    std::uint8_t bRemoveAndPowerMask[64];
};

// IOCTL_USB_GET_NODE_INFORMATION, in and out.
struct UsbNodeInformation {
    std::uint32_t NodeType;  // 0 UsbHub, 1 UsbMIParent
    UsbHubDescriptor HubDescriptor;
    std::uint8_t HubIsBusPowered;
};

// IOCTL_USB_GET_NODE_CONNECTION_INFORMATION, without the pipe list.
// In: ConnectionIndex (1-based port).
struct UsbNodeConnectionInformation {
    std::uint32_t ConnectionIndex;
    UsbDeviceDescriptor DeviceDescriptor;
    std::uint8_t CurrentConfigurationValue;
    std::uint8_t LowSpeed;
    std::uint8_t DeviceIsHub;
    std::uint16_t DeviceAddress;
    std::uint32_t NumberOfOpenPipes;
    std::uint32_t ConnectionStatus;
};

// IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX: Speed replaces LowSpeed
// (0 low, 1 full, 2 high, 3 super).
struct UsbNodeConnectionInformationEx {
    std::uint32_t ConnectionIndex;
    UsbDeviceDescriptor DeviceDescriptor;
    std::uint8_t CurrentConfigurationValue;
    std::uint8_t Speed;
    std::uint8_t DeviceIsHub;
    std::uint16_t DeviceAddress;
    std::uint32_t NumberOfOpenPipes;
    std::uint32_t ConnectionStatus;
};

// IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME. Asked first with this
// fixed size to learn ActualLength (bytes of the whole structure with the
// NUL-terminated UTF-16 name), then with a buffer that large.
struct UsbNodeConnectionDriverkeyName {
    std::uint32_t ConnectionIndex;
    std::uint32_t ActualLength;
    char16_t DriverKeyName[1];
};

struct UsbSetupPacket {
    std::uint8_t bmRequest;
    std::uint8_t bRequest;
    std::uint16_t wValue;  // descriptor type << 8 | descriptor index
    std::uint16_t wIndex;  // language id for strings
    std::uint16_t wLength;
};

// IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION: this header followed by
// wLength data bytes. The bytes returned count the header.
struct UsbDescriptorRequestHeader {
    std::uint32_t ConnectionIndex;
    UsbSetupPacket SetupPacket;
};

#pragma pack(pop)

static_assert(sizeof(UsbDeviceDescriptor) == 18);
static_assert(sizeof(UsbConfigurationDescriptor) == 9);
static_assert(sizeof(UsbInterfaceDescriptor) == 9);
static_assert(sizeof(UsbEndpointDescriptor) == 7);
static_assert(sizeof(UsbNodeInformation) == 76);
static_assert(offsetof(UsbNodeInformation, HubDescriptor) + offsetof(UsbHubDescriptor, bNumberOfPorts) == 6);
static_assert(sizeof(UsbNodeConnectionInformation) == 35);
static_assert(sizeof(UsbNodeConnectionInformationEx) == 35);
static_assert(offsetof(UsbNodeConnectionInformation, ConnectionStatus) == 31);
static_assert(sizeof(UsbNodeConnectionDriverkeyName) == 10);
static_assert(sizeof(UsbDescriptorRequestHeader) == 12);

}  // namespace eklv::pf
