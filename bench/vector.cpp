// vector! arithmetic and element access against Python's array('i').
//
// Two vectors of 10 million 32-bit integers (v1/i = i - 1, v2/i = 2 (i - 1),
// filled here) are timed, with the collector on as in a running program:
//   add:   v1 + v2        (a new vector)
//   scale: w * 3          (in place, on a fresh copy w of v1 each run)
//   loop:  repeat i 1000000 [poke v i (pick v i) + i - 1]
// and bench/vector_array.py times the same work on array('i') in plain
// Python (a comprehension for add and scale, an indexing loop for the last)
// with the interpreter itself (sys.executable of python3, or $PYTHON). Each
// side reports the sum of the result's elements modulo 2^32, and the sums
// must agree before the times are compared. Best of three; prints one line
// per task with both times and the ratio python / oru.
#include "boot/boot.h"
#include "codecs/lexer.h"
#include "interpreter/evaluator.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/vector.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace oru;

namespace {

// Evaluates source text (bound to the global context); the value.
Cell evaluate(const char* src) {
    Cell* saved = stack::top;
    Cell* code = stack::push();
    i32 used = 0;
    lexer::scan(code, reinterpret_cast<const u8*>(src), static_cast<i32>(std::strlen(src)), lexer::Mode{}, &used);
    context::bind(*code, context::global, false);
    stack::push(cell::make(type::unset));
    stack::mark_native(stack::word(symbol::make("bench")));
    stack::push(cell::make(type::unset));
    interpreter::eval_block_throwing(*code, true);
    const Cell result = *stack::arguments;
    stack::unwind();
    stack::top = saved;
    return result;
}

// The sum of a vector's 32-bit elements from its head, modulo 2^32; -1 for
// anything else.
long long sum_of(const Cell& v) {
    if (cell::type_of(v) != type::vector) return -1;
    SeriesBuffer* s = memory::buffer(cell::node(v));
    u32 sum = 0;
    for (const u8* p = s->head_ptr() + static_cast<size_t>(cell::head_index(v)) * 4; p < s->tail_ptr(); p += 4) {
        u32 e;
        std::memcpy(&e, p, 4);
        sum += e;
    }
    return sum;
}

// A global vector of n 32-bit elements, element i being step x i.
void define_vector(const char* name, i64 n, u32 step) {
    Cell* v = stack::push();
    vector::make_at(*v, n, type::integer, 4);
    SeriesBuffer* s = memory::buffer(cell::node(*v));
    for (i64 i = 0; i < n; i++) {
        const u32 e = static_cast<u32>(i) * step;
        std::memcpy(s->head_ptr() + i * 4, &e, 4);
    }
    s->tail = s->head + static_cast<u32>(n * 4);
    context::set_global(symbol::make(name), *v);
    stack::pop(1);
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The best of three timings of `src` (after `setup`, untimed); *sum gets the
// sum of the result.
double best_of(const char* setup, const char* src, long long* sum) {
    double best = 1e9;
    for (int i = 0; i < 3; i++) {
        if (setup) evaluate(setup);
        const auto t0 = std::chrono::steady_clock::now();
        const Cell r = evaluate(src);
        best = std::min(best, seconds_since(t0));
        *sum = sum_of(r);
        collector::recycle();
    }
    return best;
}

std::string command_output(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    long n = 10000000, m = 1000000;
    for (int i = 1; i + 1 < argc; i++) {
        if (!std::strcmp(argv[i], "--size")) n = std::atol(argv[++i]);
        else if (!std::strcmp(argv[i], "--loop")) m = std::atol(argv[++i]);
    }
    init_process(argc, argv);
    runtime_init();
    root_allocation = false;
    boot::define_base();
    collector::enable(true);
    define_vector("v1", n, 1);
    define_vector("v2", n, 2);

    long long add_sum = 0, scale_sum = 0, loop_sum = 0;
    const double add_s = best_of(nullptr, "v1 + v2", &add_sum);
    const double scale_s = best_of("w: copy v1", "w * 3", &scale_sum);
    const std::string loop = "v: make vector! " + std::to_string(m) + " repeat i " + std::to_string(m) +
                             " [poke v i (pick v i) + i - 1] v";
    const double loop_s = best_of(nullptr, loop.c_str(), &loop_sum);

    const char* env = std::getenv("PYTHON");
    const std::string python =
        env && *env ? env : command_output("python3 -c 'import sys; print(sys.executable)' 2>/dev/null");
    const std::string out = command_output("'" + python + "' '" ORU_BENCH_DIR "/vector_array.py' " +
                                           std::to_string(n) + " " + std::to_string(m));
    double py_add = 0, py_scale = 0, py_loop = 0;
    long long py_add_sum = -2, py_scale_sum = -2, py_loop_sum = -2;
    if (std::sscanf(out.c_str(), "%lf %lld %lf %lld %lf %lld", &py_add, &py_add_sum, &py_scale, &py_scale_sum,
                    &py_loop, &py_loop_sum) != 6) {
        std::fprintf(stderr, "python failed: %s\n", out.c_str());
        return 1;
    }
    std::printf("vector! against array('i'): %ld elements, a loop of %ld; best of 3, collector on; python: %s\n", n,
                m, python.c_str());
    std::printf("%-34s %8s %8s %8s  %s\n", "task", "oru-s", "py-s", "py/oru", "sums");
    auto row = [](const char* name, double a, double b, long long sa, long long sb) {
        const std::string check =
            sa == sb ? std::to_string(sa) : "MISMATCH oru=" + std::to_string(sa) + " python=" + std::to_string(sb);
        std::printf("%-34s %8.4f %8.4f %8.2f  %s\n", name, a, b, a > 0 ? b / a : 0.0, check.c_str());
    };
    row("v1 + v2 / comprehension", add_s, py_add, add_sum, py_add_sum);
    row("v * 3 / comprehension", scale_s, py_scale, scale_sum, py_scale_sum);
    row("pick/poke loop / a[i] = a[i] + i", loop_s, py_loop, loop_sum, py_loop_sum);
    runtime_shutdown();
    return 0;
}
