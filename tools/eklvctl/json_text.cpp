#include "json_text.h"

namespace eklvctl {

std::string JsonText(const JsonValue& value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

JsonValue TextOrNull(const std::string& text) { return text.empty() ? JsonValue(nullptr) : JsonValue(text); }

}  // namespace eklvctl
