// Small text helpers shared by the discovery code (ASCII case rules, as
// the device names and ini values use).
#pragma once

#include <string>
#include <string_view>

namespace eklv {

// ASCII only, inline: names are lowered and compared thousands of times
// per arrival, and a call into the C library per character showed.
constexpr char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string LowerCopy(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) c = AsciiLower(c);
    return lower;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

inline bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

inline bool ContainsNoCase(std::string_view text, std::string_view part) {
    if (part.size() > text.size()) return false;
    for (std::size_t i = 0; i + part.size() <= text.size(); ++i)
        if (EqualsNoCase(text.substr(i, part.size()), part)) return true;
    return false;
}

// "\\?\" + id with every backslash turned into '#' + "#" + class text in braces.
inline std::string SymbolicNameOf(std::string_view instance_id, std::string_view class_in_braces) {
    std::string name = "\\\\?\\";
    for (char c : instance_id) name += (c == '\\') ? '#' : c;
    name += '#';
    name += class_in_braces;
    return name;
}

}  // namespace eklv
