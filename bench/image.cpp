// Image codecs: decoding and encoding a 4000x3000 photo-like image through
// the image backend (the road of image/decode and image/encode), beside
// their twins run by bench/run.sh: bench/twins/png_twin.cpp, a small
// program calling the same libpng the same way, and djpeg.
//
//   bench_image --write DIR   writes DIR/photo.png and DIR/photo.jpg
//   bench_image png FILE      PNG decode and encode: best seconds of each,
//                             then the decoded pixels' checksum and the
//                             encoded size (compared with the twin's)
//   bench_image jpeg FILE     JPEG decode: best seconds and the checksum
#include "codecs/image_codecs.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/image_backend.h"
#include "runtime/runtime.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace oru;

namespace {

constexpr u32 width = 4000, height = 3000;
constexpr int runs = 5;

// Smooth light falling over a scene, fine texture and a little noise, from
// a fixed seed: what a photograph's pixels look like to a compressor.
std::vector<u32> photo() {
    std::vector<u32> px(static_cast<size_t>(width) * height);
    u32 seed = 12345;
    for (u32 y = 0; y < height; y++)
        for (u32 x = 0; x < width; x++) {
            seed = seed * 1103515245 + 12345;
            const int noise = static_cast<int>(seed >> 28) - 8;
            auto clamp = [](int v) { return static_cast<u32>(v < 0 ? 0 : v > 255 ? 255 : v); };
            const int r = static_cast<int>(x * 200 / width) + 30 + noise;
            const int g = static_cast<int>(y * 180 / height) + 40 + ((x / 37 + y / 23) % 7) * 3 + noise;
            const int b = 128 + static_cast<int>((x ^ y) % 50) - 25 + noise;
            px[static_cast<size_t>(y) * width + x] = 0xFF000000u | clamp(r) << 16 | clamp(g) << 8 | clamp(b);
        }
    return px;
}

std::vector<u8> slurp(const char* path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<u8>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void spit(const std::string& path, const std::vector<u8>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

template <class F>
double best(F&& f) {
    double b = 1e9;
    for (int i = 0; i < runs; i++) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s < b) b = s;
    }
    return b;
}

u32 checksum(const u32* px, size_t n) {
    u32 h = 2166136261u;
    for (size_t i = 0; i < n; i++) h = (h ^ px[i]) * 16777619u;
    return h;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_image --write DIR | png FILE | jpeg FILE\n");
        return 2;
    }
    runtime_init();
    root_allocation = false;  // as after start-up: the collector frees what scripts drop
    collector::enable(true);
    const std::string mode = argv[1];
    if (mode == "--write") {
        const std::vector<u32> px = photo();
        std::vector<u8> out;
        image_codec::png_encode(px.data(), width, height, out);
        spit(std::string(argv[2]) + "/photo.png", out);
        image_codec::jpeg_encode(px.data(), width, height, out);
        spit(std::string(argv[2]) + "/photo.jpg", out);
        return 0;
    }
    const std::vector<u8> file = slurp(argv[2]);
    // Each decode keeps its image on the data stack until the next run, as
    // a script's value would be; the collector frees the one before.
    Node record = 0;
    Cell* held = stack::push();
    const double decode = best([&] {
        record = image_backend::decode_bytes(file.data(), file.size());
        image::make_at(*held, record);
    });
    if (!record) {
        std::fprintf(stderr, "cannot decode %s\n", argv[2]);
        return 1;
    }
    const u32 sum = checksum(image_backend::pixels(record), static_cast<size_t>(width) * height);
    if (mode == "jpeg") {
        std::printf("%.3f %08x\n", decode, sum);
        return 0;
    }
    std::vector<u8> out;
    const double encode = best([&] { image_backend::encode(record, image_codec::png, out); });
    std::printf("%.3f %.3f %08x %zu\n", decode, encode, sum, out.size());
    return 0;
}
