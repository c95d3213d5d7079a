// Text that came from outside (a service's error answer, a server's message) made fit to show to
// the user or write to a terminal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quendra {

// `text` without control characters (C0, DEL and C1: no terminal escapes, no line breaks: tabs,
// CR and LF become one space each), cut at a character boundary to at most `maxBytes` bytes, "…"
// marking a cut (included in the limit).
std::string printableText(std::string_view text, std::size_t maxBytes = 300);

}  // namespace quendra
