// Parse rates against Python's `re` on the same text in the same run.
//
// A 20 MB key=value text (one pair a line, fixed seed) is written to a
// temporary file. The oru side loads it as a string! and times, with the
// collector on as in a running program:
//   collect: parse text [collect any [keep copy k to #"=" skip keep copy v to #"^/" skip]]
//   check:   parse text [any [to #"=" skip to #"^/" skip]]
// and bench/parse_re.py times re.findall(r'^([^=\n]*)=([^\n]*)$', text, re.M)
// and re.fullmatch(r'(?:[^=\n]*=[^\n]*\n)*', text) on the file with the
// Python interpreter itself (sys.executable of python3, or $PYTHON). Each
// side prints its pair count (the check: the number of lines when it
// matched), and the counts must agree before the times are compared. Prints
// one line per benchmark with both times and the ratio oru / re.
#include "boot/boot.h"
#include "interpreter/evaluator.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "codecs/lexer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

using namespace oru;

namespace {

// xorshift32: the same text on every run.
struct Random {
    u32 x = 0x9E3779B9u;
    u32 next() {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    }
    u32 below(u32 n) { return next() % n; }
};

std::string generate(size_t size) {
    static const char key_chars[] = "abcdefghijklmnopqrstuvwxyz_.-0123456789";
    static const char value_chars[] = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789,.:;/-+_()";
    Random rnd;
    std::string text;
    text.reserve(size + 128);
    while (text.size() < size) {
        const u32 k = 3 + rnd.below(12), v = rnd.below(40);
        for (u32 i = 0; i < k; i++) text += key_chars[rnd.below(sizeof key_chars - 1)];
        text += '=';
        for (u32 i = 0; i < v; i++) text += value_chars[rnd.below(sizeof value_chars - 1)];
        text += '\n';
    }
    return text;
}

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

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The best of three timings of the parse in `src`; *count gets its count.
double best_of(const char* src, bool collect, long* count) {
    double best = 1e9;
    for (int i = 0; i < 3; i++) {
        auto t0 = std::chrono::steady_clock::now();
        const Cell r = evaluate(src);
        best = std::min(best, seconds_since(t0));
        if (collect) *count = cell::type_of(r) == type::block ? block::rs_length_q(r) / 2 : -1;
        else *count = logic::truth(r) ? -2 : -1;
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
    double megabytes = 20;
    for (int i = 1; i < argc; i++)
        if (!std::strcmp(argv[i], "--size") && i + 1 < argc) megabytes = std::atof(argv[++i]);
    const std::string text = generate(static_cast<size_t>(megabytes * 1024 * 1024));
    const long lines = static_cast<long>(std::count(text.begin(), text.end(), '\n'));

    char path[] = "/tmp/oru-bench-parse-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        std::fprintf(stderr, "cannot write the text\n");
        return 1;
    }
    close(fd);

    init_process(argc, argv);
    runtime_init();
    root_allocation = false;
    boot::define_base();
    collector::enable(true);
    Cell* str = string::load(reinterpret_cast<const u8*>(text.data()), static_cast<i32>(text.size()), 0);
    context::set_global(symbol::make("text"), *str);
    stack::pop(1);

    long pairs = 0, checked = 0;
    const double collect_s =
        best_of("parse text [collect any [keep copy k to #\"=\" skip keep copy v to #\"^/\" skip]]", true, &pairs);
    const double check_s = best_of("parse text [any [to #\"=\" skip to #\"^/\" skip]]", false, &checked);
    if (checked == -2) checked = lines;

    // The twin: python3's re on the same file.
    const char* env = std::getenv("PYTHON");
    const std::string python =
        env && *env ? env : command_output("python3 -c 'import sys; print(sys.executable)' 2>/dev/null");
    std::string script = __FILE__;
    script = script.substr(0, script.rfind('/') + 1) + "parse_re.py";
    const std::string re_out = command_output("'" + python + "' '" + script + "' '" + path + "'");
    unlink(path);
    long re_pairs = -1, re_checked = -1;
    double re_collect_s = 0, re_check_s = 0;
    if (std::sscanf(re_out.c_str(), "%ld %lf %ld %lf", &re_pairs, &re_collect_s, &re_checked, &re_check_s) != 4) {
        std::fprintf(stderr, "python re failed: %s\n", re_out.c_str());
        return 1;
    }
    const double mb = static_cast<double>(text.size()) / (1024.0 * 1024.0);
    std::printf("key=value text: %.1f MB, %ld lines; best of 3, collector on; re: %s\n", mb, lines, python.c_str());
    std::printf("%-30s %8s %8s %7s  %s\n", "benchmark", "oru-s", "re-s", "ratio", "counts");
    auto row = [](const char* name, double a, double b, long ca, long cb) {
        std::printf("%-30s %8.3f %8.3f %7.2f  %s\n", name, a, b, b > 0 ? a / b : 0.0,
                    ca == cb ? std::to_string(ca).c_str() : ("MISMATCH oru=" + std::to_string(ca) + " re=" +
                                                             std::to_string(cb)).c_str());
    };
    row("collect pairs / re.findall", collect_s, re_collect_s, pairs, re_pairs);
    row("check only / re.fullmatch", check_s, re_check_s, checked, re_checked);
    runtime_shutdown();
    return 0;
}
