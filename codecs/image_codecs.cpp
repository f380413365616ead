// Format sniffing and dispatch of the image codecs; see image_codecs.h.
#include "codecs/image_codecs.h"

#include <cstring>

namespace oru::image_codec {

i32 sniff(const u8* d, size_t n) {
    if (n >= 4 && d[0] == 0x89 && d[1] == 'P' && d[2] == 'N' && d[3] == 'G') return png;
    if (n >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF) return jpeg;
    if (n >= 2 && d[0] == 'B' && d[1] == 'M') return bmp;
    if (n >= 6 && (std::memcmp(d, "GIF87a", 6) == 0 || std::memcmp(d, "GIF89a", 6) == 0)) return gif;
    if (n >= 4 && (std::memcmp(d, "II*\0", 4) == 0 || std::memcmp(d, "MM\0*", 4) == 0)) return tiff;
    return -1;
}

bool decode(const u8* data, size_t size, Target& out) {
    switch (sniff(data, size)) {
        case png: return png_decode(data, size, out);
        case jpeg: return jpeg_decode(data, size, out);
        case bmp: return bmp_decode(data, size, out);
        case gif: return gif_decode(data, size, out);
        case tiff: return tiff_decode(data, size, out);
        default: return false;
    }
}

bool encode(i32 format, const u32* pixels, u32 width, u32 height, std::vector<u8>& out) {
    switch (format) {
        case png: return png_encode(pixels, width, height, out);
        case jpeg: return jpeg_encode(pixels, width, height, out);
        case bmp: return bmp_encode(pixels, width, height, out);
        case gif: return gif_encode(pixels, width, height, out);
        case tiff: return tiff_encode(pixels, width, height, out);
        default: return false;
    }
}

bool opaque_q(const u32* pixels, size_t count) {
    u32 all = 0xFF000000;
    for (size_t i = 0; i < count; i++) all &= pixels[i];
    return all == 0xFF000000;
}

}  // namespace oru::image_codec
