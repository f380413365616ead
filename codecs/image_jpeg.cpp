// JPEG through libjpeg-turbo's TurboJPEG API, which reports every failure
// as a return value (the classic API would longjmp or exit). Decoding fills
// the alpha byte with 255; encoding drops alpha, at quality 90 with 4:2:0
// chroma subsampling.
#include "codecs/image_codecs.h"
#include "runtime/platform/shared_library.h"

#include <turbojpeg.h>

namespace oru::image_codec {

namespace {

#define ORU_JPEG_FUNCTIONS(X)                                                                               \
    X(tjCompress2) X(tjDecompress2) X(tjDecompressHeader3) X(tjDestroy) X(tjFree) X(tjGetErrorCode) X(tjInitCompress) \
    X(tjInitDecompress)
ORU_JPEG_FUNCTIONS(ORU_LIBRARY_POINTER)

// libturbojpeg.so.0 is loaded at the first image of its format (see
// runtime/platform/shared_library.h); without it every decode and encode
// of the format fails.
bool jpeg_loaded() {
    static const bool loaded = platform::load_library("libturbojpeg.so.0", {ORU_JPEG_FUNCTIONS(ORU_LIBRARY_SYMBOL)});
    return loaded;
}

struct Handle {
    tjhandle h;
    explicit Handle(tjhandle handle) : h(handle) {}
    ~Handle() {
        if (h) tjDestroy(h);
    }
};

}  // namespace

bool jpeg_decode(const u8* data, size_t size, Target& out) {
    if (!jpeg_loaded()) return false;
    if (size > 0xFFFFFFFFu) return false;
    Handle d(tjInitDecompress());
    if (!d.h) return false;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(d.h, data, static_cast<unsigned long>(size), &width, &height, &subsampling, &colorspace))
        return false;
    if (width <= 0 || height <= 0 || !out.take(static_cast<u64>(width), static_cast<u64>(height))) return false;
    // A warning (a stream cut short, a bad marker) still leaves a whole
    // image, as other readers show it.
    const int r = tjDecompress2(d.h, data, static_cast<unsigned long>(size),
                                reinterpret_cast<unsigned char*>(out.pixels), width, width * 4, height, TJPF_BGRA, 0);
    return r == 0 || tjGetErrorCode(d.h) == TJERR_WARNING;
}

bool jpeg_encode(const u32* pixels, u32 width, u32 height, std::vector<u8>& out) {
    if (!jpeg_loaded()) return false;
    Handle c(tjInitCompress());
    if (!c.h) return false;
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    const int r = tjCompress2(c.h, reinterpret_cast<const unsigned char*>(pixels), static_cast<int>(width),
                              static_cast<int>(width * 4), static_cast<int>(height), TJPF_BGRX, &jpeg, &size,
                              TJSAMP_420, 90, 0);
    if (r == 0 && jpeg) out.assign(jpeg, jpeg + size);
    tjFree(jpeg);
    return r == 0;
}

}  // namespace oru::image_codec
