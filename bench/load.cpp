// Loading rate: the lexer's scan of a 20 MB source text into one block, as
// `transcode` of a binary and `do` of a string run it, in MB of source text
// a second.
//
// The text is generated here from a fixed seed: lines of words, set-words,
// get-words, refinements, paths, integers, floats, strings (a few with
// escapes or non-ASCII letters) and nested blocks, like code and data. With
// `--json FILE` the same values are also written as JSON (words and paths as
// strings, blocks as arrays), so that bench/run.sh can time Python's
// json.loads on an equivalent text; `--size MB` changes the size (for
// profiling on a smaller text). Prints "name MB/s" lines, which run.sh
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

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace oru;

namespace {

// A small fixed-seed generator (xorshift32): the same text on every run.
struct Random {
    u32 x = 0x2545F491u;
    u32 next() {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    }
    u32 below(u32 n) { return next() % n; }
};

// Writes one value tree twice: as source text and as JSON.
struct Writer {
    Random rnd;
    std::vector<std::string> vocabulary;
    std::string oru, json;
    bool want_json = false;

    Writer() {
        // Syllables free of the letters a-f at the start, so no name reads as
        // a hexadecimal integer.
        static const char* syllables[] = {"ko", "ru", "mi", "ta", "lo", "su", "ni", "po", "ga", "ze",
                                          "va", "hi", "ju", "ne", "sa", "to", "ri", "mo", "wa", "ly"};
        for (int i = 0; i < 3000; i++) {
            std::string w;
            int n = 1 + static_cast<int>(rnd.below(3));
            for (int k = 0; k < n; k++) w += syllables[rnd.below(20)];
            if (rnd.below(4) == 0) w += std::string("-") + syllables[rnd.below(20)] + syllables[rnd.below(20)];
            if (rnd.below(10) == 0) w += "?";
            vocabulary.push_back(w);
        }
    }

    const std::string& word() {
        // Skewed towards the first names, as real code reuses a few names most.
        u32 r = rnd.below(3000);
        return vocabulary[rnd.below(4) ? r % 300 : r];
    }

    void both(const std::string& source, const std::string& j) {
        oru += source;
        if (want_json) json += j;
    }
    void quoted(const std::string& source) { both(source, "\"" + source + "\""); }

    void string_value() {
        std::string s;
        int n = 1 + static_cast<int>(rnd.below(6));
        for (int i = 0; i < n; i++) s += (i ? " " : "") + word();
        std::string j = s;  // the names are ASCII: the same text so far
        switch (rnd.below(20)) {
            case 0: s += "^/next line", j += "\\nnext line"; break;
            case 1: s += " caf\xC3\xA9", j += " caf\xC3\xA9"; break;
            case 2: s += " \xE2\x86\x92 done", j += " \xE2\x86\x92 done"; break;
            default: break;
        }
        both("\"" + s + "\"", "\"" + j + "\"");
    }

    void number_value(bool integer) {
        char buf[48];
        if (integer) {
            u32 r = rnd.below(10);
            i32 v = r < 6 ? static_cast<i32>(rnd.below(100)) : r < 9 ? static_cast<i32>(rnd.below(100000))
                                                                     : static_cast<i32>(rnd.next() & 0x7FFFFFFF);
            if (rnd.below(8) == 0) v = -v;
            std::snprintf(buf, sizeof buf, "%d", v);
        } else if (rnd.below(10) == 0) {
            std::snprintf(buf, sizeof buf, "%u.%ue%d", rnd.below(10), rnd.below(1000),
                          static_cast<int>(rnd.below(40)) - 20);
        } else {
            // One to four fraction digits: four written, up to three cut off.
            int n = std::snprintf(buf, sizeof buf, "%s%u.%04u", rnd.below(8) ? "" : "-", rnd.below(10000),
                                  rnd.below(10000));
            buf[n - static_cast<int>(rnd.below(4))] = 0;
        }
        both(buf, buf);
    }

    void value(int depth) {
        u32 r = rnd.below(100);
        if (r < 24) return quoted(word());
        if (r < 29) return quoted(word() + ":");
        if (r < 32) return quoted(std::string(":") += word());
        if (r < 35) return quoted(std::string("/") += word());
        if (r < 41) {
            std::string p = word() + "/" + word();
            if (rnd.below(3) == 0) p.append("/").append(std::to_string(1 + rnd.below(20)));
            return quoted(p);
        }
        if (r < 60) return number_value(true);
        if (r < 70) return number_value(false);
        if (r < 85 || depth >= 6) return string_value();
        block(depth + 1);
    }

    void block(int depth) {
        both("[", "[");
        int n = static_cast<int>(rnd.below(12));
        for (int i = 0; i < n; i++) {
            if (i) {
                std::string gap = rnd.below(10) ? " " : std::string("\n").append(static_cast<size_t>(depth) * 4, ' ');
                both(gap, ", ");
            }
            value(depth);
        }
        both("]", "]");
    }

    // Lines of about eight values, until the source text reaches size bytes.
    void generate(size_t size) {
        both("", "[");
        bool first = true;
        while (oru.size() < size) {
            for (int i = 0; i < 8; i++) {
                both(i ? " " : first ? "" : "\n", first ? "" : ", ");
                first = false;
                value(0);
            }
        }
        both("\n", "]\n");
    }
};

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
    double megabytes = 20;
    int runs = 5;
    bool scan_only = false;
    for (int i = 1; i < argc; i++) {
        if (!std::strcmp(argv[i], "--json") && i + 1 < argc) json_path = argv[++i];
        else if (!std::strcmp(argv[i], "--size") && i + 1 < argc) megabytes = std::atof(argv[++i]);
        else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--scan-only")) scan_only = true;
        else {
            std::fprintf(stderr, "usage: %s [--json FILE] [--size MB] [--runs N] [--scan-only]\n", argv[0]);
            return 2;
        }
    }

    Writer w;
    w.want_json = json_path != nullptr;
    w.generate(static_cast<size_t>(megabytes * 1024 * 1024));
    if (json_path) {
        FILE* f = std::fopen(json_path, "wb");
        if (!f || std::fwrite(w.json.data(), 1, w.json.size(), f) != w.json.size() || std::fclose(f) != 0) {
            std::fprintf(stderr, "cannot write %s\n", json_path);
            return 1;
        }
    }

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
