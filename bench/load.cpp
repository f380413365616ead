// Loading rate: the lexer's scan of a 20 MB source text into one block, as
// `transcode` of a binary and `do` of a string run it, in MB of source text
// a second.
//
// The text is generated from a fixed seed (load_values.h). With
// `--json FILE` the same values are also written as JSON (words and paths as
// strings, blocks as arrays), so that bench/run.sh can time Python's
// json.loads on an equivalent text; `--size MB` changes the size (for
// profiling on a smaller text); `--source FILE` writes the source text.
// Prints "name MB/s" lines, which run.sh
// compares with json.loads.
#include "codecs/lexer.h"
#include "interpreter/stack.h"
#include "runtime/cell.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "runtime/unicode.h"
#include "load_values.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace oru;
using bench::Writer;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The best of `runs` timings of f, in seconds, with collection on or held
// off during each run. A full collection after each run (not timed) frees
// what it made, so every run starts on the same warm heap.
template <class F>
double best_of(int runs, bool collect, F&& f) {
    double best = 1e9;
    for (int i = 0; i < runs; i++) {
        bool was = collector::enable(collect);
        auto t0 = std::chrono::steady_clock::now();
        f();
        best = std::min(best, seconds_since(t0));
        collector::enable(was);
        collector::recycle();
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const char* json_path = nullptr;
    const char* source_path = nullptr;
    double megabytes = 20;
    int runs = 5;
    bool scan_only = false;
    for (int i = 1; i < argc; i++) {
        if (!std::strcmp(argv[i], "--json") && i + 1 < argc) json_path = argv[++i];
        else if (!std::strcmp(argv[i], "--source") && i + 1 < argc) source_path = argv[++i];
        else if (!std::strcmp(argv[i], "--size") && i + 1 < argc) megabytes = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--scan-only")) scan_only = true;
        else {
            std::fprintf(stderr, "usage: %s [--json FILE] [--source FILE] [--size MB] [--runs N] [--scan-only]\n", argv[0]);
            return 2;
        }
    }

    Writer w;
    w.want_json = json_path != nullptr;
    w.generate(static_cast<size_t>(megabytes * 1024 * 1024));
    auto write_file = [](const char* path, const std::string& text) {
        FILE* f = std::fopen(path, "wb");
        if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0) {
            std::fprintf(stderr, "cannot write %s\n", path);
            return false;
        }
        return true;
    };
    if (json_path && !write_file(json_path, w.json)) return 1;
    // The source text itself, for the library-level timings of load_save.oru.
    if (source_path && !write_file(source_path, w.oru)) return 1;

    init_process(argc, argv);
    runtime_init();
    root_allocation = false;  // as after start-up

    const u8* src = reinterpret_cast<const u8*>(w.oru.data());
    const i32 size = static_cast<i32>(w.oru.size());
    const double mb = static_cast<double>(size) / (1024.0 * 1024.0);
    i32 count = 0;
    auto scan = [&] {
        Cell out;
        i32 used = 0;
        lexer::scan(&out, src, size, lexer::Mode{}, &used);
        count = block::rs_length_q(out);
        if (used != size) std::fprintf(stderr, "scan stopped at %d of %d bytes\n", used, size);
    };

    // The lexer and the allocations of the values it makes.
    double scan_s = best_of(runs, false, scan);
    std::printf("scan                        %8.1f MB/s  (%.1f MB, %d top-level values, collector held off, "
                "best %.3f s)\n", mb / scan_s, mb, count, scan_s);
    std::fflush(stdout);
    if (scan_only) return 0;

    // The same with the collector on, as in a running program: every full
    // series frame costs a cycle that marks all that the load made so far.
    double collecting_s = best_of(runs, true, scan);
    std::printf("scan, collecting            %8.1f MB/s  (best %.3f s)\n", mb / collecting_s, collecting_s);

    // `do` and `load` of a string! encode it as UTF-8 first. The string is
    // made with collection held off: nothing holds it until it is pushed.
    Cell* str = stack::push(cell::make(type::string, 0, unicode::load(src, size)));
    auto load_string = [&] {
        Cell out;
        lexer::load_string(&out, *str, -1, lexer::Mode{}, nullptr);
    };
    double string_held_s = best_of(runs, false, load_string);
    std::printf("load-string                 %8.1f MB/s  (collector held off, best %.3f s)\n", mb / string_held_s,
                string_held_s);
    double string_s = best_of(runs, true, load_string);
    std::printf("load-string, collecting     %8.1f MB/s  (best %.3f s)\n", mb / string_s, string_s);
    std::fflush(stdout);
    runtime_shutdown();
    return 0;
}
