// The random number service: the generator, the kernel's secure draws and
// the uniform integer draw the `random` actions share.
//
// Every right shift is arithmetic (on the signed view of the word), which is
// what keeps each draw non-negative; left shifts and products run on unsigned
// words so the 32-bit wrap-around is defined.
#include "runtime/random.h"

#include "runtime/fire.h"
#include "runtime/hashtable.h"

#include <array>
#include <cerrno>
#include <climits>
#include <sys/random.h>
#include <unistd.h>

namespace oru::random {

namespace {

constexpr i32 n_words = 624;
constexpr i32 shift_offset = 397;

// Right shift copying the sign bit.
constexpr u32 asr(u32 y, int n) { return static_cast<u32>(static_cast<i32>(y) >> n); }

struct Generator {
    std::array<u32, n_words> state{};
    i32 index = n_words;  // n_words: regenerate before the next draw
};

constexpr Generator seeded(i32 s) {
    Generator g;
    g.state[0] = static_cast<u32>(s);
    for (i32 i = 1; i < n_words; i++) {
        const u32 prev = g.state[i - 1];
        g.state[i] = 0x6C078965u * (prev ^ asr(prev, 30)) + static_cast<u32>(i);
    }
    g.index = n_words;
    return g;
}

// Seeded before any code runs, so draws are sound even before init().
constinit Generator gen = seeded(startup_seed);

void regenerate() {
    for (i32 i = 0; i < n_words; i++) {
        const u32 y = (gen.state[i] & 0x80000000u) | (gen.state[(i + 1) % n_words] & 0x7FFFFFFFu);
        u32 next = gen.state[(i + shift_offset) % n_words] ^ asr(y, 1);
        if (y & 1) next ^= 0x9908B0DFu;
        gen.state[i] = next;
    }
    gen.index = 0;
}

u32 kernel_word() {
    u32 v = 0;
    u8* p = reinterpret_cast<u8*>(&v);
    size_t got = 0;
    while (got < sizeof v) {
        const ssize_t r = getrandom(p + got, sizeof v - got, 0);
        if (r < 0) {
            if (errno == EINTR) continue;
            fire(ErrorId::internal_feature_na);
        }
        got += static_cast<size_t>(r);
    }
    return v;
}

i32 draw(bool secure) { return secure ? secure_int() : rand(); }

}  // namespace

void seed(i32 s) { gen = seeded(s); }

i32 rand() {
    if (gen.index >= n_words) regenerate();
    u32 y = gen.state[gen.index++];
    y ^= asr(y, 11);
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    y ^= asr(y, 18);  // bit 31 xored with itself: always clear
    return static_cast<i32>(y);
}

i32 secure_int() { return static_cast<i32>(kernel_word() & 0x7FFFFFFFu); }

i32 int_uniform_distr(bool secure, i32 n) {
    if (n == 0) return 0;
    if (n == INT32_MIN) return -1 - draw(secure);
    const i32 m = n < 0 ? -n : n;
    // Draws at or above the largest multiple of m are thrown away so every
    // remainder is equally likely.
    const i32 limit = INT32_MAX / m * m;
    i32 r;
    do r = draw(secure);
    while (r >= limit);
    const i32 result = r % m + 1;
    return n < 0 ? -result : result;
}

void init() {
    seed(startup_seed);
    // Start-up must not fail here: without kernel entropy the seed falls
    // back to a fixed value mixed with the process id.
    u32 s = 0;
    if (getrandom(&s, sizeof s, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof s))
        s = hashtable::seed() ^ static_cast<u32>(getpid());
    hashtable::set_seed(s);
}

}  // namespace oru::random
