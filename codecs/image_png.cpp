// PNG through libpng's simplified API, which reads and writes 8-bit BGRA
// (our pixel words in memory order) and keeps its error jumps inside the
// library: every failure comes back as a return value.
#include "codecs/image_codecs.h"
#include "runtime/platform/shared_library.h"

#include <png.h>

#include <cstring>
#include <memory>

namespace oru::image_codec {

namespace {

#define ORU_PNG_FUNCTIONS(X) \
    X(png_image_begin_read_from_memory) X(png_image_finish_read) X(png_image_free) X(png_image_write_to_memory)
ORU_PNG_FUNCTIONS(ORU_LIBRARY_POINTER)

// libpng16.so.16 is loaded at the first image of its format (see
// runtime/platform/shared_library.h); without it every decode and encode
// of the format fails.
bool png_loaded() {
    static const bool loaded = platform::load_library("libpng16.so.16", {ORU_PNG_FUNCTIONS(ORU_LIBRARY_SYMBOL)});
    return loaded;
}

}  // namespace

bool png_decode(const u8* data, size_t size, Target& out) {
    if (!png_loaded()) return false;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, data, size)) return false;
    image.format = PNG_FORMAT_BGRA;
    if (!out.take(image.width, image.height)) {
        png_image_free(&image);
        return false;
    }
    const bool ok = png_image_finish_read(&image, nullptr, out.pixels, 0, nullptr) != 0;
    png_image_free(&image);
    return ok;
}

// Opaque images are written as RGB, the others as RGBA, at the library's
// default zlib level (6) and filters.
bool png_encode(const u32* pixels, u32 width, u32 height, std::vector<u8>& out) {
    if (!png_loaded()) return false;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    const size_t count = static_cast<size_t>(width) * height;
    const void* source = pixels;
    std::unique_ptr<u8[]> rgb;
    if (opaque_q(pixels, count)) {
        image.format = PNG_FORMAT_BGR;
        rgb.reset(new u8[count * 3]);
        const u8* s = reinterpret_cast<const u8*>(pixels);
        u8* d = rgb.get();
        for (size_t i = 0; i < count; i++, s += 4, d += 3) d[0] = s[0], d[1] = s[1], d[2] = s[2];
        source = rgb.get();
    } else {
        image.format = PNG_FORMAT_BGRA;
    }
    // One pass into room for the largest result the format allows.
    png_alloc_size_t room = PNG_IMAGE_PNG_SIZE_MAX(image);
    std::unique_ptr<u8[]> buffer(new u8[room]);
    if (!png_image_write_to_memory(&image, buffer.get(), &room, 0, source, 0, nullptr)) return false;
    out.assign(buffer.get(), buffer.get() + room);
    return true;
}

}  // namespace oru::image_codec
