// libFuzzer target for the base 2, 16, 58 and 64 decoders (and encoders).
//
// The first byte picks the base (bits 0-1) and the text's unit (bits 2-3: 1,
// 2 or 4 bytes a character); the rest is read both as text and as bytes.
// - As text, the decoder's verdict and bytes must equal those of a plain
//   reference decoder written from the rules (comments and skipped
//   characters dropped first, then whole digit groups); it writes into a heap
//   block of exactly the room it asks for, so the sanitizers see an overrun.
//   Decoded bytes encode to a text that decodes to them again.
// - As bytes, the text written into exactly the room enbase makes decodes
//   back to them, at every unit.
// The node-returning decoders must agree with the buffer ones. Any mismatch
// traps; language errors cannot happen here.
#include "runtime/collector.h"
#include "runtime/datatypes/binary_base.h"
#include "runtime/datatypes/string.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

using namespace oru;

namespace {

using Bytes = std::vector<u8>;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

constexpr i32 bases[4] = {2, 16, 58, 64};
constexpr char alphabet58[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr char alphabet64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// --- The reference: the rules, spelled out without tables or fast paths ----

int digit_of(i32 base, u32 c) {
    if (base == 2) return c == '0' ? 0 : c == '1' ? 1 : -1;
    if (base == 16) {
        if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
        if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
        if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
        return -1;
    }
    const char* a = base == 58 ? alphabet58 : alphabet64;
    for (int i = 0; a[i]; i++)
        if (static_cast<u32>(static_cast<u8>(a[i])) == c) return i;
    return -1;
}

bool skipped(i32 base, u32 c) {
    if (base == 2 || base == 16) return c <= 32;
    return c == 8 || c == 9 || c == 10 || c == 12 || c == 13 || c == 32 || c == 39;
}

std::optional<Bytes> reference(i32 base, const std::vector<u32>& text) {
    // Digits and padding signs, comments and skipped characters dropped.
    std::vector<int> d;
    for (size_t i = 0; i < text.size(); i++) {
        const u32 c = text[i];
        if (c == ';') {
            while (i < text.size() && text[i] != '\n') i++;
            continue;
        }
        if (skipped(base, c)) continue;
        if (base == 64 && c == '=') {
            d.push_back(-1);
            continue;
        }
        const int v = digit_of(base, c);
        if (v < 0) return std::nullopt;
        d.push_back(v);
    }
    Bytes out;
    if (base == 2 || base == 16) {
        const size_t per = base == 2 ? 8 : 2;
        if (d.size() % per) return std::nullopt;
        for (size_t i = 0; i < d.size(); i += per) {
            u32 b = 0;
            for (size_t k = 0; k < per; k++) b = b * static_cast<u32>(base) + static_cast<u32>(d[i + k]);
            out.push_back(static_cast<u8>(b));
        }
        return out;
    }
    if (base == 58) {
        size_t z = 0;
        while (z < d.size() && d[z] == 0) z++;
        Bytes num;  // big-endian, grown by one digit at a time
        for (size_t i = z; i < d.size(); i++) {
            u32 carry = static_cast<u32>(d[i]);
            for (size_t k = num.size(); k-- > 0;) {
                carry += num[k] * 58u;
                num[k] = static_cast<u8>(carry);
                carry >>= 8;
            }
            while (carry) {
                num.insert(num.begin(), static_cast<u8>(carry));
                carry >>= 8;
            }
        }
        out.assign(z, 0);
        out.insert(out.end(), num.begin(), num.end());
        return out;
    }
    // Base 64: groups of 4 digits; a first "=" after 2 or 3 digits of a group
    // ends the data (after 2 digits one more "=" may follow).
    size_t i = 0;
    std::vector<int> group;
    for (; i < d.size() && d[i] >= 0; i++) {
        group.push_back(d[i]);
        if (group.size() == 4) {
            const u32 v = static_cast<u32>(group[0] << 18 | group[1] << 12 | group[2] << 6 | group[3]);
            out.insert(out.end(), {static_cast<u8>(v >> 16), static_cast<u8>(v >> 8), static_cast<u8>(v)});
            group.clear();
        }
    }
    const size_t pads = d.size() - i;
    for (size_t k = i; k < d.size(); k++)
        if (d[k] >= 0) return std::nullopt;  // a digit after the padding
    const size_t digits = group.size();      // of the last group, before any padding
    if (digits == 1) return std::nullopt;
    if (pads > 0 && (digits < 2 || pads > (digits == 2 ? 2u : 1u))) return std::nullopt;
    if (digits >= 2) {
        while (group.size() < 4) group.push_back(0);
        const u32 v = static_cast<u32>(group[0] << 18 | group[1] << 12 | group[2] << 6 | group[3]);
        out.push_back(static_cast<u8>(v >> 16));
        if (digits == 3) out.push_back(static_cast<u8>(v >> 8));
    }
    return out;
}

// --- The codec under test ----------------------------------------------------

// Decodes into a heap block of exactly the room asked for, and checks the
// node-returning decoder gives the same.
std::optional<Bytes> decode(i32 base, const u8* text, i32 count, u32 unit) {
    const i64 room = binary::decoded_room(base, count);
    check(room >= 0);
    std::unique_ptr<u8[]> out(new u8[static_cast<size_t>(room) + (room == 0)]);
    const i64 n = binary::decode_into(base, text, count, unit, out.get());
    check(n >= -1 && n <= room);
    using Decoder = Node (*)(const u8*, i32, u32);
    constexpr Decoder decoders[4] = {binary::decode_2, binary::decode_16, binary::decode_58, binary::decode_64};
    const Node node = decoders[base == 2 ? 0 : base == 16 ? 1 : base == 58 ? 2 : 3](text, count, unit);
    check((node != 0) == (n >= 0));
    if (n < 0) return std::nullopt;
    Bytes got(out.get(), out.get() + n);
    SeriesBuffer* s = memory::buffer(node);
    check(Bytes(s->head_ptr(), s->tail_ptr()) == got);
    return got;
}

// The text of the bytes, written into a heap block of exactly enbase's room.
Bytes encode(i32 base, const Bytes& bytes) {
    const i64 room = binary::encoded_room(static_cast<i64>(bytes.size()), base);
    std::unique_ptr<u8[]> out(new u8[static_cast<size_t>(room)]);
    using Encoder = u8* (*)(const u8*, u8*, i32);
    constexpr Encoder encoders[4] = {binary::encode_2, binary::encode_16, binary::encode_58, binary::encode_64};
    u8* end = encoders[base == 2 ? 0 : base == 16 ? 1 : base == 58 ? 2 : 3](bytes.data(), out.get(),
                                                                              static_cast<i32>(bytes.size()));
    check(end >= out.get() && end - out.get() <= room);
    return Bytes(out.get(), end);
}

// The code points as text of `unit` bytes each, in a block of exactly that size.
std::unique_ptr<u8[]> as_text(const std::vector<u32>& cps, u32 unit) {
    std::unique_ptr<u8[]> t(new u8[cps.size() * unit + 1]);
    for (size_t i = 0; i < cps.size(); i++) string::put_char(t.get() + i * unit, unit, cps[i]);
    return t;
}

void round_trip(i32 base, const Bytes& bytes) {
    const Bytes text = encode(base, bytes);
    const std::vector<u32> cps(text.begin(), text.end());
    for (u32 unit : {1u, 2u, 4u}) {
        const auto t = as_text(cps, unit);
        const std::optional<Bytes> back = decode(base, t.get(), static_cast<i32>(cps.size()), unit);
        check(back && *back == bytes);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    runtime_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 4096) return -1;  // base 58 is quadratic: long inputs add time, not coverage
    const i32 base = bases[data[0] & 3];
    const u32 unit = (data[0] >> 2 & 3) == 2 ? 4 : (data[0] >> 2 & 3) == 1 ? 2 : 1;
    const u8* rest = data + 1;
    const size_t n = size - 1;

    // As text: each character from `unit` bytes (little-endian).
    const i32 count = static_cast<i32>(n / unit);
    std::vector<u32> cps(static_cast<size_t>(count));
    for (i32 i = 0; i < count; i++) {
        u32 c = 0;
        std::memcpy(&c, rest + static_cast<size_t>(i) * unit, unit);
        cps[static_cast<size_t>(i)] = c;
    }
    const auto text = as_text(cps, unit);
    const std::optional<Bytes> got = decode(base, text.get(), count, unit);
    check(got == reference(base, cps));
    if (got) round_trip(base, *got);

    // As bytes.
    round_trip(base, Bytes(rest, rest + n));

    static u32 runs = 0;
    if (++runs % 256 == 0) collector::recycle();
    return 0;
}
