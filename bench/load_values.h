// The values of the loading benchmarks, generated from a fixed seed: lines of
// words, set-words, get-words, refinements, paths, integers, floats, strings
// (a few with escapes or non-ASCII letters) and nested blocks, like code and
// data. The Writer writes one value tree twice: as source text, and (when
// asked) as JSON with words and paths as strings and blocks as arrays, so
// that a benchmark can time another language on equivalent values.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

using u32 = std::uint32_t;
using i32 = std::int32_t;

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

}  // namespace bench
