// The PNG benchmark's twin: the same libpng calls as our codec (the
// simplified API, 8-bit BGRA out, BGR in for an opaque image, default zlib
// level and filters, one pass into the largest size), timed the same way.
// Prints the best decode and encode seconds, the decoded pixels' checksum
// and the encoded size.
#include <png.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::ifstream f(argv[1], std::ios::binary);
    const std::vector<unsigned char> file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    auto now = [] { return std::chrono::steady_clock::now(); };
    double decode = 1e9, encode = 1e9;
    std::vector<unsigned int> px;
    unsigned w = 0, h = 0;
    for (int i = 0; i < 5; i++) {
        const auto t0 = now();
        png_image image;
        std::memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
        if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) return 1;
        image.format = PNG_FORMAT_BGRA;
        w = image.width, h = image.height;
        std::unique_ptr<unsigned int[]> buffer(new unsigned int[static_cast<size_t>(w) * h]);
        if (!png_image_finish_read(&image, nullptr, buffer.get(), 0, nullptr)) return 1;
        const double s = std::chrono::duration<double>(now() - t0).count();
        if (s < decode) decode = s;
        px.assign(buffer.get(), buffer.get() + static_cast<size_t>(w) * h);
    }
    size_t size = 0;
    for (int i = 0; i < 5; i++) {
        const auto t0 = now();
        const size_t n = static_cast<size_t>(w) * h;
        std::unique_ptr<unsigned char[]> rgb(new unsigned char[n * 3]);
        const unsigned char* s = reinterpret_cast<const unsigned char*>(px.data());
        for (size_t k = 0; k < n; k++) std::memcpy(rgb.get() + k * 3, s + k * 4, 3);
        png_image image;
        std::memset(&image, 0, sizeof image);
        image.version = PNG_IMAGE_VERSION;
        image.width = w, image.height = h, image.format = PNG_FORMAT_BGR;
        png_alloc_size_t room = PNG_IMAGE_PNG_SIZE_MAX(image);
        std::unique_ptr<unsigned char[]> out(new unsigned char[room]);
        if (!png_image_write_to_memory(&image, out.get(), &room, 0, rgb.get(), 0, nullptr)) return 1;
        std::vector<unsigned char> kept(out.get(), out.get() + room);
        const double t = std::chrono::duration<double>(now() - t0).count();
        if (t < encode) encode = t;
        size = kept.size();
    }
    unsigned int sum = 2166136261u;
    for (unsigned int p : px) sum = (sum ^ p) * 16777619u;
    std::printf("%.3f %.3f %08x %zu\n", decode, encode, sum, size);
    return 0;
}
