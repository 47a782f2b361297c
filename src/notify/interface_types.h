// The interface-type name table, in its fixed walk order (INF_MTP comes
// before INF_IMAGE). The names are the keys of [INF_SETTINGS]; the codes
// are eklv.h's.
#pragma once

#include <cstdint>

#include "eklv/eklv.h"

namespace eklv {

struct InterfaceTypeName {
    std::uint32_t code;
    const char* name;
};

// Ten entries; the last has code INF_UNDEFINED and an empty name.
inline constexpr InterfaceTypeName kInterfaceTypeNames[] = {
    {INF_DATA, "INF_DATA"},     {INF_UART, "INF_UART"},       {INF_MSD, "INF_MSD"},
    {INF_MTP, "INF_MTP"},       {INF_IMAGE, "INF_IMAGE"},     {INF_FLASH, "INF_FLASH"},
    {INF_SFLASH, "INF_SFLASH"}, {INF_HSFLASH, "INF_HSFLASH"}, {INF_HBFLASH, "INF_HBFLASH"},
    {INF_UNDEFINED, ""},
};

// The name of a code, or "" for INF_UNDEFINED and unknown codes.
inline const char* InterfaceTypeName(std::uint32_t code) {
    for (const auto& entry : kInterfaceTypeNames)
        if (entry.code == code) return entry.name;
    return "";
}

}  // namespace eklv
