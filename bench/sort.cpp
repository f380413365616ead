// Sorting rates against Python's sorted() on the same values in the same run:
// 1M integers from the runtime's generator (random, sorted, reversed; sort
// and sort/stable), 1M random words (sort/case against sorted(), sort
// against sorted(key=str.lower)) and 100k integers through a comparator
// function (against functools.cmp_to_key). Only the sort is timed on either
// side, best of a few runs, each on a fresh copy.
//
// The values go to a temporary file that bench/sort_twin.py reads; it
// writes back its sorted results, which are compared with ours (words by
// their folded spelling, since equal keys may come in another order from
// the unstable sort) before any time is trusted. Python is the interpreter
// that PYTHON names, else the one python3 reports as sys.executable (not a
// shim in front of it).
#include "boot/boot.h"
#include "codecs/lexer.h"
#include "interpreter/actions.h"
#include "interpreter/evaluator.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/runtime.h"
#include "runtime/system.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace oru;

namespace {

constexpr int runs = 3;
constexpr int count = 1'000'000;
constexpr int call_count = 100'000;

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

std::string python() {
    if (const char* p = std::getenv("PYTHON")) return p;
    std::string out;
    if (FILE* f = popen("python3 -c 'import sys; print(sys.executable)'", "r")) {
        char line[4096];
        if (std::fgets(line, sizeof line, f)) out = line;
        pclose(f);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out.empty() ? "python3" : out;
}

Cell* push_block(const std::vector<i32>& values) {
    Cell* b = stack::push();
    block::make_at(*b, static_cast<i32>(values.size()));
    for (i32 v : values) block::rs_append(*b, cell::integer(v));
    return b;
}

Cell* push_words(const std::vector<std::string>& words) {
    Cell* b = stack::push();
    block::make_at(*b, static_cast<i32>(words.size()));
    for (const std::string& w : words) {
        Cell* s = stack::push();
        string::make_at(*s, static_cast<i32>(w.size()));
        string::concatenate_literal(*s, w.c_str());
        block::rs_append(*b, *s);
        stack::pop(1);
    }
    return b;
}

// Best time of `runs` sorts of fresh copies of src; the last sorted copy
// stays in *out.
double time_sort(Cell* src, Cell* out, const std::function<void(Cell*)>& sort) {
    double best = 1e30;
    for (int r = 0; r < runs; r++) {
        Cell* result = stack::push();
        *out = *actions::copy(src, result, nullptr, false, nullptr);
        stack::pop(1);
        const double t0 = now();
        sort(out);
        best = std::min(best, now() - t0);
    }
    return best;
}

std::vector<i32> integers_of(const Cell& b) {
    std::vector<i32> v;
    for (i32 i = 0; i < series::abs_length_q(b); i++) v.push_back(static_cast<i32>(block::rs_abs_at(b, i)->data2));
    return v;
}

std::string text_of(const Cell& s) {
    std::string t;
    SeriesBuffer* b = memory::buffer(cell::node(s));
    for (u32 i = 0; i < b->length(); i++) t += static_cast<char>(string::get_char(b->head_ptr() + i * b->unit(), b->unit()));
    return t;
}

std::string folded(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    init_process(argc, argv);
    runtime_init();
    root_allocation = false;
    boot::define_base();
    collector::enable(true);

    // The values: generator integers, random words of mixed case.
    random::seed(1);
    std::vector<i32> ints(count), sorted_ints(count), calls(call_count);
    for (i32& v : ints) v = random::rand();
    for (int i = 0; i < count; i++) sorted_ints[static_cast<size_t>(i)] = i;
    for (i32& v : calls) v = random::rand() % 1000000;
    std::vector<std::string> words(count);
    for (std::string& w : words) {
        const int n = 3 + random::rand() % 8;
        for (int k = 0; k < n; k++) {
            const int c = random::rand() % 52;
            w += static_cast<char>(c < 26 ? 'a' + c : 'A' + c - 26);
        }
    }
    char dir[] = "/tmp/oru-sort-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string data = std::string(dir) + "/values.txt", results = std::string(dir) + "/sorted.txt";
    {
        std::ofstream f(data);
        for (i32 v : ints) f << v << '\n';
        f << "--\n";
        for (i32 v : calls) f << v << '\n';
        f << "--\n";
        for (const std::string& w : words) f << w << '\n';
    }

    // Python's times, and its sorted values for the comparison.
    const std::string command = python() + " " ORU_BENCH_DIR "/sort_twin.py " + data + " " + results;
    std::map<std::string, double> py;
    if (FILE* f = popen(command.c_str(), "r")) {
        char name[128];
        double secs;
        while (std::fscanf(f, "%127s %lf", name, &secs) == 2) py[name] = secs;
        pclose(f);
    }
    std::map<std::string, std::vector<std::string>> expected;
    {
        std::ifstream f(results);
        std::string line, section;
        while (std::getline(f, line)) {
            if (line.rfind("== ", 0) == 0) section = line.substr(3);
            else expected[section].push_back(line);
        }
    }

    Cell* random_block = push_block(ints);
    Cell* sorted_block = push_block(sorted_ints);
    std::vector<i32> reversed_ints(sorted_ints.rbegin(), sorted_ints.rend());
    Cell* reversed_block = push_block(reversed_ints);
    Cell* call_block = push_block(calls);
    Cell* word_block = push_words(words);
    Cell* out = stack::push();

    // The comparator: `func [a b] [a < b]`, made by the evaluator.
    const char* source = "func [a b] [a < b]";
    Cell* code = stack::push();
    i32 used = 0;
    lexer::scan(code, reinterpret_cast<const u8*>(source), static_cast<i32>(std::strlen(source)), lexer::Mode{}, &used);
    context::bind(*code, context::global, false);
    stack::push();
    stack::mark_native(stack::word(0));
    stack::push();
    if (interpreter::eval_block(*code, true)) return 1;
    Cell* fn = stack::push(*stack::arguments);

    struct Row {
        const char* name;
        const char* py_name;
        Cell* block;
        bool stable, case_, call;
    };
    const Row rows[] = {
        {"integers random", "ints_random", random_block, false, false, false},
        {"integers random /stable", "ints_random", random_block, true, false, false},
        {"integers sorted", "ints_sorted", sorted_block, false, false, false},
        {"integers sorted /stable", "ints_sorted", sorted_block, true, false, false},
        {"integers reversed", "ints_reversed", reversed_block, false, false, false},
        {"integers reversed /stable", "ints_reversed", reversed_block, true, false, false},
        {"words /case", "words_case", word_block, false, true, false},
        {"words (folded)", "words_lower", word_block, false, false, false},
        {"100k /compare function", "cmp_to_key", call_block, false, false, true},
    };
    std::printf("%-28s %10s %10s %8s  %s\n", "sort", "oru-s", "python-s", "ratio", "result");
    std::map<std::string, double> ours;
    for (const Row& r : rows) {
        const double secs = time_sort(r.block, out, [&](Cell* b) {
            actions::sort(b, r.case_, nullptr, r.call ? fn : nullptr, nullptr, false, false, r.stable);
        });
        ours[r.name] = secs;
        // The sorted values against Python's.
        std::vector<std::string> got;
        if (r.block == word_block) {
            for (i32 i = 0; i < series::abs_length_q(*out); i++) {
                const std::string t = text_of(*block::rs_abs_at(*out, i));
                got.push_back(r.case_ ? t : folded(t));
            }
        } else {
            for (i32 v : integers_of(*out)) got.push_back(std::to_string(v));
        }
        std::vector<std::string> want = expected[r.py_name];
        if (!r.case_ && r.block == word_block)
            for (std::string& w : want) w = folded(w);
        const bool same = got == want;
        const double p = py.count(r.py_name) ? py[r.py_name] : 0;
        std::printf("%-28s %10.3f %10.3f %8.2f  %s\n", r.name, secs, p, p > 0 ? secs / p : 0.0,
                    same ? "same order" : "MISMATCH");
    }
    std::printf("sorted / random: %.3f (sort), %.3f (/stable); reversed / random: %.3f, %.3f\n",
                ours["integers sorted"] / ours["integers random"],
                ours["integers sorted /stable"] / ours["integers random /stable"],
                ours["integers reversed"] / ours["integers random"],
                ours["integers reversed /stable"] / ours["integers random /stable"]);
    std::remove(data.c_str());
    std::remove(results.c_str());
    rmdir(dir);
    runtime_shutdown();
    return 0;
}
