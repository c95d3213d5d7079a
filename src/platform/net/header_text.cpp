#include "platform/net/header_text.h"

namespace quendra {

bool isHttpToken(std::string_view text) {
    if (text.empty()) return false;
    for (const unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7f || std::string_view("()<>@,;:\\\"/[]?={}").find(static_cast<char>(c)) !=
                                          std::string_view::npos) {
            return false;
        }
    }
    return true;
}

bool isHeaderValue(std::string_view text) {
    for (const unsigned char c : text) {
        if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
    }
    return true;
}

}  // namespace quendra
