// Compact JSON text for the wire: used by both provider links and the account client.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace quendra {

// Serialises without insignificant white space; invalid UTF-8 in strings is repaired with U+FFFD
// rather than thrown. Anything that still cannot be serialised gives "{}".
std::string jsonString(const nlohmann::json& object);

}  // namespace quendra
