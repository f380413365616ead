// ORUBIN and LZ rates: the compact document of the values bench_load makes
// (about 20 MB of document), encoded and decoded, and its body expanded
// from an LZ stream, in MB of document a second.
//
// With `--json FILE` the values are also written as JSON and with `--doc
// FILE` the document itself, so that bench/run.sh can time Python's
// pickle (protocol 5) and marshal on the same values and zlib (level 6) on
// the same bytes (bench/orubin_peers.py). `--size MB` sets the size of the
// source text the values are loaded from (27 MB gives about 20 MB of
// document); `--runs N` the timings, of which the best is kept. Prints
// "name seconds" lines that run.sh reads.
#include "codecs/lexer.h"
#include "codecs/lz.h"
#include "codecs/orubin.h"
#include "interpreter/stack.h"
#include "runtime/cell.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "load_values.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace oru;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The best of `runs` timings of f with the collector on, as in a running
// program; a full collection after each run (not timed) frees what it made.
template <class F>
double best_of(int runs, F&& f, bool collect = true) {
    double best = 1e9;
    for (int i = 0; i < runs; i++) {
        Cell* top = stack::top;
        const bool was = collector::enable(collect);
        auto t0 = std::chrono::steady_clock::now();
        f();
        best = std::min(best, seconds_since(t0));
        collector::enable(was);
        stack::top = top;
        collector::recycle();
    }
    return best;
}

bool write_file(const char* path, const void* data, size_t size) {
    FILE* f = std::fopen(path, "wb");
    return f && std::fwrite(data, 1, size, f) == size && std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* json_path = nullptr;
    const char* doc_path = nullptr;
    double megabytes = 27;
    int runs = 5;
    for (int i = 1; i < argc; i++) {
        if (!std::strcmp(argv[i], "--json") && i + 1 < argc) json_path = argv[++i];
        else if (!std::strcmp(argv[i], "--doc") && i + 1 < argc) doc_path = argv[++i];
        else if (!std::strcmp(argv[i], "--size") && i + 1 < argc) megabytes = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: %s [--json FILE] [--doc FILE] [--size MB] [--runs N]\n", argv[0]);
            return 2;
        }
    }

    bench::Writer w;
    w.want_json = json_path != nullptr;
    w.generate(static_cast<size_t>(megabytes * 1024 * 1024));
    if (json_path && !write_file(json_path, w.json.data(), w.json.size())) {
        std::fprintf(stderr, "cannot write %s\n", json_path);
        return 1;
    }

    init_process(argc, argv);
    runtime_init();
    root_allocation = false;  // as after start-up

    // The values, loaded once and held on the data stack.
    Cell* values = stack::push(cell::make(type::none));
    i32 used = 0;
    collector::enable(false);
    lexer::scan(values, reinterpret_cast<const u8*>(w.oru.data()), static_cast<i32>(w.oru.size()), lexer::Mode{},
                &used);
    w = bench::Writer{};  // the text is not needed any more

    std::vector<u8> doc;
    const double encode_s = best_of(runs, [&] {
        Cell* bin = orubin::encode_cp(*values);
        SeriesBuffer* s = memory::buffer(cell::node(*bin));
        if (doc.empty()) doc.assign(s->head_ptr(), s->tail_ptr());
    });
    const double mb = static_cast<double>(doc.size()) / (1024.0 * 1024.0);
    if (doc_path && !write_file(doc_path, doc.data(), doc.size())) {
        std::fprintf(stderr, "cannot write %s\n", doc_path);
        return 1;
    }

    const double encode_held_s = best_of(runs, [&] { orubin::encode_cp(*values); }, false);
    std::printf("encode, collector held off %.3f\n", encode_held_s);
    i32 count = 0;
    const double decode_s = best_of(runs, [&] {
        Cell* target = stack::push(cell::make(type::block, 0, memory::alloc_cells(1)));
        orubin::decode(doc.data(), doc.size(), *target, true, cell::make(type::none));
        count = block::rs_length_q(*memory::buffer(cell::node(*target))->cells());
    });

    // The document's bytes as an LZ stream, expanded.
    std::vector<u8> packed(doc.size());
    const i64 n = lz::compress(doc.data(), doc.size(), packed.data());
    double expand_s = 0;
    if (n > 0) {
        expand_s = best_of(runs, [&] {
            u32 size = 0;
            lz::Status status;
            lz::Buffer out = lz::decompress(packed.data(), static_cast<size_t>(n), &size, &status);
            if (!out || size != doc.size()) std::fprintf(stderr, "the LZ stream did not expand back\n");
        });
    }

    std::printf("document %.1f MB, %d top-level values, LZ stream %.1f MB\n", mb, count,
                static_cast<double>(n) / (1024.0 * 1024.0));
    std::printf("encode %.3f\n", encode_s);
    std::printf("decode %.3f\n", decode_s);
    std::printf("lz-expand %.3f\n", expand_s);
    runtime_shutdown();
    return 0;
}
