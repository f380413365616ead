// Deflate, inflate and the compress/decompress core against zlib, over a
// 50 MB mixed corpus made from a fixed seed: text and code lines, binary
// records, a raw image, and 10% random bytes.
//
// In process: our deflate against zlib's compress2 at levels 1 and 6 (MB/s
// of input), our inflate against zlib's uncompress on zlib -6's stream and
// on ours (MB/s of output), each into a destination made and touched
// beforehand, best of several runs. Before any time is printed the round
// trips are checked, and zlib must decode our streams.
//
//   bench_deflate                      the in-process table
//   bench_deflate --corpus FILE        writes the corpus
//   bench_deflate compress|decompress METHOD IN OUT
//                                      one call of the natives' core over a
//                                      file, for the end-to-end table
#include "codecs/deflate.h"
#include "codecs/zlib_gzip.h"
#include "interpreter/compress.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include <zlib.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

using namespace oru;
using Bytes = std::vector<u8>;

namespace {

constexpr size_t corpus_size = 50u << 20;

// One piece of each kind in turn, until the corpus is full: the kinds'
// shares are set by their piece sizes.
Bytes make_corpus() {
    std::mt19937_64 g(20240611);
    static const char* words[] = {"the", "value", "of", "block", "return", "function", "string", "index", "while",
                                  "data", "stream", "result", "error", "print", "length", "table", "next", "head",
                                  "compress", "window", "a", "to", "in", "is", "and", "for", "with", "not", "size"};
    Bytes c;
    c.reserve(corpus_size);
    auto word = [&] { return words[g() % (sizeof words / sizeof *words)]; };
    auto text = [&](size_t n) {   // prose-like lines
        size_t end = c.size() + n;
        while (c.size() < end) {
            int k = static_cast<int>(g() % 12) + 3;
            for (int i = 0; i < k; i++) {
                const char* w = word();
                c.insert(c.end(), w, w + std::strlen(w));
                c.push_back(i + 1 < k ? ' ' : '.');
            }
            c.push_back('\n');
        }
    };
    auto code = [&](size_t n) {   // indented code lines with identifiers and numbers
        size_t end = c.size() + n;
        char line[160];
        while (c.size() < end) {
            int indent = static_cast<int>(g() % 4) * 4;
            int len = std::snprintf(line, sizeof line, "%*sif (%s_%s[%d] != %s) { %s = %s(%s, %u); }\n", indent, "",
                                    word(), word(), static_cast<int>(g() % 64), word(), word(), word(), word(),
                                    static_cast<unsigned>(g() % 100000));
            c.insert(c.end(), line, line + len);
        }
    };
    auto records = [&](size_t n) {   // fixed 32-byte records: ids, counters, small floats, flags
        size_t end = c.size() + n;
        u32 id = static_cast<u32>(g());
        while (c.size() < end) {
            u8 r[32] = {};
            id += 1 + static_cast<u32>(g() % 3);
            std::memcpy(r, &id, 4);
            u64 counter = g() % 5000;
            std::memcpy(r + 4, &counter, 8);
            double x = std::round(static_cast<double>(g() % 100000) / 7.0) / 16.0;
            std::memcpy(r + 12, &x, 8);
            r[20] = static_cast<u8>(g() % 4);
            const char* w = word();
            std::memcpy(r + 21, w, std::min<size_t>(std::strlen(w), 11));
            c.insert(c.end(), r, r + 32);
        }
    };
    auto image = [&](size_t n) {   // raw 24-bit pixels: smooth gradients with noise
        size_t end = c.size() + n;
        const int width = 1024;
        for (int y = 0; c.size() < end; y++)
            for (int x = 0; x < width && c.size() < end; x++) {
                double v = 128 + 100 * std::sin(x / 57.0) * std::cos(y / 31.0);
                for (int ch = 0; ch < 3; ch++)
                    c.push_back(static_cast<u8>(std::clamp(v + ch * 20 + static_cast<double>(g() % 9), 0.0, 255.0)));
            }
    };
    auto noise = [&](size_t n) {
        for (size_t i = 0; i < n; i++) c.push_back(static_cast<u8>(g()));
    };
    // Per round of 1 MB: 35% text, 25% code, 15% records, 15% image, 10% random.
    while (c.size() < corpus_size) {
        text(350 << 10);
        code(250 << 10);
        records(150 << 10);
        image(150 << 10);
        noise(100 << 10);
    }
    c.resize(corpus_size);
    return c;
}

double seconds_of(const std::function<void()>& f, int runs) {
    double best = 1e9;
    for (int i = 0; i < runs; i++) {
        auto t0 = std::chrono::steady_clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

Bytes read_file(const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return {};
    std::fseek(f, 0, SEEK_END);
    Bytes b(static_cast<size_t>(std::ftell(f)));
    std::fseek(f, 0, SEEK_SET);
    size_t n = std::fread(b.data(), 1, b.size(), f);
    std::fclose(f);
    b.resize(n);
    return b;
}

void write_file(const char* path, const u8* p, size_t n) {
    FILE* f = std::fopen(path, "wb");
    if (!f) return;
    std::fwrite(p, 1, n, f);
    std::fclose(f);
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "bench_deflate: %s\n", what);
    std::exit(1);
}

Bytes zlib_compress(const Bytes& in, int level) {
    uLongf n = compressBound(in.size());
    Bytes out(n);
    if (compress2(out.data(), &n, in.data(), in.size(), level) != Z_OK) fail("compress2 failed");
    out.resize(n);
    return out;
}

Bytes ours(int (*w)(u8*, u64&, const u8*, u64), const Bytes& in) {
    u64 n = 0;
    w(nullptr, n, in.data(), in.size());
    Bytes out(n);
    if (w(out.data(), n, in.data(), in.size()) != deflate::ok) fail("our writer failed");
    return out;
}

int run_table() {
    const int runs = 3;
    Bytes corpus = make_corpus();
    const double mb = static_cast<double>(corpus.size()) / 1e6;

    // Streams, and the checks before any timing.
    Bytes z1 = zlib_compress(corpus, 1), z6 = zlib_compress(corpus, 6);
    Bytes our_zlib = ours(zlib::compress, corpus);
    Bytes out(corpus.size());
    std::memset(out.data(), 0, out.size());
    for (const Bytes* s : {&z6, &our_zlib}) {
        u64 n = out.size();
        if (zlib::decompress(out.data(), n, s->data(), s->size()) != deflate::ok || n != corpus.size() ||
            out != corpus)
            fail("round trip failed");
        uLongf zn = out.size();
        if (uncompress(out.data(), &zn, s->data(), s->size()) != Z_OK || zn != corpus.size() || out != corpus)
            fail("zlib does not decode the stream");
    }
    for (compress::Method m : {compress::Method::zlib, compress::Method::deflate, compress::Method::gzip}) {
        compress::Bytes packed = compress::encode_bytes(m, corpus.data(), corpus.size());
        compress::Bytes back = compress::decode_bytes(m, packed.data(), packed.size());
        if (back.size() != corpus.size() || std::memcmp(back.data(), corpus.data(), corpus.size()) != 0)
            fail("compress/decompress round trip failed");
    }

    std::printf("corpus %.1f MB (fixed seed): zlib -1 %.2f MB, zlib -6 %.2f MB, ours %.2f MB (%.2fx zlib -6)\n", mb,
                static_cast<double>(z1.size()) / 1e6, static_cast<double>(z6.size()) / 1e6,
                static_cast<double>(our_zlib.size()) / 1e6,
                static_cast<double>(our_zlib.size()) / static_cast<double>(z6.size()));
    std::printf("%-46s %10s %10s\n", "in process (best of 3)", "MB/s", "seconds");
    auto row = [&](const char* name, double s) { std::printf("%-46s %10.1f %10.3f\n", name, mb / s, s); };

    Bytes dst(our_zlib.size() + 64);
    std::memset(dst.data(), 0, dst.size());
    row("deflate: ours (zlib container)", seconds_of([&] {
            u64 n = dst.size();
            zlib::compress(dst.data(), n, corpus.data(), corpus.size());
        }, runs));
    Bytes zdst(compressBound(corpus.size()));
    std::memset(zdst.data(), 0, zdst.size());
    for (int level : {1, 6}) {
        std::string name = "deflate: zlib compress2 level " + std::to_string(level);
        row(name.c_str(), seconds_of([&] {
                uLongf n = zdst.size();
                compress2(zdst.data(), &n, corpus.data(), corpus.size(), level);
            }, runs));
    }
    struct Stream { const char* name; const Bytes* s; };
    for (Stream st : {Stream{"zlib -6's stream", &z6}, Stream{"our stream", &our_zlib}}) {
        std::string a = std::string("inflate: ours on ") + st.name, b = std::string("inflate: zlib uncompress on ") + st.name;
        row(a.c_str(), seconds_of([&] {
                u64 n = out.size();
                zlib::decompress(out.data(), n, st.s->data(), st.s->size());
            }, runs));
        row(b.c_str(), seconds_of([&] {
                uLongf n = out.size();
                uncompress(out.data(), &n, st.s->data(), st.s->size());
            }, runs));
    }
    return 0;
}

compress::Method method_named(const char* name) {
    if (!std::strcmp(name, "zlib")) return compress::Method::zlib;
    if (!std::strcmp(name, "deflate")) return compress::Method::deflate;
    if (!std::strcmp(name, "gzip")) return compress::Method::gzip;
    fail("unknown method");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && !std::strcmp(argv[1], "--corpus")) {
        Bytes c = make_corpus();
        write_file(argv[2], c.data(), c.size());
        return 0;
    }
    if (argc == 5) {
        // The natives' core raises language errors: it needs the runtime.
        init_process(argc, argv);
        runtime_init();
        Bytes in = read_file(argv[3]);
        compress::Method m = method_named(argv[2]);
        bool packing = !std::strcmp(argv[1], "compress");
        compress::Bytes r = packing ? compress::encode_bytes(m, in.data(), in.size())
                                    : compress::decode_bytes(m, in.data(), in.size());
        write_file(argv[4], r.data(), r.size());
        runtime_shutdown();
        return 0;
    }
    return run_table();
}
