// Text received from the network made safe to handle as UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace quendra {

// `text` with every invalid UTF-8 sequence replaced by U+FFFD (maximal subparts, as browsers do).
std::string repairUtf8(std::string_view text);

}  // namespace quendra
