#include "core/base/text.h"

#include <algorithm>

namespace quendra {

std::string printableText(std::string_view text, std::size_t maxBytes) {
    static constexpr std::string_view ellipsis = "\xE2\x80\xA6";
    std::string out;
    out.reserve(text.size() < maxBytes ? text.size() : maxBytes);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\t' || c == '\n' || c == '\r') {
            out += ' ';
        } else if (c < 0x20 || c == 0x7F) {
            continue;
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0 &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80) {
            ++i;  // U+0080..U+009F, the C1 controls (CSI among them)
        } else {
            out += static_cast<char>(c);
        }
    }
    if (out.size() <= maxBytes) return out;
    std::size_t cut = maxBytes >= ellipsis.size() ? maxBytes - ellipsis.size() : 0;
    // Back up to the first byte of a character: continuation bytes are 10xxxxxx.
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
    if (maxBytes >= ellipsis.size()) out += ellipsis;
    return out;
}

namespace {

// Length of the white space or line break that starts (or, with `fromEnd`, ends) `text`, 0 if none.
std::size_t spaceAt(std::string_view text, bool fromEnd) {
    if (text.empty()) return 0;
    const auto ascii = static_cast<unsigned char>(fromEnd ? text.back() : text.front());
    if (ascii == ' ' || (ascii >= '\t' && ascii <= '\r')) return 1;
    // The Unicode spaces and separators, in UTF-8.
    static constexpr std::string_view kWide[] = {
        "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81",
        "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86",
        "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
        "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
    for (const auto wide : kWide) {
        if (fromEnd ? text.ends_with(wide) : text.starts_with(wide)) return wide.size();
    }
    return 0;
}

}  // namespace

std::string_view trimWhitespace(std::string_view text) {
    while (const std::size_t n = spaceAt(text, false)) text.remove_prefix(n);
    while (const std::size_t n = spaceAt(text, true)) text.remove_suffix(n);
    return text;
}

std::string lowercaseAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool hasControlCharacters(std::string_view text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return true;
    }
    return false;
}

bool appendWithin(std::string& text, std::string_view piece, std::size_t maxBytes) {
    if (text.size() >= maxBytes || piece.empty()) return false;
    std::size_t take = std::min(piece.size(), maxBytes - text.size());
    if (take < piece.size()) {
        // Back up to the first byte of a character: continuation bytes are 10xxxxxx.
        while (take > 0 && (static_cast<unsigned char>(piece[take]) & 0xC0) == 0x80) --take;
    }
    if (take == 0) return false;
    text.append(piece.substr(0, take));
    return true;
}

std::string withoutSecrets(std::string_view text, const std::vector<std::string>& secrets) {
    std::string out(text);
    for (const auto& secret : secrets) {
        if (secret.size() < 4) continue;
        std::string next;
        std::size_t from = 0;
        for (std::size_t at; (at = out.find(secret, from)) != std::string::npos; from = at + secret.size()) {
            next.append(out, from, at - from);
            next += "***";
        }
        if (from == 0) continue;
        next.append(out, from, std::string::npos);
        out = std::move(next);
    }
    return out;
}

}  // namespace quendra
