// Small text helpers shared by the discovery code (ASCII case rules, as
// the device names and ini values use).
#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace eklv {

inline std::string LowerCopy(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

inline bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// "\\?\" + id with every backslash turned into '#' + "#" + class text in braces.
inline std::string SymbolicNameOf(std::string_view instance_id, std::string_view class_in_braces) {
    std::string name = "\\\\?\\";
    for (char c : instance_id) name += (c == '\\') ? '#' : c;
    name += '#';
    name += class_in_braces;
    return name;
}

}  // namespace eklv
