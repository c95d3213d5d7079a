#include "core/base/json_text.h"

namespace quendra {

std::string jsonString(const nlohmann::json& object) {
    try {
        return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const nlohmann::json::exception&) {
        return "{}";
    }
}

nlohmann::json parseJson(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) return nlohmann::json(nlohmann::json::value_t::discarded);
    return nlohmann::json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
}

const nlohmann::json* jsonMember(const nlohmann::json& object, const char* name) {
    if (!object.is_object()) return nullptr;
    const auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

}  // namespace quendra
