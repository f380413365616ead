// The URL percent codec; see url_text.h.
#include "codecs/url_text.h"

#include "runtime/unicode.h"

#include <array>

namespace oru::url {

namespace {

constexpr std::array<u8, 128> class_table(const char* others) {
    std::array<u8, 128> t{};
    for (u32 c = 0; c < 128; c++)
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) t[c] = 255;
    for (const char* p = others; *p; p++) t[static_cast<u8>(*p)] = 255;
    return t;
}

constexpr auto safe_table = class_table("!#$&'()*+,-./:=?@_~");
constexpr auto unreserved_table = class_table("-._~");
static_assert(safe_table[' '] == 0 && safe_table['%'] == 0 && safe_table['/'] == 255);

bool hex_value(u8 c, u32* v) {
    if (c >= '0' && c <= '9') return *v = c - '0', true;
    if (c >= 'a' && c <= 'f') return *v = c - 'a' + 10, true;
    if (c >= 'A' && c <= 'F') return *v = c - 'A' + 10, true;
    return false;
}

// The byte of a "%XX" escape at p, or -1.
i32 escape_at(const u8* p, const u8* e) {
    u32 hi, lo;
    if (e - p < 3 || *p != '%' || !hex_value(p[1], &hi) || !hex_value(p[2], &lo)) return -1;
    return static_cast<i32>(hi << 4 | lo);
}

// Bytes of the sequence a lead byte announces (2-4), else 1.
i32 sequence_length(i32 b) {
    if (b >= 0xC2 && b <= 0xDF) return 2;
    if (b >= 0xE0 && b <= 0xEF) return 3;
    if (b >= 0xF0 && b <= 0xF4) return 4;
    return 1;
}

}  // namespace

const u8 url_safe[128] = {
#define ORU_ROW(i) safe_table[i], safe_table[i + 1], safe_table[i + 2], safe_table[i + 3]
    ORU_ROW(0), ORU_ROW(4), ORU_ROW(8), ORU_ROW(12), ORU_ROW(16), ORU_ROW(20), ORU_ROW(24), ORU_ROW(28),
    ORU_ROW(32), ORU_ROW(36), ORU_ROW(40), ORU_ROW(44), ORU_ROW(48), ORU_ROW(52), ORU_ROW(56), ORU_ROW(60),
    ORU_ROW(64), ORU_ROW(68), ORU_ROW(72), ORU_ROW(76), ORU_ROW(80), ORU_ROW(84), ORU_ROW(88), ORU_ROW(92),
    ORU_ROW(96), ORU_ROW(100), ORU_ROW(104), ORU_ROW(108), ORU_ROW(112), ORU_ROW(116), ORU_ROW(120), ORU_ROW(124),
#undef ORU_ROW
};
const u8 url_unreserved[128] = {
#define ORU_ROW(i) unreserved_table[i], unreserved_table[i + 1], unreserved_table[i + 2], unreserved_table[i + 3]
    ORU_ROW(0), ORU_ROW(4), ORU_ROW(8), ORU_ROW(12), ORU_ROW(16), ORU_ROW(20), ORU_ROW(24), ORU_ROW(28),
    ORU_ROW(32), ORU_ROW(36), ORU_ROW(40), ORU_ROW(44), ORU_ROW(48), ORU_ROW(52), ORU_ROW(56), ORU_ROW(60),
    ORU_ROW(64), ORU_ROW(68), ORU_ROW(72), ORU_ROW(76), ORU_ROW(80), ORU_ROW(84), ORU_ROW(88), ORU_ROW(92),
    ORU_ROW(96), ORU_ROW(100), ORU_ROW(104), ORU_ROW(108), ORU_ROW(112), ORU_ROW(116), ORU_ROW(120), ORU_ROW(124),
#undef ORU_ROW
};

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

bool decode(const u8* p, const u8* e, std::vector<u32>& out) {
    while (p < e) {
        const i32 b = escape_at(p, e);
        if (b >= 0) {
            const i32 n = sequence_length(b);
            u8 seq[4] = {static_cast<u8>(b)};
            bool whole = e - p >= 3 * n;
            for (i32 i = 1; i < n && whole; i++) {
                const i32 c = escape_at(p + 3 * i, e);
                whole = c >= 0;
                seq[i] = static_cast<u8>(c);
            }
            if (whole) {
                i32 cp = b;
                i32 used = 1;
                if (n > 1) {
                    i32 decoded;
                    const u8* end = unicode::fast_decode_utf8_char(seq, seq + n, &decoded);
                    // Not a sequence: the lead byte stands for itself and the
                    // escapes after it are read again on their own.
                    if (decoded >= 0 && end == seq + n) cp = decoded, used = n;
                }
                out.push_back(static_cast<u32>(cp));
                p += 3 * used;
                continue;
            }
        }
        i32 cp = *p;
        const u8* next = *p < 0x80 ? p + 1 : unicode::fast_decode_utf8_char(p, e, &cp);
        if (cp < 0) return false;
        out.push_back(static_cast<u32>(cp));
        p = next;
    }
    return true;
}

}  // namespace oru::url
