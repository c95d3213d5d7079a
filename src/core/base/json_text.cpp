#include "core/base/json_text.h"

namespace quendra {

std::string jsonString(const nlohmann::json& object) {
    try {
        return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const nlohmann::json::exception&) {
        return "{}";
    }
}

}  // namespace quendra
