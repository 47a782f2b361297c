// JSON for everything eklvctl prints or serves, through nlohmann::json.
// Objects keep their keys in the order they are set, so that the output
// reads in the documented order.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace eklvctl {

using JsonValue = nlohmann::ordered_json;

// The value as compact JSON text. Bytes that are not UTF-8 (a modem's
// answer may hold any) become U+FFFD instead of failing the output.
std::string JsonText(const JsonValue& value);

// A JSON string, or null for an empty text (a TID the log did not tell).
JsonValue TextOrNull(const std::string& text);

}  // namespace eklvctl
