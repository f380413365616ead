// TIFF through libtiff, opened with TIFFClientOpenExt over memory (reading)
// or a growing byte vector (writing). The handle's own error and warning
// handlers swallow every message, and a cap on single allocations keeps a
// hostile header from making the library reserve more than an image may
// hold. Decoding takes the first directory as RGBA with the top-left
// origin; encoding writes 8-bit RGB, or RGBA with unassociated alpha, LZW.
#include "codecs/image_codecs.h"
#include "runtime/platform/shared_library.h"

#include <tiffio.h>

#include <algorithm>
#include <cstring>

namespace oru::image_codec {

namespace {

#define ORU_TIFF_FUNCTIONS(X) X(TIFFClientOpenExt) X(TIFFClose) X(TIFFDefaultStripSize) X(TIFFFlush)              \
    X(TIFFGetField) X(TIFFGetFieldDefaulted) X(TIFFIsTiled) X(TIFFOpenOptionsAlloc) X(TIFFOpenOptionsFree)        \
    X(TIFFOpenOptionsSetErrorHandlerExtR) X(TIFFOpenOptionsSetMaxSingleMemAlloc)                                  \
    X(TIFFOpenOptionsSetWarningHandlerExtR) X(TIFFRGBAImageOK) X(TIFFReadRGBAImageOriented) X(TIFFReadScanline)   \
    X(TIFFScanlineSize64) X(TIFFSetErrorHandler) X(TIFFSetField) X(TIFFSetWarningHandler) X(TIFFWriteScanline)
ORU_TIFF_FUNCTIONS(ORU_LIBRARY_POINTER)

// libtiff.so.6 is loaded at the first image of its format (see
// runtime/platform/shared_library.h); without it every decode and encode
// of the format fails.
bool tiff_loaded() {
    static const bool loaded = [] {
        if (!platform::load_library("libtiff.so.6", {ORU_TIFF_FUNCTIONS(ORU_LIBRARY_SYMBOL)})) return false;
        // Handles opened elsewhere than through open() below stay quiet too.
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
        return true;
    }();
    return loaded;
}

struct Memory {
    const u8* data;        // reading
    std::vector<u8>* out;  // writing
    u64 size;
    u64 pos;
};

tmsize_t read_proc(thandle_t h, void* buf, tmsize_t n) {
    auto* m = static_cast<Memory*>(h);
    if (n < 0 || !m->data || m->pos >= m->size) return 0;
    const u64 k = std::min<u64>(static_cast<u64>(n), m->size - m->pos);
    std::memcpy(buf, m->data + m->pos, k);
    m->pos += k;
    return static_cast<tmsize_t>(k);
}

tmsize_t write_proc(thandle_t h, void* buf, tmsize_t n) {
    auto* m = static_cast<Memory*>(h);
    if (n < 0 || !m->out) return -1;
    const u64 end = m->pos + static_cast<u64>(n);
    if (end > m->out->size()) m->out->resize(end);
    std::memcpy(m->out->data() + m->pos, buf, static_cast<size_t>(n));
    m->pos = end;
    m->size = std::max(m->size, end);
    return n;
}

toff_t seek_proc(thandle_t h, toff_t off, int whence) {
    auto* m = static_cast<Memory*>(h);
    u64 base = whence == SEEK_CUR ? m->pos : whence == SEEK_END ? m->size : 0;
    const u64 to = base + off;
    if (to < base) return static_cast<toff_t>(-1);
    // Reading never goes past the data; writing may seek past its end.
    if (m->data && to > m->size) return static_cast<toff_t>(-1);
    m->pos = to;
    return to;
}

int close_proc(thandle_t) { return 0; }
toff_t size_proc(thandle_t h) { return static_cast<Memory*>(h)->size; }
int map_proc(thandle_t, void**, toff_t*) { return 0; }
void unmap_proc(thandle_t, void*, toff_t) {}

int quiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

TIFF* open(Memory& m, const char* mode) {
    TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
    if (!opts) return nullptr;
    TIFFOpenOptionsSetMaxSingleMemAlloc(opts, static_cast<tmsize_t>(max_bytes));
    TIFFOpenOptionsSetErrorHandlerExtR(opts, quiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, quiet, nullptr);
    TIFF* t = TIFFClientOpenExt("memory", mode, &m, read_proc, write_proc, seek_proc, close_proc, size_proc, map_proc,
                                unmap_proc, opts);
    TIFFOpenOptionsFree(opts);
    return t;
}

struct Closer {
    TIFF* t;
    ~Closer() {
        if (t) TIFFClose(t);
    }
};

// Strips of 8-bit RGB or RGB with unassociated alpha, top-left: read as
// they are. libtiff's RGBA reader would premultiply such alpha, so that an
// image we wrote would not come back unchanged.
bool plain_rgb_q(TIFF* t, uint32_t width) {
    uint16_t bps = 0, spp = 0, photo = 0, planar = PLANARCONFIG_CONTIG, orientation = ORIENTATION_TOPLEFT;
    uint16_t extras = 0;
    uint16_t* kinds = nullptr;
    if (TIFFIsTiled(t) || !TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bps) ||
        !TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp) || !TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photo))
        return false;
    TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(t, TIFFTAG_ORIENTATION, &orientation);
    TIFFGetFieldDefaulted(t, TIFFTAG_EXTRASAMPLES, &extras, &kinds);
    if (bps != 8 || photo != PHOTOMETRIC_RGB || planar != PLANARCONFIG_CONTIG || orientation != ORIENTATION_TOPLEFT)
        return false;
    const bool rgba = spp == 4 && extras == 1 && kinds && kinds[0] == EXTRASAMPLE_UNASSALPHA;
    if (spp != 3 && !rgba) return false;
    return TIFFScanlineSize64(t) == static_cast<uint64_t>(width) * spp;
}

bool read_plain(TIFF* t, uint32_t width, uint32_t height, Target& out) {
    uint16_t spp = 0;
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
    std::vector<u8> row(static_cast<size_t>(width) * spp);
    for (uint32_t y = 0; y < height; y++) {
        if (TIFFReadScanline(t, row.data(), y, 0) < 0) return false;
        u32* d = out.pixels + static_cast<size_t>(y) * width;
        const u8* s = row.data();
        for (uint32_t x = 0; x < width; x++, s += spp)
            d[x] = (spp == 4 ? static_cast<u32>(s[3]) << 24 : 0xFF000000u) | static_cast<u32>(s[0]) << 16 |
                   static_cast<u32>(s[1]) << 8 | s[2];
    }
    return true;
}

}  // namespace

bool tiff_decode(const u8* data, size_t size, Target& out) {
    if (!tiff_loaded()) return false;
    Memory m{data, nullptr, size, 0};
    Closer c{open(m, "rm")};
    if (!c.t) return false;
    uint32_t width = 0, height = 0;
    if (!TIFFGetField(c.t, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(c.t, TIFFTAG_IMAGELENGTH, &height)) return false;
    if (plain_rgb_q(c.t, width)) return out.take(width, height) && read_plain(c.t, width, height, out);
    char message[1024];
    if (!TIFFRGBAImageOK(c.t, message)) return false;
    if (!out.take(width, height)) return false;
    if (!TIFFReadRGBAImageOriented(c.t, width, height, out.pixels, ORIENTATION_TOPLEFT, 0)) return false;
    // libtiff packs R in the low byte: swap R and B into 0xAARRGGBB.
    for (u64 i = 0, n = static_cast<u64>(width) * height; i < n; i++) {
        const u32 p = out.pixels[i];
        out.pixels[i] = (p & 0xFF00FF00u) | (p >> 16 & 0xFF) | (p & 0xFF) << 16;
    }
    return true;
}

bool tiff_encode(const u32* pixels, u32 width, u32 height, std::vector<u8>& out) {
    if (!tiff_loaded()) return false;
    out.clear();
    Memory m{nullptr, &out, 0, 0};
    Closer c{open(m, "w")};
    if (!c.t) return false;
    const bool alpha = !opaque_q(pixels, static_cast<size_t>(width) * height);
    const uint16_t samples = alpha ? 4 : 3;
    TIFFSetField(c.t, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(c.t, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(c.t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(c.t, TIFFTAG_SAMPLESPERPIXEL, samples);
    TIFFSetField(c.t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(c.t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(c.t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(c.t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    if (alpha) {
        const uint16_t extra[] = {EXTRASAMPLE_UNASSALPHA};
        TIFFSetField(c.t, TIFFTAG_EXTRASAMPLES, 1, extra);
    }
    TIFFSetField(c.t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(c.t, 0));
    std::vector<u8> row(static_cast<size_t>(width) * samples);
    for (u32 y = 0; y < height; y++) {
        const u32* p = pixels + static_cast<size_t>(y) * width;
        u8* d = row.data();
        for (u32 x = 0; x < width; x++, d += samples) {
            d[0] = static_cast<u8>(p[x] >> 16), d[1] = static_cast<u8>(p[x] >> 8), d[2] = static_cast<u8>(p[x]);
            if (alpha) d[3] = static_cast<u8>(p[x] >> 24);
        }
        if (TIFFWriteScanline(c.t, row.data(), y, 0) < 0) return false;
    }
    TIFF* t = c.t;
    c.t = nullptr;
    if (!TIFFFlush(t)) {
        TIFFClose(t);
        return false;
    }
    TIFFClose(t);
    out.resize(m.size);
    return true;
}

}  // namespace oru::image_codec
