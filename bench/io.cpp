// File copies through the file layer, as read and write of files run them:
// read/binary then write, read (text) then write, and read/lines, over a
// 200 MB file made from a fixed seed: half random bytes, half lines of
// UTF-8 text.
//
//   bench_io --make FILE [MB]   writes the file
//   bench_io --time FILE DIR    copies FILE to DIR/oru.bin and DIR/oru.txt,
//                               reads its lines; prints "task seconds" lines
//                               (best of three) and "lines N"
//
// bench/run.sh runs bench/io_peer.py (Python doing the same) beside it,
// compares the copies, and times cat as the floor.
#include "interpreter/stack.h"
#include "io/io_support.h"
#include "io/simple_io.h"
#include "runtime/datatypes/block.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "runtime/words.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

using namespace oru;

namespace {

struct Random {
    u32 x = 0x9E3779B9u;
    u32 next() {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    }
};

int make(const char* path, long mb) {
    const size_t half = static_cast<size_t>(mb) * 1024 * 1024 / 2;
    Random rnd;
    std::string data;
    data.reserve(2 * half + 64);
    while (data.size() < half) {
        const u32 v = rnd.next();
        data.append(reinterpret_cast<const char*>(&v), 4);
    }
    static const char* words[] = {"oru", "déjà", "файл", "日本語", "line", "naïve", "😀", "value", "block", "x"};
    while (data.size() < 2 * half) {
        const int n = 1 + static_cast<int>(rnd.next() % 12);
        for (int i = 0; i < n; i++) {
            if (i) data += ' ';
            data += words[rnd.next() % 10];
        }
        data += rnd.next() % 4 == 0 ? "\r\n" : "\n";
    }
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
    return 0;
}

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

Cell* value(const std::string& s, u32 t) {
    return io::push_text(reinterpret_cast<const u8*>(s.data()), s.size(), t, false);
}

int time_copies(const char* source, const std::string& dir) {
    runtime_init();
    root_allocation = false;
    stack::mark_try(words::word::tag_body);
    stack::mark_native(words::word::tag_body);
    stack::push(cell::make(type::none));
    double best[3] = {1e9, 1e9, 1e9};
    i32 lines = 0;
    const Cell* out_bin = value(dir + "/oru.bin", type::file);
    const Cell* out_txt = value(dir + "/oru.txt", type::file);
    for (int run = 0; run < 3; run++) {
        Cell* base = stack::top;
        auto t = std::chrono::steady_clock::now();
        const Cell* data = simple_io::read_data(source, -1, -1, true, false);
        simple_io::write(out_bin, *data, nullptr, nullptr, true, false, false);
        best[0] = std::min(best[0], seconds_since(t));
        stack::top = base;

        t = std::chrono::steady_clock::now();
        data = simple_io::read_data(source, -1, -1, false, false);
        simple_io::write(out_txt, *data, nullptr, nullptr, false, false, false);
        best[1] = std::min(best[1], seconds_since(t));
        stack::top = base;

        t = std::chrono::steady_clock::now();
        data = simple_io::read_data(source, -1, -1, false, true);
        lines = block::rs_length_q(*data);
        best[2] = std::min(best[2], seconds_since(t));
        stack::top = base;
    }
    std::printf("binary-copy %.3f\ntext-copy %.3f\nlines %.3f\nline-count %d\n", best[0], best[1], best[2], lines);
    runtime_shutdown();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    init_process(argc, argv);
    if (argc >= 3 && std::strcmp(argv[1], "--make") == 0) return make(argv[2], argc >= 4 ? std::atol(argv[3]) : 200);
    if (argc >= 4 && std::strcmp(argv[1], "--time") == 0) {
        int status = 0;
        struct Args {
            const char* source;
            std::string dir;
            int* status;
        } a{argv[2], argv[3], &status};
        run_with_stack(interpreter_stack_for(UINT64_MAX), [](void* p) {
            auto* a = static_cast<Args*>(p);
            *a->status = time_copies(a->source, a->dir);
        }, &a);
        return status;
    }
    std::fprintf(stderr, "usage: bench_io --make FILE [MB] | --time FILE DIR\n");
    return 2;
}
