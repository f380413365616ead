// The image codecs: round trips through each format, the BMP reader's
// layouts on small hand-made files, the size limits checked before any
// pixel memory is asked for, and, through the runtime, the pixel memory
// counted by the collector and the errors of image/encode and decode.
#include "codecs/image_codecs.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/image_backend.h"
#include "runtime/datatypes/string.h"
#include "runtime/memory.h"
#include "runtime/resources.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

using namespace oru;

namespace {

using Bytes = std::vector<u8>;
using Pixels = std::vector<u32>;

// A decode target over plain vectors; counts the allocations asked for.
struct Decoded {
    Pixels px;
    int asked = 0;
    image_codec::Target target{alloc, this};
    static u32* alloc(void* self, u32 w, u32 h) {
        auto* d = static_cast<Decoded*>(self);
        d->asked++;
        d->px.assign(static_cast<size_t>(w) * h, 0xDEADBEEF);
        return d->px.data();
    }
};

// A photo-like test image: smooth gradients, a few hard edges.
Pixels gradient(u32 w, u32 h, bool alpha) {
    Pixels p(static_cast<size_t>(w) * h);
    for (u32 y = 0; y < h; y++)
        for (u32 x = 0; x < w; x++) {
            const u32 r = x * 255 / (w - 1), g = y * 255 / (h - 1), b = (x + y) % 64 < 32 ? 40 : 200;
            const u32 a = alpha ? (x * 7 + y * 3) % 256 : 255;
            p[y * w + x] = a << 24 | r << 16 | g << 8 | b;
        }
    return p;
}

// At most `colours` colours, and transparent pixels that share one colour.
Pixels few_colours(u32 w, u32 h, u32 colours, bool clear) {
    Pixels p(static_cast<size_t>(w) * h);
    for (size_t i = 0; i < p.size(); i++) {
        const u32 k = static_cast<u32>(i * 7 % colours);
        p[i] = 0xFF000000u | (k * 37 % 256) << 16 | (k * 91 % 256) << 8 | (k * 13 % 256);
        if (clear && i % 11 == 0) p[i] = 0x00123456;
    }
    return p;
}

Bytes encode(i32 format, const Pixels& p, u32 w, u32 h) {
    Bytes out;
    EXPECT_TRUE(image_codec::encode(format, p.data(), w, h, out));
    return out;
}

TEST(ImageCodec, LosslessFormatsComeBackUnchanged) {
    struct Case {
        const char* name;
        i32 format;
        Pixels px;
        u32 w, h;
    };
    const Case cases[] = {
        {"png opaque", image_codec::png, gradient(37, 23, false), 37, 23},
        {"png alpha", image_codec::png, gradient(37, 23, true), 37, 23},
        {"bmp opaque (24 bits, padded rows)", image_codec::bmp, gradient(37, 23, false), 37, 23},
        {"bmp alpha (32 bits)", image_codec::bmp, gradient(37, 23, true), 37, 23},
        {"tiff opaque", image_codec::tiff, gradient(37, 23, false), 37, 23},
        {"tiff alpha", image_codec::tiff, gradient(37, 23, true), 37, 23},
        {"gif 256 colours", image_codec::gif, few_colours(40, 30, 256, false), 40, 30},
        {"gif 255 colours and transparency", image_codec::gif, few_colours(40, 30, 255, true), 40, 30},
        {"gif one pixel", image_codec::gif, Pixels{0xFF102030}, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = encode(c.format, c.px, c.w, c.h);
        EXPECT_EQ(image_codec::sniff(file.data(), file.size()), c.format);
        Decoded d;
        ASSERT_TRUE(image_codec::decode(file.data(), file.size(), d.target));
        EXPECT_EQ(d.target.width, c.w);
        EXPECT_EQ(d.target.height, c.h);
        EXPECT_EQ(d.px, c.px);
    }
}

// The mean difference of the colour channels, and whether alpha stayed opaque.
double mean_error(const Pixels& a, const Pixels& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); i++) {
        EXPECT_EQ(b[i] >> 24, 255u);
        for (int s = 16; s >= 0; s -= 8) sum += std::abs(int(a[i] >> s & 255) - int(b[i] >> s & 255));
    }
    return sum / (3.0 * static_cast<double>(a.size()));
}

TEST(ImageCodec, JpegAndQuantisedGifComeBackClose) {
    const Pixels photo = gradient(64, 48, false);
    Decoded j;
    const Bytes jpeg = encode(image_codec::jpeg, photo, 64, 48);
    ASSERT_TRUE(image_codec::decode(jpeg.data(), jpeg.size(), j.target));
    EXPECT_LE(mean_error(photo, j.px), 4.0);

    // Past 256 colours the quantiser picks a palette of the image's own.
    Decoded g;
    const Bytes gif = encode(image_codec::gif, photo, 64, 48);
    ASSERT_TRUE(image_codec::decode(gif.data(), gif.size(), g.target));
    EXPECT_LE(mean_error(photo, g.px), 6.0);
}

// A BMP file: the headers (file header, then `info`), palette or masks,
// then the pixel rows.
Bytes bmp(const Bytes& info, const Bytes& extra, const Bytes& rows) {
    Bytes f = {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0};
    const u32 offset = static_cast<u32>(14 + info.size() + extra.size());
    for (int i = 0; i < 4; i++) f.push_back(static_cast<u8>(offset >> (8 * i)));
    f.insert(f.end(), info.begin(), info.end());
    f.insert(f.end(), extra.begin(), extra.end());
    f.insert(f.end(), rows.begin(), rows.end());
    return f;
}
Bytes le32(u32 v) { return {static_cast<u8>(v), static_cast<u8>(v >> 8), static_cast<u8>(v >> 16), static_cast<u8>(v >> 24)}; }
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
// A 40-byte info header.
Bytes info(i32 w, i32 h, u16 bpp, u32 compression, u32 colours = 0) {
    return cat({le32(40), le32(static_cast<u32>(w)), le32(static_cast<u32>(h)), {1, 0, static_cast<u8>(bpp), 0},
                le32(compression), le32(0), le32(0), le32(0), le32(colours), le32(0)});
}

TEST(ImageCodec, BmpLayouts) {
    const Bytes two_colours = cat({le32(0x00FF0000), le32(0x0000FF00)});  // red, green
    struct Case {
        const char* name;
        Bytes file;
        u32 w, h;
        Pixels want;
    };
    const Case cases[] = {
        {"1 bit, bottom-up, palette", bmp(info(3, 2, 1, 0, 2), two_colours, {0x40, 0, 0, 0, 0xA0, 0, 0, 0}), 3, 2,
         {0xFF00FF00, 0xFFFF0000, 0xFF00FF00, 0xFFFF0000, 0xFF00FF00, 0xFFFF0000}},
        {"8 bits, top-down", bmp(info(2, -2, 8, 0, 2), two_colours, {0, 1, 0, 0, 1, 1, 0, 0}), 2, 2,
         {0xFFFF0000, 0xFF00FF00, 0xFF00FF00, 0xFF00FF00}},
        {"RLE8: a run, an absolute run, end of line, end of bitmap",
         bmp(info(4, 2, 8, 1, 2), two_colours, {2, 1, 0, 3, 0, 1, 0, 0, 0, 0, 4, 1, 0, 1}), 4, 2,
         {0xFF00FF00, 0xFF00FF00, 0xFF00FF00, 0xFF00FF00, 0xFF00FF00, 0xFF00FF00, 0xFFFF0000, 0xFF00FF00}},
        {"RLE4: nibbles alternate, undrawn pixels stay transparent",
         bmp(info(4, 1, 4, 2, 2), two_colours, {3, 0x10, 0, 1}), 4, 1, {0xFF00FF00, 0xFFFF0000, 0xFF00FF00, 0}},
        {"16 bits, default 5-5-5", bmp(info(1, 1, 16, 0), {}, {0x1F, 0x7C, 0, 0}), 1, 1, {0xFFFF00FF}},
        {"32 bits, bit fields with alpha",
         bmp(info(1, 1, 32, 6), cat({le32(0xFF), le32(0xFF00), le32(0xFF0000), le32(0xFF000000)}), {1, 2, 3, 0x80}), 1, 1,
         {0x80010203}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoded d;
        ASSERT_TRUE(image_codec::bmp_decode(c.file.data(), c.file.size(), d.target));
        EXPECT_EQ(d.target.width, c.w);
        EXPECT_EQ(d.target.height, c.h);
        EXPECT_EQ(d.px, c.want);
    }
}

TEST(ImageCodec, BadFilesAndHugeSizesAreRefusedBeforeAllocating) {
    const Bytes png_header = encode(image_codec::png, Pixels{0xFF000000}, 1, 1);
    Bytes huge_png = png_header;  // IHDR width 70000
    huge_png[16] = 0, huge_png[17] = 1, huge_png[18] = 0x11, huge_png[19] = 0x70;
    struct Case {
        const char* name;
        Bytes file;
    };
    const Case cases[] = {
        {"bmp wider than 65535", bmp(info(70000, 1, 24, 0), {}, Bytes(210000, 0))},
        {"bmp of 2^31 bytes and more", bmp(info(65535, 65535, 24, 0), {}, {})},
        {"bmp rows missing", bmp(info(4, 4, 24, 0), {}, Bytes(10, 0))},
        {"bmp bit count 7", bmp(info(1, 1, 7, 0), {}, Bytes(4, 0))},
        {"png wider than 65535", huge_png},
        {"png cut short", Bytes(png_header.begin(), png_header.begin() + 40)},
        {"gif without image", {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, ';'}},
        {"jpeg header only", {0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10}},
        {"tiff with nothing after the header", {'I', 'I', '*', 0, 8, 0, 0, 0}},
        {"unknown bytes", {'x', 'y', 'z'}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoded d;
        EXPECT_FALSE(image_codec::decode(c.file.data(), c.file.size(), d.target));
        if (std::string(c.name).find("65535") != std::string::npos || std::string(c.name).find("2^31") != std::string::npos) {
            EXPECT_EQ(d.asked, 0);
        }
    }
}

// --- Through the runtime ---------------------------------------------------------

class ImageRuntime : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        root_allocation = false;
        saved = stack::top;
    }
    void TearDown() override {
        collector::enable(false);
        stack::top = saved;
        runtime_shutdown();
    }
    Cell* saved = nullptr;
};

// Pixel blocks live outside the series frames: their bytes count toward the
// collector's trigger, so a loop making large images, with nothing else to
// allocate, collects before the dead ones pile up.
TEST_F(ImageRuntime, DeadImagesAreCollectedInTime) {
    collector::enable(true);
    const u32 before = collector::cycles();
    for (int i = 0; i < 200; i++) {
        stack::Mark mark;
        Cell* img = stack::push();
        image::make_at(*img, image_backend::create_bitmap(1000, 1000, nullptr, nullptr, nullptr));
    }
    EXPECT_GT(collector::cycles(), before);
    EXPECT_LT(memory::record.external, u64{100} << 20);  // 200 images would hold 800 MB
    EXPECT_LT(handles::count(), 50);
    collector::recycle();
    EXPECT_EQ(memory::record.external, 0u);
}

// The block of a dead big image is handed to the next big one: what that
// image shows is its own pixels, never the dead one's, whether made or
// decoded.
TEST_F(ImageRuntime, ReusedPixelBlocksShowNothingOfTheDeadImage) {
    collector::enable(true);
    constexpr u32 w = 1100, h = 1000;  // above the 4 MiB of a big block
    const Pixels source = few_colours(w, h, 200, true);
    struct Case {
        const char* name;
        i32 format;
    };
    for (const Case& c : {Case{"made", -1}, Case{"png", image_codec::png}, Case{"bmp", image_codec::bmp},
                          Case{"gif", image_codec::gif}, Case{"tiff", image_codec::tiff}}) {
        stack::Mark mark;
        {
            stack::Mark dead;
            Cell* old = stack::push();
            image::make_at(*old, image_backend::create_bitmap(w, h, nullptr, nullptr, nullptr));
            std::fill_n(image_backend::pixels(image::record_of(*old)), size_t{w} * h, 0x7F00FF00u);
        }
        collector::recycle();
        Cell* img = stack::push();
        if (c.format < 0) {
            image::make_at(*img, image_backend::create_bitmap(w, h, nullptr, nullptr, nullptr));
            const u32* px = image_backend::pixels(image::record_of(*img));
            EXPECT_EQ(std::count(px, px + size_t{w} * h, 0xFFFFFFFFu), i64{w} * h) << c.name;
            continue;
        }
        const Bytes file = encode(c.format, source, w, h);
        image::make_at(*img, image_backend::decode_bytes(file.data(), file.size()));
        ASSERT_EQ(image_backend::width(image::record_of(*img)), w) << c.name;
        const u32* px = image_backend::pixels(image::record_of(*img));
        EXPECT_TRUE(std::equal(px, px + size_t{w} * h, source.begin())) << c.name;
    }
}

TEST_F(ImageRuntime, EncodeAndDecodeErrors) {
    Cell* empty = stack::push();
    image::make_at(*empty, 0, 0, 5);
    EXPECT_EQ(test::error_unrolled([&] { image::encode(*empty, nullptr, image_codec::png); }), ErrorId::access_bad_media);

    const Bytes junk = {0x89, 'P', 'N', 'G', 1, 2, 3};
    Cell* bin = binary::load_in(junk.data(), static_cast<i32>(junk.size()), nullptr);
    EXPECT_EQ(test::error_unrolled([&] { image::decode(*bin); }), ErrorId::access_bad_media);
    const Bytes text = {'h', 'i'};
    Cell* plain = binary::load_in(text.data(), 2, nullptr);
    EXPECT_EQ(cell::type_of(*image::load_binary(*plain)), type::none);

    Cell* missing = stack::push();
    string::make_at(*missing, 16);
    string::concatenate_literal(*missing, "/nonexistent/x.png");
    cell::set_type(*missing, type::file);
    EXPECT_EQ(test::error_unrolled([&] { image::decode(*missing); }), ErrorId::access_cannot_open);

    // A round trip through the entry points keeps the pixels.
    Cell* img = stack::push();
    image::make_at(*img, image_backend::create_bitmap(3, 2, nullptr, nullptr, nullptr));
    image_backend::pixels(image::record_of(*img))[4] = 0x80112233;
    Cell* file = image::encode(*img, nullptr, image_codec::bmp);
    Cell* back = image::decode(*file);
    ASSERT_EQ(back->data3, img->data3);
    EXPECT_EQ(image_backend::pixels(image::record_of(*back))[4], 0x80112233u);
}

}  // namespace
