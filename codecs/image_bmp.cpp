// BMP, our own code. Reads the core (12-byte) and info (40, 52, 56) headers
// and the V4/V5 ones; 1, 2, 4 and 8 bits through a palette, RLE4 and RLE8,
// 16 and 32 bits with bit fields (5-5-5 and 8-8-8 by default), 24 bits;
// bottom-up and top-down rows; an alpha mask (V4/V5, or the 56-byte header,
// or alpha bit fields) gives the opacity, else pixels are opaque. Every
// offset is checked against the data before it is read, in 64 bits.
// Writes 24 bits with an info header when every pixel is opaque, else 32
// bits with a V4 header and bit fields that include the alpha mask.
#include "codecs/image_codecs.h"

#include <algorithm>
#include <cstring>

namespace oru::image_codec {

namespace {

u32 rd16(const u8* p) { return static_cast<u32>(p[0]) | static_cast<u32>(p[1]) << 8; }
u32 rd32(const u8* p) { return rd16(p) | rd16(p + 2) << 16; }

constexpr u32 bi_rgb = 0, bi_rle8 = 1, bi_rle4 = 2, bi_bitfields = 3, bi_alphabitfields = 6;

// A channel of a bit field: its bits shifted down and scaled to 0-255.
struct Field {
    u32 mask = 0, shift = 0, max = 0;
    Field(u32 m = 0) : mask(m) {
        if (!m) return;
        shift = static_cast<u32>(__builtin_ctz(m));
        const u32 v = m >> shift;
        max = v;  // a mask with gaps still scales by its top value
    }
    u32 get(u32 px, u32 absent) const {
        if (!mask) return absent;
        const u64 v = (px & mask) >> shift;
        return static_cast<u32>((v * 255 + max / 2) / max);
    }
};

struct Layout {
    const u8* data;
    size_t size;
    u64 width, height;
    bool top_down;
    u32 bpp, compression;
    u64 pixels_at;         // offset of the pixel data
    u32 palette[256];
    u32 palette_count = 0;
    Field r, g, b, a;
};

// Row y of the image (0 the top row) as stored.
u64 stored_row(const Layout& l, u64 y) { return l.top_down ? y : l.height - 1 - y; }

bool read_header(const u8* d, size_t n, Layout& l) {
    if (n < 26) return false;
    const u32 hsize = rd32(d + 14);
    u64 w, h;
    bool top_down = false;
    u32 bpp, compression = bi_rgb, colours = 0, entry = 4;
    if (hsize == 12) {
        w = rd16(d + 18);
        h = rd16(d + 20);
        bpp = rd16(d + 24);
        entry = 3;
    } else if (hsize >= 40 && 14 + static_cast<u64>(hsize) <= n) {
        const i32 sw = static_cast<i32>(rd32(d + 18)), sh = static_cast<i32>(rd32(d + 22));
        if (sw <= 0 || sh == 0 || sh == INT32_MIN) return false;
        w = static_cast<u64>(sw);
        top_down = sh < 0;
        h = static_cast<u64>(sh < 0 ? -static_cast<i64>(sh) : sh);
        bpp = rd16(d + 28);
        compression = rd32(d + 30);
        colours = rd32(d + 46);
    } else {
        return false;
    }
    l = Layout{d, n, w, h, top_down, bpp, compression, rd32(d + 10), {}, 0, {}, {}, {}, {}};
    if (!size_ok(w, h)) return false;
    u64 after = 14 + static_cast<u64>(hsize);
    // Bit fields: inside a 52-byte or larger header, else just after it.
    if (compression == bi_bitfields || compression == bi_alphabitfields) {
        if (bpp != 16 && bpp != 32) return false;
        u64 at = hsize >= 52 ? 54 : after;
        const u64 count = hsize >= 56 || compression == bi_alphabitfields ? 4 : 3;
        if (at + 4 * count > n) return false;
        l.r = Field(rd32(d + at)), l.g = Field(rd32(d + at + 4)), l.b = Field(rd32(d + at + 8));
        if (count == 4) l.a = Field(rd32(d + at + 12));
        if (hsize < 52) after += 4 * count;
    } else if (compression == bi_rgb) {
        if (bpp == 16) l.r = Field(0x7C00), l.g = Field(0x3E0), l.b = Field(0x1F);
        if (bpp == 32) {
            l.r = Field(0xFF0000), l.g = Field(0xFF00), l.b = Field(0xFF);
            // A V4/V5 header's alpha mask holds for plain 32-bit pixels too.
            if (hsize >= 108) l.a = Field(rd32(d + 66));
        }
        if (bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return false;
    } else if (compression == bi_rle8) {
        if (bpp != 8) return false;
    } else if (compression == bi_rle4) {
        if (bpp != 4) return false;
    } else {
        return false;
    }
    if (bpp <= 8) {
        u64 count = colours ? colours : u64{1} << bpp;
        count = std::min<u64>(count, 256);
        for (u32 i = 0; i < count; i++) {
            const u64 at = after + static_cast<u64>(i) * entry;
            if (at + 3 > n) break;
            l.palette[i] = 0xFF000000u | static_cast<u32>(d[at + 2]) << 16 | static_cast<u32>(d[at + 1]) << 8 | d[at];
            l.palette_count = i + 1;
        }
    }
    return true;
}

u32 colour(const Layout& l, u32 index) { return index < l.palette_count ? l.palette[index] : 0xFF000000u; }

bool read_plain(const Layout& l, u32* out) {
    const u64 stride = (l.width * l.bpp + 31) / 32 * 4;
    if (l.pixels_at > l.size || stride * l.height > l.size - l.pixels_at) return false;
    for (u64 y = 0; y < l.height; y++) {
        const u8* row = l.data + l.pixels_at + stored_row(l, y) * stride;
        u32* d = out + y * l.width;
        for (u64 x = 0; x < l.width; x++) {
            switch (l.bpp) {
                case 1: case 2: case 4: case 8: {
                    const u64 bit = x * l.bpp;
                    const u32 v = row[bit / 8] >> (8 - l.bpp - bit % 8) & ((1u << l.bpp) - 1);
                    d[x] = colour(l, v);
                    break;
                }
                case 16: case 32: {
                    const u32 px = l.bpp == 16 ? rd16(row + x * 2) : rd32(row + x * 4);
                    d[x] = l.a.get(px, 255) << 24 | l.r.get(px, 0) << 16 | l.g.get(px, 0) << 8 | l.b.get(px, 0);
                    break;
                }
                default: {  // 24
                    const u8* p = row + x * 3;
                    d[x] = 0xFF000000u | static_cast<u32>(p[2]) << 16 | static_cast<u32>(p[1]) << 8 | p[0];
                }
            }
        }
    }
    return true;
}

// RLE8 and RLE4: runs and absolute runs of palette indexes, row by row from
// the bottom. Pixels the stream skips or never reaches stay transparent.
bool read_rle(const Layout& l, u32* out) {
    if (l.top_down) return false;
    std::fill(out, out + l.width * l.height, 0u);
    const u8* p = l.data + std::min<u64>(l.pixels_at, l.size);
    const u8* end = l.data + l.size;
    const bool four = l.compression == bi_rle4;
    u64 x = 0, y = 0;  // y counts stored rows, from the bottom
    auto put = [&](u32 index) {
        if (x < l.width && y < l.height) out[(l.height - 1 - y) * l.width + x] = colour(l, index);
        x++;
    };
    while (end - p >= 2) {
        const u32 count = p[0], value = p[1];
        p += 2;
        if (count > 0) {
            for (u32 i = 0; i < count; i++) put(four ? (i % 2 ? value & 15 : value >> 4) : value);
            continue;
        }
        if (value == 0) {  // end of line
            x = 0;
            y++;
        } else if (value == 1) {  // end of bitmap
            return true;
        } else if (value == 2) {  // delta
            if (end - p < 2) return false;
            x += p[0];
            y += p[1];
            p += 2;
        } else {  // absolute run of `value` pixels, padded to a 16-bit boundary
            const u64 bytes = four ? (value + 1) / 2 : value;
            if (static_cast<u64>(end - p) < bytes) return false;
            for (u32 i = 0; i < value; i++) put(four ? (i % 2 ? p[i / 2] & 15 : p[i / 2] >> 4) : p[i]);
            p += bytes + (bytes & 1);
            if (p > end) p = end;
        }
        if (y >= l.height) return true;
    }
    return true;
}

void put16(std::vector<u8>& o, u32 v) { o.push_back(static_cast<u8>(v)), o.push_back(static_cast<u8>(v >> 8)); }
void put32(std::vector<u8>& o, u32 v) { put16(o, v & 0xFFFF), put16(o, v >> 16); }

}  // namespace

bool bmp_decode(const u8* data, size_t size, Target& out) {
    Layout l;
    if (!read_header(data, size, l)) return false;
    if (!out.take(l.width, l.height)) return false;
    if (l.compression == bi_rle8 || l.compression == bi_rle4) return read_rle(l, out.pixels);
    return read_plain(l, out.pixels);
}

bool bmp_encode(const u32* pixels, u32 width, u32 height, std::vector<u8>& out) {
    const bool alpha = !opaque_q(pixels, static_cast<size_t>(width) * height);
    const u32 bpp = alpha ? 32 : 24;
    const u32 header = alpha ? 108 : 40;
    const u64 stride = (static_cast<u64>(width) * bpp + 31) / 32 * 4;
    const u64 data_size = stride * height;
    const u64 file_size = 14 + header + data_size;
    if (file_size > 0xFFFFFFFFu) return false;
    out.clear();
    out.reserve(file_size);
    out.push_back('B'), out.push_back('M');
    put32(out, static_cast<u32>(file_size));
    put32(out, 0);
    put32(out, 14 + header);
    put32(out, header);
    put32(out, width);
    put32(out, height);  // bottom-up
    put16(out, 1);
    put16(out, bpp);
    put32(out, alpha ? bi_bitfields : bi_rgb);
    put32(out, static_cast<u32>(data_size));
    put32(out, 2835), put32(out, 2835);  // 72 dpi
    put32(out, 0), put32(out, 0);
    if (alpha) {
        put32(out, 0x00FF0000), put32(out, 0x0000FF00), put32(out, 0x000000FF), put32(out, 0xFF000000);
        put32(out, 0x73524742);  // "sRGB"
        for (int i = 0; i < 12; i++) put32(out, 0);  // end points and gamma, unused for sRGB
    }
    const size_t at = out.size();
    out.resize(at + data_size, 0);
    for (u32 y = 0; y < height; y++) {
        const u32* src = pixels + static_cast<size_t>(height - 1 - y) * width;
        u8* row = out.data() + at + y * stride;
        if (alpha) {
            std::memcpy(row, src, static_cast<size_t>(width) * 4);
        } else {
            for (u32 x = 0; x < width; x++, row += 3)
                row[0] = static_cast<u8>(src[x]), row[1] = static_cast<u8>(src[x] >> 8), row[2] = static_cast<u8>(src[x] >> 16);
        }
    }
    return true;
}

}  // namespace oru::image_codec
