// Float text rates: formatting a million doubles (shortest digits as mold
// writes them, 16 significant digits as form writes them) and reading the
// texts back, for two mixes: values as programs hold them (a few decimal
// places, moderate exponents) and arbitrary bit patterns (17-digit texts,
// extreme exponents). The C library's snprintf/strtod rates are printed
// beside as a yardstick. Prints "name rate" lines.
#include "runtime/datatypes/float.h"
#include "runtime/float_text.h"

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace oru;

namespace {

template <class F>
void measure(const char* name, long count, F&& f) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%-44s %12.0f values/s  (%ld in %.3f s)\n", name, count / s, count, s);
}

void run_mix(const char* mix, const std::vector<double>& values) {
    const long n = static_cast<long>(values.size());
    std::vector<std::string> texts(values.size());
    char buf[float_text::text_room];
    std::printf("-- %s\n", mix);

    measure("mold text (shortest, form-float)", n, [&] {
        for (long i = 0; i < n; i++) {
            const int len = float_text::form_float_into(buf, values[i], 0, true);
            texts[i].assign(buf, static_cast<size_t>(len));
        }
    });
    long sink = 0;
    measure("form text (float/form-float, %.16g rules)", n, [&] {
        for (long i = 0; i < n; i++) sink += static_cast<long>(std::strlen(float_::form_float(values[i], float_::kind::float_)));
    });
    long wrong = 0;
    measure("read back (text-to-float)", n, [&] {
        for (long i = 0; i < n; i++) {
            i32 rem;
            const std::string& t = texts[i];
            const double d = float_text::text_to_float(t.data(), t.data() + t.size(), 0, &rem);
            wrong += std::bit_cast<u64>(d) != std::bit_cast<u64>(values[i]);
        }
    });
    measure("  yardstick: snprintf %.17g", n, [&] {
        for (long i = 0; i < n; i++) sink += std::snprintf(buf, sizeof buf, "%.17g", values[i]);
    });
    measure("  yardstick: strtod", n, [&] {
        for (long i = 0; i < n; i++) sink += std::strtod(texts[i].c_str(), nullptr) > 0;
    });
    if (wrong) std::printf("!! %ld values did not read back exactly\n", wrong);
    if (sink == 42) std::printf(" ");
}

}  // namespace

int main() {
    constexpr long count = 1'000'000;
    std::mt19937_64 g(42);
    std::vector<double> typical, any;
    typical.reserve(count);
    any.reserve(count);
    for (long i = 0; i < count; i++) {
        // Prices, measurements, coordinates: up to 6 decimal places.
        const double scale = std::pow(10.0, static_cast<double>(g() % 7));
        typical.push_back(static_cast<double>(static_cast<i64>(g() % 100000000) - 50000000) / scale);
        double d;
        do d = std::bit_cast<double>(g());
        while (!std::isfinite(d));
        any.push_back(d);
    }
    run_mix("typical values", typical);
    run_mix("arbitrary bit patterns", any);
    return 0;
}
