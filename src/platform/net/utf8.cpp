#include "platform/net/utf8.h"

namespace quendra {

std::string repairUtf8(std::string_view text) {
    static constexpr const char* replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    const size_t n = text.size();
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    while (i < n) {
        const unsigned char b = byte(i);
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        size_t need = 0;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            need = 1;
        } else if (b >= 0xE0 && b <= 0xEF) {
            need = 2;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            need = 3;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            out += replacement;
            ++i;
            continue;
        }
        size_t k = 1;
        for (; k <= need; ++k) {
            if (i + k >= n) break;
            const unsigned char c = byte(i + k);
            const unsigned char min = k == 1 ? lo : 0x80;
            const unsigned char max = k == 1 ? hi : 0xBF;
            if (c < min || c > max) break;
        }
        if (k > need) {
            out.append(text.substr(i, need + 1));
            i += need + 1;
        } else {
            // The valid prefix so far is one maximal subpart: one replacement for all of it.
            out += replacement;
            i += k;
        }
    }
    return out;
}

}  // namespace quendra
