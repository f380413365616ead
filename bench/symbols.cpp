// Symbol table and word-list rates: interning distinct names (the table
// grows in place on the way), looking up names already interned, and finding
// words in a context word list. Prints "name rate" lines.
#include "runtime/datatypes/symbol.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/system.h"
#include "runtime/unicode.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using namespace oru;

namespace {

template <class F>
void measure(const char* name, const char* unit, long count, F&& f) {
    auto t0 = std::chrono::steady_clock::now();
    f(count);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%-30s %12.0f %s/s  (%ld in %.3f s)\n", name, count / s, unit, count, s);
}

// A spread of names like the ones programs use: short words with a counter.
std::string name_of(long i) {
    static const char* stems[] = {"value", "count", "on-click", "face", "item", "x", "total-size", "buffer"};
    return std::string(stems[i % 8]) + "-" + std::to_string(i);
}

}  // namespace

int main(int argc, char** argv) {
    init_process(argc, argv);
    memory::init();
    unicode::init_case_tables();
    symbol::init(4000);

    constexpr long distinct = 1'000'000;
    constexpr long lookups = 10'000'000;
    std::vector<std::string> names;
    names.reserve(distinct);
    for (long i = 0; i < distinct; i++) names.push_back(name_of(i));
    std::vector<i32> ids(distinct);

    measure("intern (distinct names)", "names", distinct, [&](long n) {
        for (long i = 0; i < n; i++) ids[i] = symbol::make(names[i].c_str());
    });

    long bad = 0;
    measure("intern (existing names)", "lookups", lookups, [&](long n) {
        u32 x = 12345;
        for (long i = 0; i < n; i++) {
            x = x * 1664525u + 1013904223u;  // a scattered order, as real lookups come
            long k = x % distinct;
            bad += symbol::make(names[k].c_str()) != ids[k];
        }
    });

    // The same over 1,000 names, the working set of a typical script: the
    // rate above is bound by cache misses over a 16-million-bucket table.
    measure("intern (1,000 hot names)", "lookups", lookups, [&](long n) {
        u32 x = 999;
        for (long i = 0; i < n; i++) {
            x = x * 1664525u + 1013904223u;
            long k = x % 1000;
            bad += symbol::make(names[k].c_str()) != ids[k];
        }
    });

    // A word list of the first 100,000 symbols, as a large global context.
    constexpr long words = 100'000;
    Node list = hashtable::init(4000, nullptr, hashtable::kind::symbols, 2);
    for (long i = 0; i < words; i++) {
        i32 slot;
        hashtable::find_word(list, ids[i], false, 1, &slot);
    }
    measure("word-list lookup (any case)", "lookups", lookups, [&](long n) {
        u32 x = 777;
        for (long i = 0; i < n; i++) {
            x = x * 1664525u + 1013904223u;
            long k = x % words;
            bad += hashtable::find_word(list, ids[k], true, 0, nullptr) != k;
        }
    });

    if (bad) std::printf("!! %ld lookups gave a wrong answer\n", bad);
    memory::release_all();
    return bad ? 1 : 0;
}
