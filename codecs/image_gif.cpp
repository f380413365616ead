// GIF through giflib, read from and written to memory.
//
// Decoding takes the first image of the file onto the logical screen (the
// screen's pixels outside it stay fully transparent); its graphics control
// block's transparent index gets opacity 0. Encoding writes one image:
// pixels below half opacity take the one transparent entry, the others
// their colour, from the exact palette when there are at most 256 entries,
// else from a median-cut quantiser over a 15-bit colour histogram.
#include "codecs/image_codecs.h"
#include "runtime/platform/shared_library.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace oru::image_codec {

namespace {

#define ORU_GIF_FUNCTIONS(X) X(DGifCloseFile) X(DGifExtensionToGCB) X(DGifGetExtension) X(DGifGetExtensionNext)   \
    X(DGifGetImageDesc) X(DGifGetLine) X(DGifGetRecordType) X(DGifOpen) X(EGifCloseFile) X(EGifGCBToExtension)    \
    X(EGifOpen) X(EGifPutExtension) X(EGifPutImageDesc) X(EGifPutLine) X(EGifPutScreenDesc) X(EGifSetGifVersion)  \
    X(GifFreeMapObject) X(GifMakeMapObject)
ORU_GIF_FUNCTIONS(ORU_LIBRARY_POINTER)

// libgif.so.7 is loaded at the first image of its format (see
// runtime/platform/shared_library.h); without it every decode and encode
// of the format fails.
bool gif_loaded() {
    static const bool loaded = platform::load_library("libgif.so.7", {ORU_GIF_FUNCTIONS(ORU_LIBRARY_SYMBOL)});
    return loaded;
}

struct Reader {
    const u8* p;
    size_t left;
};

int read_bytes(GifFileType* g, GifByteType* buf, int n) {
    auto* r = static_cast<Reader*>(g->UserData);
    const size_t k = std::min(static_cast<size_t>(n < 0 ? 0 : n), r->left);
    std::memcpy(buf, r->p, k);
    r->p += k;
    r->left -= k;
    return static_cast<int>(k);
}

int write_bytes(GifFileType* g, const GifByteType* buf, int n) {
    auto* out = static_cast<std::vector<u8>*>(g->UserData);
    out->insert(out->end(), buf, buf + n);
    return n;
}

struct Decoder {
    GifFileType* g;
    ~Decoder() {
        int err;
        if (g) DGifCloseFile(g, &err);
    }
};

// Reads the extensions before the first image; its transparent index, or -1.
bool first_image(GifFileType* g, int& transparent) {
    for (;;) {
        GifRecordType t;
        if (DGifGetRecordType(g, &t) == GIF_ERROR) return false;
        if (t == IMAGE_DESC_RECORD_TYPE) return DGifGetImageDesc(g) != GIF_ERROR;
        if (t == TERMINATE_RECORD_TYPE) return false;
        if (t != EXTENSION_RECORD_TYPE) continue;
        int code;
        GifByteType* ext = nullptr;
        if (DGifGetExtension(g, &code, &ext) == GIF_ERROR) return false;
        if (code == GRAPHICS_EXT_FUNC_CODE && ext && ext[0] >= 4) {
            GraphicsControlBlock gcb;
            if (DGifExtensionToGCB(ext[0], ext + 1, &gcb) != GIF_ERROR) transparent = gcb.TransparentColor;
        }
        while (ext)
            if (DGifGetExtensionNext(g, &ext) == GIF_ERROR) return false;
    }
}

}  // namespace

bool gif_decode(const u8* data, size_t size, Target& out) {
    if (!gif_loaded()) return false;
    Reader reader{data, size};
    int err = 0;
    Decoder d{DGifOpen(&reader, read_bytes, &err)};
    if (!d.g) return false;
    int transparent = -1;
    if (!first_image(d.g, transparent)) return false;
    const GifImageDesc& desc = d.g->Image;
    const ColorMapObject* map = desc.ColorMap ? desc.ColorMap : d.g->SColorMap;
    if (!map || desc.Width <= 0 || desc.Height <= 0 || desc.Left < 0 || desc.Top < 0) return false;
    u64 width = static_cast<u64>(d.g->SWidth), height = static_cast<u64>(d.g->SHeight);
    if (width == 0 || height == 0) width = static_cast<u64>(desc.Width), height = static_cast<u64>(desc.Height);
    // The frame must fit the limits too: its rows are decoded whole.
    if (!size_ok(static_cast<u64>(desc.Width), static_cast<u64>(desc.Height)) || !out.take(width, height)) return false;
    std::fill(out.pixels, out.pixels + width * height, 0u);

    u32 colours[256];
    for (int i = 0; i < 256; i++) {
        if (i < map->ColorCount) {
            const GifColorType& c = map->Colors[i];
            colours[i] = 0xFF000000u | static_cast<u32>(c.Red) << 16 | static_cast<u32>(c.Green) << 8 | c.Blue;
        } else {
            colours[i] = 0xFF000000u;
        }
    }
    if (transparent >= 0 && transparent < 256) colours[transparent] &= 0x00FFFFFFu;

    std::vector<GifPixelType> line(static_cast<size_t>(desc.Width));
    auto put_row = [&](int y) {
        const u64 sy = static_cast<u64>(desc.Top) + static_cast<u64>(y);
        if (sy >= height) return;
        u32* row = out.pixels + sy * width;
        for (int x = 0; x < desc.Width; x++) {
            const u64 sx = static_cast<u64>(desc.Left) + static_cast<u64>(x);
            if (sx < width) row[sx] = colours[line[static_cast<size_t>(x)]];
        }
    };
    if (desc.Interlace) {
        static constexpr int start[] = {0, 4, 2, 1}, step[] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; pass++)
            for (int y = start[pass]; y < desc.Height; y += step[pass]) {
                if (DGifGetLine(d.g, line.data(), desc.Width) == GIF_ERROR) return false;
                put_row(y);
            }
    } else {
        for (int y = 0; y < desc.Height; y++) {
            if (DGifGetLine(d.g, line.data(), desc.Width) == GIF_ERROR) return false;
            put_row(y);
        }
    }
    return true;
}

// --- Encoding ------------------------------------------------------------------------

namespace {

constexpr u32 rgb_mask = 0x00FFFFFF;
inline bool clear_q(u32 px) { return (px >> 24) < 128; }
inline u32 rgb15(u32 px) { return (px >> 9 & 0x7C00) | (px >> 6 & 0x3E0) | (px >> 3 & 0x1F); }

// The exact palette: false when the image has more colours than `room`.
bool exact_palette(const u32* px, size_t count, size_t room, std::vector<u32>& palette, std::vector<u8>& index,
                   int transparent) {
    std::unordered_map<u32, u8> seen;
    for (size_t i = 0; i < count; i++) {
        if (clear_q(px[i])) {
            index[i] = static_cast<u8>(transparent);
            continue;
        }
        const u32 c = px[i] & rgb_mask;
        auto it = seen.find(c);
        if (it == seen.end()) {
            if (palette.size() >= room) return false;
            it = seen.emplace(c, static_cast<u8>(palette.size() + (transparent == 0 ? 1 : 0))).first;
            palette.push_back(c);
        }
        index[i] = it->second;
    }
    return true;
}

// Median cut over the 15-bit histogram: boxes of histogram cells split at
// the population median of their longest side until there are `room`.
struct Box {
    std::vector<u16> cells;
    u64 population;
    int lo[3], hi[3];
};

void bound(Box& b, const std::vector<u32>& hist) {
    b.population = 0;
    for (int k = 0; k < 3; k++) b.lo[k] = 31, b.hi[k] = 0;
    for (u16 c : b.cells) {
        const int v[3] = {c >> 10 & 31, c >> 5 & 31, c & 31};
        for (int k = 0; k < 3; k++) b.lo[k] = std::min(b.lo[k], v[k]), b.hi[k] = std::max(b.hi[k], v[k]);
        b.population += hist[c];
    }
}

void quantise(const u32* px, size_t count, size_t room, std::vector<u32>& palette, std::vector<u8>& index,
              int transparent) {
    std::vector<u32> hist(32768, 0);
    std::vector<u64> sums(32768 * 3, 0);
    for (size_t i = 0; i < count; i++) {
        if (clear_q(px[i])) continue;
        const u32 c = rgb15(px[i]);
        hist[c]++;
        sums[c * 3] += px[i] >> 16 & 255;
        sums[c * 3 + 1] += px[i] >> 8 & 255;
        sums[c * 3 + 2] += px[i] & 255;
    }
    std::vector<Box> boxes(1);
    for (u32 c = 0; c < 32768; c++)
        if (hist[c]) boxes[0].cells.push_back(static_cast<u16>(c));
    bound(boxes[0], hist);
    while (boxes.size() < room) {
        // The box with the most pixels among those that can still be cut.
        size_t pick = boxes.size();
        for (size_t i = 0; i < boxes.size(); i++)
            if (boxes[i].cells.size() > 1 && (pick == boxes.size() || boxes[i].population > boxes[pick].population))
                pick = i;
        if (pick == boxes.size()) break;
        Box& b = boxes[pick];
        int axis = 0;
        for (int k = 1; k < 3; k++)
            if (b.hi[k] - b.lo[k] > b.hi[axis] - b.lo[axis]) axis = k;
        const int shift = 10 - 5 * axis;
        std::sort(b.cells.begin(), b.cells.end(), [&](u16 x, u16 y) { return (x >> shift & 31) < (y >> shift & 31); });
        u64 half = 0;
        size_t cut = 0;
        while (cut + 1 < b.cells.size() && half + hist[b.cells[cut]] <= b.population / 2) half += hist[b.cells[cut++]];
        if (cut == 0) cut = 1;
        Box other;
        other.cells.assign(b.cells.begin() + static_cast<std::ptrdiff_t>(cut), b.cells.end());
        b.cells.resize(cut);
        bound(b, hist);
        bound(other, hist);
        boxes.push_back(std::move(other));
    }
    std::vector<u8> lut(32768, 0);
    const u8 offset = transparent == 0 ? 1 : 0;
    for (size_t i = 0; i < boxes.size(); i++) {
        u64 s[3] = {0, 0, 0};
        for (u16 c : boxes[i].cells)
            for (int k = 0; k < 3; k++) s[k] += sums[c * 3 + static_cast<size_t>(k)];
        const u64 n = boxes[i].population ? boxes[i].population : 1;
        palette.push_back(static_cast<u32>(s[0] / n) << 16 | static_cast<u32>(s[1] / n) << 8 | static_cast<u32>(s[2] / n));
        for (u16 c : boxes[i].cells) lut[c] = static_cast<u8>(i + offset);
    }
    for (size_t i = 0; i < count; i++) index[i] = clear_q(px[i]) ? static_cast<u8>(transparent) : lut[rgb15(px[i])];
}

}  // namespace

bool gif_encode(const u32* pixels, u32 width, u32 height, std::vector<u8>& out) {
    if (!gif_loaded()) return false;
    const size_t count = static_cast<size_t>(width) * height;
    const bool has_clear = std::any_of(pixels, pixels + count, clear_q);
    // The transparent entry comes first; its colour is that of the first
    // clear pixel, so that an image whose clear pixels share one colour
    // comes back unchanged.
    const int transparent = has_clear ? 0 : -1;
    const size_t room = has_clear ? 255 : 256;
    std::vector<u32> palette;
    std::vector<u8> index(count);
    if (!exact_palette(pixels, count, room, palette, index, transparent)) {
        palette.clear();
        quantise(pixels, count, room, palette, index, transparent);
    }
    if (has_clear) palette.insert(palette.begin(), *std::find_if(pixels, pixels + count, clear_q) & rgb_mask);
    int size = 2;
    while (static_cast<size_t>(size) < palette.size()) size *= 2;
    ColorMapObject* map = GifMakeMapObject(size, nullptr);
    if (!map) return false;
    for (int i = 0; i < size; i++) {
        const u32 c = static_cast<size_t>(i) < palette.size() ? palette[static_cast<size_t>(i)] : 0;
        map->Colors[i] = GifColorType{static_cast<GifByteType>(c >> 16), static_cast<GifByteType>(c >> 8),
                                      static_cast<GifByteType>(c)};
    }
    int err = 0;
    GifFileType* g = EGifOpen(&out, write_bytes, &err);
    if (!g) {
        GifFreeMapObject(map);
        return false;
    }
    EGifSetGifVersion(g, true);
    bool ok = EGifPutScreenDesc(g, static_cast<int>(width), static_cast<int>(height), 8, 0, map) != GIF_ERROR;
    if (ok && has_clear) {
        GraphicsControlBlock gcb{DISPOSAL_UNSPECIFIED, false, 0, transparent};
        GifByteType ext[4];
        EGifGCBToExtension(&gcb, ext);
        ok = EGifPutExtension(g, GRAPHICS_EXT_FUNC_CODE, 4, ext) != GIF_ERROR;
    }
    ok = ok && EGifPutImageDesc(g, 0, 0, static_cast<int>(width), static_cast<int>(height), false, nullptr) != GIF_ERROR;
    for (u32 y = 0; ok && y < height; y++)
        ok = EGifPutLine(g, index.data() + static_cast<size_t>(y) * width, static_cast<int>(width)) != GIF_ERROR;
    if (EGifCloseFile(g, &err) == GIF_ERROR) ok = false;
    GifFreeMapObject(map);
    return ok;
}

}  // namespace oru::image_codec
