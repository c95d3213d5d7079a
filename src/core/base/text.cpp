#include "core/base/text.h"

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

}  // namespace quendra
