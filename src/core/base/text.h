// Small text helpers of every layer: outside text made fit to show, the one white-space trim,
// bounded accumulation and hiding secrets.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quendra {

// `text` without control characters (C0, DEL and C1: no terminal escapes, no line breaks: tabs,
// CR and LF become one space each), cut at a character boundary to at most `maxBytes` bytes, "…"
// marking a cut (included in the limit).
std::string printableText(std::string_view text, std::size_t maxBytes = 300);

// `text` without white space and line breaks at either end: ASCII blanks and the Unicode
// White_Space characters (no-break, ideographic and line-separator spaces among them), which
// users paste from web pages and mail clients.
std::string_view trimWhitespace(std::string_view text);

// ASCII letters of `text` in lower case; other bytes unchanged.
std::string lowercaseAscii(std::string_view text);

// True when `text` holds a C0 control character (CR, LF and tab included) or DEL.
bool hasControlCharacters(std::string_view text);

// Appends as much of `piece` as keeps `text` within `maxBytes`, cut at a UTF-8 character
// boundary. Returns whether anything was appended. Costs the length of what is appended.
bool appendWithin(std::string& text, std::string_view piece, std::size_t maxBytes);

// `text` with every occurrence of each secret replaced by "***". Secrets shorter than 4 bytes
// are left alone: hiding every "a" would garble the text and protect nothing.
std::string withoutSecrets(std::string_view text, const std::vector<std::string>& secrets);

}  // namespace quendra
