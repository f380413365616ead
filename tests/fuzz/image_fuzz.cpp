// libFuzzer targets for the image decoders, one per format: the target's
// format is fixed at build time (ORU_IMAGE_FORMAT, a codec code), so each
// corpus keeps to its own decoder. Any bytes must decode or be refused
// without a crash, a hang or a sanitizer report, and the decoder must ask
// for pixel memory only within the limits (a side of at most 65535, at
// most 2^31 bytes), at most once. A decoded image is encoded again in the
// same format and, for the lossless formats, must decode to the same
// pixels (GIF only when the image is opaque: its encoder keeps one
// transparent colour).
#include "codecs/image_codecs.h"

#include <cstddef>
#include <cstdint>
#include <vector>

using namespace oru;

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Large images add time, not coverage: refused above this many pixels.
constexpr u64 pixel_cap = 1 << 18;

struct Decoded {
    std::vector<u32> px;
    int asked = 0;
    image_codec::Target target{alloc, this};
    static u32* alloc(void* self, u32 w, u32 h) {
        auto* d = static_cast<Decoded*>(self);
        check(image_codec::size_ok(w, h));
        check(++d->asked == 1);
        if (u64{w} * h > pixel_cap) return nullptr;
        d->px.assign(static_cast<size_t>(w) * h, 0);
        return d->px.data();
    }
};

bool decode(const u8* data, size_t size, Decoded& d) {
    switch (ORU_IMAGE_FORMAT) {
        case image_codec::png: return image_codec::png_decode(data, size, d.target);
        case image_codec::jpeg: return image_codec::jpeg_decode(data, size, d.target);
        case image_codec::gif: return image_codec::gif_decode(data, size, d.target);
        case image_codec::tiff: return image_codec::tiff_decode(data, size, d.target);
        default: return image_codec::bmp_decode(data, size, d.target);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1 << 20) return -1;
    Decoded d;
    if (!decode(data, size, d)) return 0;
    const u32 w = d.target.width, h = d.target.height;
    check(d.px.size() == static_cast<size_t>(w) * h);
    std::vector<u8> file;
    check(image_codec::encode(ORU_IMAGE_FORMAT, d.px.data(), w, h, file));
    const bool lossless = ORU_IMAGE_FORMAT != image_codec::jpeg &&
                          (ORU_IMAGE_FORMAT != image_codec::gif || image_codec::opaque_q(d.px.data(), d.px.size()));
    Decoded again;
    check(decode(file.data(), file.size(), again));
    check(again.target.width == w && again.target.height == h);
    if (lossless) check(again.px == d.px);
    return 0;
}
