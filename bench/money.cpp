// money! arithmetic and form against Python's decimal on the same values in
// the same run: 1M pairs of amounts (up to six integer digits and five
// fraction digits, either sign) added, subtracted and divided, 1M amounts
// multiplied by an integer and by a float, and 1M amounts formed.
//
// Our side runs each operation through the action dispatch as the evaluator
// calls it (operands in the argument slots of a native frame); form makes a
// new string for each value, as `form` does. Python's side (money_twin.py,
// run by the interpreter that PYTHON names, else the one python3 reports as
// sys.executable) times the plain Decimal operators and format(x, ",.2f")
// through map, its fastest loop. Those do less than ours: they neither cut
// the result after the fifth fraction digit (a quotient keeps 28 digits)
// nor cut the form's digits instead of rounding them. The results are then
// compared, Python's cut as ours are outside its timing, by the CRC-32 of
// their texts (the quotients, floats, by their bytes) before any time is
// printed. Best of three runs on each side.
#include "boot/boot.h"
#include "interpreter/actions.h"
#include "interpreter/checksum.h"
#include "interpreter/stack.h"
#include "runtime/collector.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/string.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "runtime/words.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

using namespace oru;

namespace {

constexpr int runs = 3;
constexpr int count = 1'000'000;

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

// A random factor: -99999 to 99999, never zero.
i32 random_factor() {
    const i32 n = 1 + random::rand() % 99999;
    return random::rand() & 1 ? -n : n;
}

// A random amount: 0 to 6 integer digits, 5 fraction digits, either sign,
// never zero.
Cell random_amount() {
    const int whole_digits = random::rand() % 7;
    u64 whole = 0;
    for (int i = 0; i < whole_digits; i++) whole = whole * 10 + static_cast<u64>(random::rand() % 10);
    const u64 fraction = static_cast<u64>(random::rand() % 100000);
    money::Amount a = static_cast<money::Amount>(whole) * money::scale + fraction;
    if (a == 0) a = 1;
    return money::make(random::rand() & 1, 0, a);
}

// The text of a money! value by its mold (/all: five fraction digits) or
// form.
std::string text_of(const Cell& v, bool all) {
    stack::Mark mark;
    Cell* value = stack::push(v);
    Cell* buffer = stack::push();
    string::make_at(*buffer, 32);
    if (all) actions::mold(value, buffer, false, true, false, nullptr, 1 << 30, 0);
    else actions::form(value, buffer, nullptr, 1 << 30);
    SeriesBuffer* b = memory::buffer(cell::node(*buffer));
    return std::string(reinterpret_cast<const char*>(b->head_ptr()), b->length());
}

u32 crc_of(const std::string& s) {
    return checksum::crc32(checksum::crc32_init, reinterpret_cast<const u8*>(s.data()), s.size());
}

// The CRC of the results' texts: one line each, a float by its 8 bytes.
u32 crc_of_results(const std::vector<Cell>& results) {
    std::string all;
    for (const Cell& r : results) {
        if (cell::type_of(r) == type::float_) {
            const double d = cell::get_float(r);
            char bytes[8];
            std::memcpy(bytes, &d, 8);
            all.append(bytes, 8);
        } else {
            all += text_of(r, true);
            all += '\n';
        }
    }
    return crc_of(all);
}

using Action = void (*)();

// Best time of `runs` passes of the action over every pair; the last pass's
// results stay in `out`.
double time_math(Action action, const std::vector<Cell>& a, const std::vector<Cell>& b, std::vector<Cell>& out) {
    double best = 1e30;
    Cell* args = stack::arguments;
    for (int r = 0; r < runs; r++) {
        const double t0 = now();
        for (int i = 0; i < count; i++) {
            args[0] = a[static_cast<size_t>(i)];
            args[1] = b[static_cast<size_t>(i)];
            action();
            out[static_cast<size_t>(i)] = args[0];
        }
        best = std::min(best, now() - t0);
    }
    return best;
}

// Best time of forming every value into a new string; the texts' CRC in *crc.
double time_form(const std::vector<Cell>& a, u32* crc) {
    double best = 1e30;
    for (int r = 0; r < runs; r++) {
        u32 running = checksum::crc32_init;
        const double t0 = now();
        for (int i = 0; i < count; i++) {
            stack::Mark mark;
            Cell* value = stack::push(a[static_cast<size_t>(i)]);
            Cell* text = stack::push();
            string::make_at(*text, 16);
            actions::form(value, text, nullptr, 1 << 30);
            SeriesBuffer* s = memory::buffer(cell::node(*text));
            running = checksum::crc32(running, s->head_ptr(), s->length());
            running = checksum::crc32(running, reinterpret_cast<const u8*>("\n"), 1);
        }
        best = std::min(best, now() - t0);
        *crc = running;
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    init_process(argc, argv);
    runtime_init();
    root_allocation = false;
    boot::define_base();
    collector::enable(true);

    random::seed(7);
    std::vector<Cell> a(count), b(count), ints(count), floats(count), out(count);
    for (Cell& v : a) v = random_amount();
    for (Cell& v : b) v = random_amount();
    // Factors: integers, and the second amounts as floats (their shortest
    // digits are the amounts' own, so Python multiplies by the same text).
    for (Cell& v : ints) v = cell::integer(random_factor());
    for (int i = 0; i < count; i++) floats[static_cast<size_t>(i)] = cell::float_(money::to_float(b[static_cast<size_t>(i)]));

    char dir[] = "/tmp/oru-money-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    const std::string data = std::string(dir) + "/values.txt";
    {
        // Plain decimal text for Decimal(): the mold without the "$".
        std::ofstream f(data);
        for (int i = 0; i < count; i++) {
            std::string x = text_of(a[static_cast<size_t>(i)], true), y = text_of(b[static_cast<size_t>(i)], true);
            x.erase(x.find('$'), 1);
            y.erase(y.find('$'), 1);
            f << x << ' ' << y << ' ' << static_cast<i32>(ints[static_cast<size_t>(i)].data2) << '\n';
        }
    }

    // Python's times and the CRCs of its results.
    const std::string command = python() + " " ORU_BENCH_DIR "/money_twin.py " + data;
    std::map<std::string, std::pair<double, u32>> py;
    if (FILE* f = popen(command.c_str(), "r")) {
        char name[64];
        double secs;
        unsigned crc;
        while (std::fscanf(f, "%63s %lf %x", name, &secs, &crc) == 3) py[name] = {secs, crc};
        pclose(f);
    }

    // The operands sit in the argument slots of a native frame, as the
    // evaluator leaves them for an action.
    stack::push();
    stack::mark_native(words::word::add);
    stack::push();
    stack::push();

    struct Row {
        const char* name;
        Action action;
        const std::vector<Cell>& right;
    };
    const Row rows[] = {
        {"add", actions::add, b},           {"subtract", actions::subtract, b},
        {"multiply", actions::multiply, ints}, {"mul-float", actions::multiply, floats},
        {"divide", actions::divide, b},
    };
    std::printf("%-10s %10s %10s %8s  %s\n", "money", "oru-s", "python-s", "ratio", "result");
    auto row = [&](const char* name, double secs, u32 crc) {
        const auto it = py.find(name);
        const double p = it != py.end() ? it->second.first : 0;
        const bool same = it != py.end() && it->second.second == crc;
        std::printf("%-10s %10.3f %10.3f %8.2f  %s\n", name, secs, p, p > 0 ? secs / p : 0.0,
                    same ? "results match" : "MISMATCH");
    };
    for (const Row& r : rows) {
        const double secs = time_math(r.action, a, r.right, out);
        row(r.name, secs, crc_of_results(out));
    }
    u32 crc = 0;
    const double secs = time_form(a, &crc);
    row("form", secs, crc);

    std::remove(data.c_str());
    rmdir(dir);
    runtime_shutdown();
    return 0;
}
