// The LZ codec: round trips through chunk boundaries, the token stream bit
// by bit, and the streams the expander must refuse.
#include "codecs/lz.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace oru;

namespace {

std::vector<u8> compressed(const std::vector<u8>& in) {
    std::vector<u8> out(in.size());
    const i64 n = lz::compress(in.data(), in.size(), out.data());
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

std::vector<u8> expanded(const std::vector<u8>& stream, lz::Status* status = nullptr) {
    u32 size = 0;
    lz::Status st;
    lz::Buffer b = lz::decompress(stream.data(), stream.size(), &size, &st);
    if (status) *status = st;
    if (!b) return {};
    return std::vector<u8>(b.get(), b.get() + size);
}

// Bits written low bit first into bytes, for streams built by hand.
struct Bits {
    std::vector<u8> bytes;
    u32 n = 0;
    void put(u32 v, u32 width) {
        for (u32 i = 0; i < width; i++, n++) {
            if (n % 8 == 0) bytes.push_back(0);
            if (v >> i & 1) bytes.back() |= static_cast<u8>(1u << (n % 8));
        }
    }
};

void put32(std::vector<u8>& s, u32 v) {
    for (int i = 0; i < 4; i++) s.push_back(static_cast<u8>(v >> (8 * i)));
}

// A stream of one chunk from its token bits.
std::vector<u8> stream_of(u32 chunk_length, const Bits& bits, u32 expanded) {
    std::vector<u8> s;
    put32(s, static_cast<u32>(4 + bits.bytes.size()));
    put32(s, expanded);
    put32(s, chunk_length);
    s.insert(s.end(), bits.bytes.begin(), bits.bytes.end());
    return s;
}

std::vector<u8> text_like(size_t n, u32 seed) {
    static const char* words[] = {"block ", "value ", "print ", "[1 2 3] ", "func ", "either ", "\"text\" ", "42 "};
    std::vector<u8> out;
    while (out.size() < n) {
        seed = seed * 1103515245 + 12345;
        const char* w = words[(seed >> 16) % 8];
        out.insert(out.end(), w, w + std::strlen(w));
    }
    out.resize(n);
    return out;
}

TEST(Lz, RoundTrips) {
    struct Case {
        const char* what;
        std::vector<u8> data;
    } cases[] = {
        {"text, shortest input", text_like(128, 1)},
        {"text, one chunk", text_like(300000, 2)},
        {"text over three chunks, the last one short", text_like(2 * lz::chunk_size + 4321, 3)},
        {"one byte repeated (overlapping copies)", std::vector<u8>(70000, 'x')},
        {"a period longer than the window", [] {
             std::vector<u8> v = text_like(300000, 4);
             v.insert(v.end(), v.begin(), v.end());
             return v;
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<u8> s = compressed(c.data);
        ASSERT_FALSE(s.empty());
        EXPECT_LT(s.size(), c.data.size());
        EXPECT_EQ(expanded(s), c.data);
    }
}

TEST(Lz, WhatTheCompressorRefuses) {
    std::vector<u8> noise(4096);
    u32 x = 7;
    for (u8& b : noise) b = static_cast<u8>((x = x * 1664525 + 1013904223) >> 24);
    std::vector<u8> out(noise.size());
    EXPECT_EQ(lz::compress(noise.data(), noise.size(), out.data()), -1) << "a literal costs 9 bits";
    const std::vector<u8> short_input(127, 'a');
    EXPECT_EQ(lz::compress(short_input.data(), short_input.size(), out.data()), -1);
}

TEST(Lz, TokensAsWritten) {
    // "a", then a match of distance 1 and length 10: L = 7 is "01" then 3,
    // d = 0 is k = 0 then three zero bits.
    Bits b;
    b.put(0, 1), b.put('a', 8);
    b.put(1, 1), b.put(0, 1), b.put(1, 1), b.put(3, 2), b.put(0, 4), b.put(0, 3);
    EXPECT_EQ(expanded(stream_of(11, b, 11)), std::vector<u8>(11, 'a'));

    // The compressor's own bits for the same data start the same way.
    std::vector<u8> data(200, 'a');
    const std::vector<u8> s = compressed(data);
    ASSERT_GE(s.size(), 14u);
    EXPECT_EQ(s[12], 0xC2) << "a zero bit, then 0x61 from its low bit";
}

TEST(Lz, CorruptStreams) {
    Bits lit;
    lit.put(0, 1), lit.put('z', 8);
    Bits far;  // "z", then a copy from 2 bytes back
    far.put(0, 1), far.put('z', 8);
    far.put(1, 1), far.put(1, 1), far.put(0, 2), far.put(0, 4), far.put(1, 3);
    Bits long_copy;  // "z", then 10 bytes into a chunk of 5
    long_copy.put(0, 1), long_copy.put('z', 8);
    long_copy.put(1, 1), long_copy.put(0, 1), long_copy.put(1, 1), long_copy.put(3, 2), long_copy.put(0, 7);
    std::vector<u8> good = stream_of(1, lit, 1);
    auto with = [&](size_t at, u8 v) {
        std::vector<u8> s = good;
        s[at] = v;
        return s;
    };
    auto cut = [&](size_t n) { return std::vector<u8>(good.begin(), good.begin() + static_cast<long>(n)); };
    std::vector<u8> too_big = stream_of(lz::chunk_size + 1, lit, lz::chunk_size + 1);
    std::vector<u8> huge_claim = good;
    huge_claim[4] = huge_claim[5] = huge_claim[6] = huge_claim[7] = 0xFF;
    std::vector<u8> short_fill = stream_of(1, lit, 2);
    struct Case {
        const char* what;
        std::vector<u8> stream;
        lz::Status status;
    } cases[] = {
        {"the stream as made", good, lz::Status::ok},
        {"chunk length 0", with(8, 0), lz::Status::corrupt},
        {"chunk length above 1 MiB", too_big, lz::Status::corrupt},
        {"a chunk longer than the expanded size", with(4, 0), lz::Status::corrupt},
        {"chunks that do not fill the expanded size", short_fill, lz::Status::corrupt},
        {"more chunk bytes than the input holds", with(0, 200), lz::Status::corrupt},
        {"the bits end before the chunk is filled", stream_of(2, lit, 2), lz::Status::corrupt},
        {"a copy from before the chunk", stream_of(3, far, 3), lz::Status::corrupt},
        {"a copy past the chunk's end", stream_of(5, long_copy, 5), lz::Status::corrupt},
        {"an expanded size the chunk bytes cannot make", huge_claim, lz::Status::corrupt},
        {"no header", cut(7), lz::Status::corrupt},
        {"header only, claiming chunks", cut(8), lz::Status::corrupt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        lz::Status st;
        const std::vector<u8> out = expanded(c.stream, &st);
        EXPECT_EQ(st, c.status);
        if (c.status == lz::Status::ok) {
            EXPECT_EQ(out, std::vector<u8>{'z'});
        }
    }
}

}  // namespace
