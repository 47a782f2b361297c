// The interface-type name table, in its fixed walk order (INF_MTP comes
// before INF_IMAGE). The names are the keys of [INF_SETTINGS].
#pragma once

#include <cstdint>

namespace eklv {

inline constexpr std::uint32_t kInfUndefined = 0x8000;
inline constexpr std::uint32_t kInfData = 0x8002;
inline constexpr std::uint32_t kInfUart = 0x8003;
inline constexpr std::uint32_t kInfMsd = 0x8004;
inline constexpr std::uint32_t kInfImage = 0x8005;
inline constexpr std::uint32_t kInfMtp = 0x8006;
inline constexpr std::uint32_t kInfFlash = 0x8007;
inline constexpr std::uint32_t kInfSFlash = 0x8008;
inline constexpr std::uint32_t kInfHsFlash = 0x8009;
inline constexpr std::uint32_t kInfHbFlash = 0x800A;

struct InterfaceTypeName {
    std::uint32_t code;
    const char* name;
};

// Ten entries; the last has code 0x8000 and an empty name.
inline constexpr InterfaceTypeName kInterfaceTypeNames[] = {
    {kInfData, "INF_DATA"},     {kInfUart, "INF_UART"},       {kInfMsd, "INF_MSD"},
    {kInfMtp, "INF_MTP"},       {kInfImage, "INF_IMAGE"},     {kInfFlash, "INF_FLASH"},
    {kInfSFlash, "INF_SFLASH"}, {kInfHsFlash, "INF_HSFLASH"}, {kInfHbFlash, "INF_HBFLASH"},
    {kInfUndefined, ""},
};

// The name of a code, or "" for 0x8000 and unknown codes.
inline const char* InterfaceTypeName(std::uint32_t code) {
    for (const auto& entry : kInterfaceTypeNames)
        if (entry.code == code) return entry.name;
    return "";
}

}  // namespace eklv
