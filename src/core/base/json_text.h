// JSON text in and out: the one reader of untrusted JSON (service answers, server messages,
// stored settings) and the compact writer for the wire.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace quendra {

// Serialises without insignificant white space; invalid UTF-8 in strings is repaired with U+FFFD
// rather than thrown. Anything that still cannot be serialised gives "{}".
std::string jsonString(const nlohmann::json& object);

// The JSON value of the whole `text`, or a discarded value (`is_discarded()`) when it is not
// exactly one JSON value. A NUL byte anywhere refuses the text: the parser would take it for the
// end and accept what came before. Never throws, short of memory running out.
nlohmann::json parseJson(std::string_view text);

// The member `name` of `object`, or nullptr when `object` is not an object or has no such member.
const nlohmann::json* jsonMember(const nlohmann::json& object, const char* name);

}  // namespace quendra
