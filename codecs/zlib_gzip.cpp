// zlib and gzip containers (see zlib_gzip.h).
//
// The readers run the deflate reader over an Io, so the same code serves a
// fixed destination (counting what does not fit) and an output that grows.
// Input addresses are fetched again from the Io after every deflate run:
// growing the output may move the input.
#include "codecs/zlib_gzip.h"

#include "interpreter/checksum.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace oru {
namespace {

constexpr u8 zlib_header[2] = {0x78, 0x01};
constexpr u8 gzip_header[10] = {0x1F, 0x8B, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x04};
constexpr u64 zlib_overhead = 6;   // header 2, Adler-32 4
constexpr u64 gzip_overhead = 18;  // header 10, CRC-32 4, ISIZE 4

enum : u8 { f_text = 1, f_hcrc = 2, f_extra = 4, f_name = 8, f_comment = 16 };

inline u32 load_le32(const u8* p) { return p[0] | u32{p[1]} << 8 | u32{p[2]} << 16 | u32{p[3]} << 24; }
inline u32 load_be32(const u8* p) { return u32{p[0]} << 24 | u32{p[1]} << 16 | u32{p[2]} << 8 | p[3]; }
inline void store_le32(u8* p, u32 v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<u8>(v >> (8 * i));
}
inline void store_be32(u8* p, u32 v) {
    for (int i = 0; i < 4; i++) p[i] = static_cast<u8>(v >> (24 - 8 * i));
}

// The header, the deflate stream of src and the trailer into dst of
// capacity cap, storing what fits; the whole size.
u64 wrap(u8* dst, u64 cap, const u8* head, u64 head_len, const u8* tail, u64 tail_len, const u8* src, u64 len) {
    if (cap) std::memcpy(dst, head, std::min(cap, head_len));
    u64 room = cap > head_len ? cap - head_len : 0;
    u64 n = room;
    deflate::compress(room ? dst + head_len : nullptr, n, src, len);
    u64 at = head_len + n;
    if (cap > at) std::memcpy(dst + at, tail, std::min(cap - at, tail_len));
    return at + tail_len;
}

// The end of a gzip member's header at `off`, or 0 when it is not a valid
// one. Every field must end before the input's last eight bytes.
u64 gzip_header_end(const u8* src, u64 len, u64 off) {
    if (len < off || len - off < gzip_overhead) return 0;
    const u8* h = src + off;
    if (h[0] != 0x1F || h[1] != 0x8B || h[2] != 8 || h[3] >= 32) return 0;
    u8 flags = h[3];
    u64 stop = len - 8;
    u64 p = off + 10;
    if (flags & f_extra) {
        if (stop - p < 2) return 0;
        u64 xlen = src[p] | u32{src[p + 1]} << 8;
        p += 2;
        if (stop - p < xlen) return 0;
        p += xlen;
    }
    for (u8 f : {f_name, f_comment}) {
        if (!(flags & f)) continue;
        const void* nul = p < stop ? std::memchr(src + p, 0, stop - p) : nullptr;
        if (!nul) return 0;
        p = static_cast<u64>(static_cast<const u8*>(nul) - src) + 1;
    }
    if (flags & f_hcrc) {
        if (stop - p < 2) return 0;
        u32 crc = checksum::crc32(checksum::crc32_init, h, p - off);
        if ((src[p] | u32{src[p + 1]} << 8) != (crc & 0xFFFF)) return 0;
        p += 2;
    }
    return p;
}

}  // namespace

// --- zlib --------------------------------------------------------------------

int zlib::compress(u8* dst, u64& size, const u8* src, u64 len) {
    u64 cap = dst ? size : 0;
    u8 tail[4];
    store_be32(tail, checksum::adler32(checksum::adler32_init, src, len));
    size = wrap(dst, cap, zlib_header, 2, tail, 4, src, len);
    return size <= cap ? deflate::ok : deflate::too_small;
}

int zlib::decompress(deflate::Io& io, u64 len, u64& size) {
    size = 0;
    const u8* src = io.input();
    if (len < zlib_overhead) return deflate::bad_container;
    u32 cmf = src[0], flg = src[1];
    if ((cmf * 256 + flg) % 31 != 0 || (cmf & 15) != 8 || (cmf & 0x80) || (flg & 0x20)) return deflate::bad_container;
    // The stream may not run into the check value: it gets the bytes before it.
    u64 end;
    int r = deflate::inflate(io, len - 4, 2, 0, size, end);
    if (r != deflate::ok && r != deflate::too_small) return r;
    if (size > io.limit) return r;   // counting stopped there: the stream is unread
    if (end != len - 4) return deflate::bad_container;
    if (r == deflate::too_small) return r;
    src = io.input();
    if (checksum::adler32(checksum::adler32_init, io.out, size) != load_be32(src + len - 4))
        return deflate::bad_container;
    return deflate::ok;
}

int zlib::decompress(u8* dst, u64& size, const u8* src, u64 len) {
    deflate::BufferIo io(dst, size, src);
    return decompress(io, len, size);
}

// --- gzip --------------------------------------------------------------------

u64 gzip::size_hint(const u8* src, u64 len) { return len < gzip_overhead ? 0 : load_le32(src + len - 4); }

int gzip::decompress(deflate::Io& io, u64 len, u64& size) {
    size = 0;
    u64 off = 0;
    do {
        u64 body = gzip_header_end(io.input(), len, off);
        if (!body) return deflate::bad_container;
        // A member's trailer follows its stream, at least eight bytes
        // before the input's end.
        u64 produced, end;
        int r = deflate::inflate(io, len - 8, body, size, produced, end);
        if (r != deflate::ok && r != deflate::too_small) return r;
        if (size + produced > io.limit) {   // counting stopped there: the stream is unread
            size += produced;
            return r;
        }
        const u8* src = io.input();
        if (static_cast<u32>(produced) != load_le32(src + end + 4)) return deflate::bad_container;
        u32 crc = r == deflate::ok && produced ? checksum::crc32(checksum::crc32_init, io.out + size, produced) : 0;
        if (r == deflate::ok && crc != load_le32(src + end))
            return deflate::bad_container;
        size += produced;
        off = end + 8;
    } while (off < len);
    return size > io.cap ? deflate::too_small : deflate::ok;
}

int gzip::decompress(u8* dst, u64& size, const u8* src, u64 len) {
    deflate::BufferIo io(dst, size, src);
    return decompress(io, len, size);
}

namespace {

// An output in memory of its own, for checking members before passing them.
struct VectorIo final : deflate::Io {
    const u8* src;
    std::vector<u8> buf;
    explicit VectorIo(const u8* s) : src(s) { growable = true; }
    const u8* input() override { return src; }
    bool grow(u64 need) override {
        if (need > limit) return false;
        buf.resize(need);
        out = buf.data();
        cap = need;
        return true;
    }
};

}  // namespace

bool gzip::valid_members(const u8* src, u64 len) {
    VectorIo io(src);
    u64 size;
    return decompress(io, len, size) == deflate::ok;
}

int gzip::compress(u8* dst, u64& size, const u8* src, u64 len) {
    u64 cap = dst ? size : 0;
    if (len > 2 && src[0] == 0x1F && src[1] == 0x8B && src[2] == 8 && valid_members(src, len)) {
        size = len;
        if (cap) std::memcpy(dst, src, std::min(cap, len));
        return len <= cap ? deflate::ok : deflate::too_small;
    }
    u8 tail[8];
    store_le32(tail, checksum::crc32(checksum::crc32_init, src, len));
    store_le32(tail + 4, static_cast<u32>(len));
    size = wrap(dst, cap, gzip_header, 10, tail, 8, src, len);
    return size <= cap ? deflate::ok : deflate::too_small;
}

}  // namespace oru
