// The image file codecs: PNG (libpng), JPEG (TurboJPEG), GIF (giflib),
// TIFF (libtiff) and BMP (our own), each a decoder from bytes in memory to
// 32-bit pixels and an encoder back.
//
// Pixels are words 0xAARRGGBB (bytes B, G, R, A in memory), row-major, the
// top row first, AA the opacity (255 opaque). Decoders ask the caller for the
// pixel memory once they know the size, through `Allocate`, and only after
// checking it against the limits below, so that a hostile header never makes
// them reserve more than an image may hold. The libraries report their
// failures as return values: nothing longjmps or exits through our frames,
// and nothing prints. A decoder answers false for bytes it cannot read (the
// caller frees whatever it allocated); an encoder false when its library
// refuses.
#pragma once

#include "runtime/cell.h"

#include <vector>

namespace oru::image_codec {

// A side fits the 16 bits of an image cell's size word, and the pixels
// 2^31 bytes.
constexpr u32 max_side = 65535;
constexpr u64 max_bytes = u64{1} << 31;
inline bool size_ok(u64 width, u64 height) {
    return width >= 1 && height >= 1 && width <= max_side && height <= max_side && width * height * 4 <= max_bytes;
}

// The pixel memory for a decoded image of that size (size_ok holds), or
// null when refused; it stays the caller's.
using Allocate = u32* (*)(void* context, u32 width, u32 height);
struct Target {
    Allocate allocate;
    void* context;
    u32 width = 0, height = 0;
    u32* pixels = nullptr;
    // Takes the memory for width x height pixels; false when the size breaks
    // the limits or the memory is refused.
    bool take(u64 w, u64 h) {
        if (!size_ok(w, h)) return false;
        pixels = allocate(context, static_cast<u32>(w), static_cast<u32>(h));
        if (!pixels) return false;
        width = static_cast<u32>(w);
        height = static_cast<u32>(h);
        return true;
    }
};

// Formats by their codes (the codec routines' numbers).
enum Format : i32 { bmp = 0, png = 1, gif = 2, jpeg = 3, tiff = 4 };

// The format the first bytes announce, or -1.
i32 sniff(const u8* data, size_t size);

bool png_decode(const u8* data, size_t size, Target& out);
bool jpeg_decode(const u8* data, size_t size, Target& out);
bool gif_decode(const u8* data, size_t size, Target& out);
bool tiff_decode(const u8* data, size_t size, Target& out);
bool bmp_decode(const u8* data, size_t size, Target& out);

// Encoders of width x height pixels (both at least 1). PNG at zlib level 6;
// JPEG at quality 90 without alpha; GIF with the exact palette when the
// image has at most 256 colours (a pixel below half opacity takes the one
// transparent entry), else our own quantiser's; TIFF RGB(A) with LZW; BMP
// at 24 bits when every pixel is opaque, else 32 bits with an alpha mask.
bool png_encode(const u32* pixels, u32 width, u32 height, std::vector<u8>& out);
bool jpeg_encode(const u32* pixels, u32 width, u32 height, std::vector<u8>& out);
bool gif_encode(const u32* pixels, u32 width, u32 height, std::vector<u8>& out);
bool tiff_encode(const u32* pixels, u32 width, u32 height, std::vector<u8>& out);
bool bmp_encode(const u32* pixels, u32 width, u32 height, std::vector<u8>& out);

// Decodes with the format the bytes announce; false for unknown bytes.
bool decode(const u8* data, size_t size, Target& out);
// Encodes in a format by code; false for an unknown code or a refusal.
bool encode(i32 format, const u32* pixels, u32 width, u32 height, std::vector<u8>& out);

// True when every pixel is fully opaque.
bool opaque_q(const u32* pixels, size_t count);


}  // namespace oru::image_codec
