// Percent encoding of text for URLs; see url_text.h.
#include "codecs/url_text.h"

#include <cstring>

namespace oru::url {

namespace {

bool alnum_q(u8 c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

bool plain_q(u8 c, i32 mode) {
    if (c >= 0x80) return false;
    if (alnum_q(c)) return true;
    if (mode == strict_mode) return std::strchr("-._~", c) != nullptr && c != 0;
    return c != 0 && std::strchr("!#$&'()*+,-./:=?@_~", c) != nullptr;
}

void encode(const u8* bytes, size_t n, i32 mode, std::string& out) {
    static constexpr char digits[] = "0123456789ABCDEF";
    out.reserve(out.size() + n);
    for (size_t i = 0; i < n; i++) {
        const u8 c = bytes[i];
        if (plain_q(c, mode)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
}

}  // namespace oru::url
