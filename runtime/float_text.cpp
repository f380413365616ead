// Float text conversion: shortest and fixed-precision digits of a double,
// their layout as text, and correctly rounded reading of decimal text.
//
// Three exact tools serve all of it:
// - A table of the powers of ten 10^-350 .. 10^350, each a 128-bit mantissa
//   (top bit set) and a binary exponent, with the mantissa truncated so that
//   the true power lies in [mant, mant + 1) x 2^exp. It is computed with big
//   integers on first use, so its error bound is exact by construction.
// - The shortest digits: the value and both ends of its rounding interval
//   are scaled by one 125-bit power of five from the table, then digits are
//   stripped while the interval still holds a shorter number, keeping track
//   of whether the stripped digits were exactly zero so that a tie rounds to
//   even and an interval end is taken only when it reads back.
// - Fixed precision and reading: a 192-bit product with the table gives the
//   answer together with an error bound; only when the bound straddles a
//   rounding boundary does a big-integer comparison settle it.
//
// Big integers live on the machine stack (fixed capacity, enough for the
// longest operands: 800 significant input digits against powers of five up
// to 5^1130) and never leave a conversion.
#include "runtime/float_text.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace oru::float_text {

namespace {

using u128 = unsigned __int128;

// --- Big integers ----------------------------------------------------------

// An unsigned integer of 32-bit words, least significant first.
class Big {
public:
    // 6400 bits; the largest operand the conversions build is about 2700.
    static constexpr int capacity = 200;

    Big() = default;
    explicit Big(u64 v) { set(v); }

    void set(u64 v) {
        n_ = 0;
        for (; v; v >>= 32) w_[n_++] = static_cast<u32>(v);
    }
    void set128(u128 v) {
        n_ = 0;
        for (; v; v >>= 32) w_[n_++] = static_cast<u32>(v);
    }

    u32 word(int i) const { return i < n_ ? w_[i] : 0; }
    int bits() const { return n_ ? 32 * (n_ - 1) + (32 - std::countl_zero(w_[n_ - 1])) : 0; }

    // this = this x m + a
    void mul_add(u32 m, u32 a) {
        u64 carry = a;
        for (int i = 0; i < n_; i++) {
            const u64 t = static_cast<u64>(w_[i]) * m + carry;
            w_[i] = static_cast<u32>(t);
            carry = t >> 32;
        }
        if (carry) push(static_cast<u32>(carry));
    }

    void mul_pow5(i64 e) {
        static constexpr u32 small[] = {1, 5, 25, 125, 625, 3125, 15625, 78125, 390625, 1953125, 9765625,
                                        48828125, 244140625};
        for (; e >= 13; e -= 13) mul_add(1220703125u, 0);  // 5^13
        if (e) mul_add(small[e], 0);
    }

    void shl(i64 bits) {
        if (!n_ || !bits) return;
        const int words = static_cast<int>(bits / 32), r = static_cast<int>(bits % 32);
        if (n_ + words + 1 > capacity) too_big();
        if (r) {
            w_[n_ + words] = 0;
            for (int i = n_ - 1; i >= 0; i--) {
                w_[i + words + 1] |= w_[i] >> (32 - r);
                w_[i + words] = w_[i] << r;
            }
            n_ += words + 1;
        } else {
            for (int i = n_ - 1; i >= 0; i--) w_[i + words] = w_[i];
            n_ += words;
        }
        for (int i = 0; i < words; i++) w_[i] = 0;
        trim();
    }

    void shl1() {
        u32 carry = 0;
        for (int i = 0; i < n_; i++) {
            const u32 v = w_[i];
            w_[i] = (v << 1) | carry;
            carry = v >> 31;
        }
        if (carry) push(carry);
    }

    // this -= b, with b <= this.
    void sub(const Big& b) {
        i64 borrow = 0;
        for (int i = 0; i < n_; i++) {
            const i64 t = static_cast<i64>(w_[i]) - b.word(i) - borrow;
            w_[i] = static_cast<u32>(t);
            borrow = t < 0;
        }
        trim();
    }

    // 64 bits starting at bit `lo`.
    u64 bits64(int lo) const {
        const int wi = lo >> 5, sh = lo & 31;
        u128 acc = 0;
        for (int k = 2; k >= 0; k--) acc = (acc << 32) | word(wi + k);
        return static_cast<u64>(acc >> sh);
    }

    // True when every bit below `lo` is zero.
    bool zero_below(int lo) const {
        const int wi = lo >> 5, r = lo & 31;
        for (int i = 0; i < wi && i < n_; i++)
            if (w_[i]) return false;
        return !r || (word(wi) & ((1u << r) - 1)) == 0;
    }

    friend int compare(const Big& a, const Big& b) {
        if (a.n_ != b.n_) return a.n_ < b.n_ ? -1 : 1;
        for (int i = a.n_ - 1; i >= 0; i--)
            if (a.w_[i] != b.w_[i]) return a.w_[i] < b.w_[i] ? -1 : 1;
        return 0;
    }

private:
    // The operand bounds above keep every value well inside the capacity;
    // reaching it would be a fault in this module, not in the input.
    [[noreturn]] static void too_big() { std::abort(); }
    void push(u32 v) {
        if (n_ == capacity) too_big();
        w_[n_++] = v;
    }
    void trim() {
        while (n_ && !w_[n_ - 1]) n_--;
    }

    int n_ = 0;
    u32 w_[capacity];
};

// --- The table of powers of ten -------------------------------------------

struct Pow10 {
    u128 mant;   // top bit set; the power lies in [mant, mant + 1) x 2^exp
    i32 exp;
    bool exact;  // the power is exactly mant x 2^exp
};

constexpr int table_low = -350, table_high = 350;

struct Pow10Table {
    Pow10 p[table_high - table_low + 1];

    Pow10Table() {
        Big power(1);
        for (int q = 0; q <= table_high; q++) {
            if (q) power.mul_add(10, 0);
            const int len = power.bits();
            Pow10& pos = p[q - table_low];
            if (len <= 128) {
                u128 v = (static_cast<u128>(power.bits64(64)) << 64) | power.bits64(0);
                pos = {v << (128 - len), len - 128, true};
            } else {
                const int lo = len - 128;
                pos = {(static_cast<u128>(power.bits64(lo + 64)) << 64) | power.bits64(lo), lo, power.zero_below(lo)};
            }
            if (!q) continue;
            // 10^-q: floor(2^(127 + len) / 10^q), which has exactly 128 bits
            // because 2^(len - 1) < 10^q < 2^len. Restoring division from the
            // first remainder that can yield a quotient bit.
            Big rest(1);
            rest.shl(len - 1);
            u128 quotient = 0;
            for (int i = 0; i < 128; i++) {
                rest.shl1();
                quotient <<= 1;
                if (compare(rest, power) >= 0) {
                    rest.sub(power);
                    quotient |= 1;
                }
            }
            p[-q - table_low] = {quotient, -(127 + len), false};
        }
    }
};

const Pow10& pow10(int q) {
    static const Pow10Table table;
    return table.p[q - table_low];
}

// --- 192-bit products ------------------------------------------------------

struct U192 {
    u64 limb[3];  // least significant first
};

inline U192 mul192(u64 a, u128 b) {
    const u128 p0 = static_cast<u128>(a) * static_cast<u64>(b);
    const u128 p1 = static_cast<u128>(a) * static_cast<u64>(b >> 64);
    const u128 mid = (p0 >> 64) + static_cast<u64>(p1);
    return {{static_cast<u64>(p0), static_cast<u64>(mid), static_cast<u64>((p1 >> 64) + (mid >> 64))}};
}

inline int top_bit(const U192& v) {
    for (int k = 2; k >= 0; k--)
        if (v.limb[k]) return 64 * k + 63 - std::countl_zero(v.limb[k]);
    return -1;
}

inline bool bit_at(const U192& v, int i) { return (v.limb[i >> 6] >> (i & 63)) & 1; }

// Any bit set below position i.
inline bool any_below(const U192& v, int i) {
    const int k = i >> 6, r = i & 63;
    for (int j = 0; j < k; j++)
        if (v.limb[j]) return true;
    return r && k < 3 && (v.limb[k] & ((u64{1} << r) - 1));
}

// v >> s, for 0 <= s < 192; only the low 128 bits of the result are kept.
inline u128 shr192(const U192& v, int s) {
    const int k = s >> 6, r = s & 63;
    auto limb = [&](int i) { return i < 3 ? v.limb[i] : u64{0}; };
    const u64 lo = r ? (limb(k) >> r) | (limb(k + 1) << (64 - r)) : limb(k);
    const u64 hi = r ? (limb(k + 1) >> r) | (limb(k + 2) << (64 - r)) : limb(k + 1);
    return (static_cast<u128>(hi) << 64) | lo;
}

// The bits below position s against half of 2^s: -1, 0 or 1.
inline int compare_half(const U192& v, int s) {
    if (!bit_at(v, s - 1)) return -1;
    return any_below(v, s - 1) ? 1 : 0;
}

inline U192 add_2_64(U192 v) {
    if (++v.limb[1] == 0) ++v.limb[2];
    return v;
}

// --- Shortest digits -------------------------------------------------------

// The powers of five as the digit generator's proof wants them: 5^i cut to
// its top 125 bits, and 2^(bits(5^i) - 1 + 125) / 5^i rounded up. Both are the
// table's entries for 10^i and 10^-i with three more bits dropped.
constexpr int pow5_bits_kept = 125;
inline u128 pow5_split(int i) { return pow10(i).mant >> 3; }
inline u128 pow5_inv_split(int q) { return q ? (pow10(-q).mant >> 3) + 1 : (u128{1} << 125) + 1; }

// ceil(log2(5^e)) (1 for e = 0), floor(log10(2^e)), floor(log10(5^e)); for
// the exponent ranges of doubles.
inline i32 pow5bits(i32 e) { return static_cast<i32>((static_cast<u64>(e) * 1217359) >> 19) + 1; }
inline i32 log10_pow2(i32 e) { return static_cast<i32>((static_cast<u64>(e) * 78913) >> 18); }
inline i32 log10_pow5(i32 e) { return static_cast<i32>((static_cast<u64>(e) * 732923) >> 20); }

inline bool multiple_of_pow5(u64 v, i32 p) {
    i32 count = 0;
    for (; v % 5 == 0; v /= 5) count++;
    return count >= p;
}
inline bool multiple_of_pow2(u64 v, i32 p) { return (v & ((u64{1} << p) - 1)) == 0; }

inline u64 mul_shift(u64 m, u128 mul, i32 j) {
    const u128 b0 = static_cast<u128>(m) * static_cast<u64>(mul);
    const u128 b2 = static_cast<u128>(m) * static_cast<u64>(mul >> 64);
    return static_cast<u64>(((b0 >> 64) + b2) >> (j - 64));
}

// The shortest decimal d x 10^e of a positive finite double (its bits).
void shortest(u64 bits, u64* digits, i32* exponent) {
    const u64 ieee_mant = bits & ((u64{1} << 52) - 1);
    const u32 ieee_exp = static_cast<u32>(bits >> 52) & 0x7FF;
    // Work on 4 x the value so that the interval ends are integers.
    i32 e2;
    u64 m2;
    if (ieee_exp == 0) {
        e2 = 1 - 1023 - 52 - 2;
        m2 = ieee_mant;
    } else {
        e2 = static_cast<i32>(ieee_exp) - 1023 - 52 - 2;
        m2 = (u64{1} << 52) | ieee_mant;
    }
    // Round-to-even reading accepts the interval ends when the mantissa is even.
    const bool accept_bounds = (m2 & 1) == 0;
    const u64 mv = 4 * m2;
    // The lower neighbour is half as far away just above a power of two.
    const u32 mm_shift = ieee_mant != 0 || ieee_exp <= 1;

    u64 vr, vp, vm;
    i32 e10;
    bool vm_trailing_zeros = false, vr_trailing_zeros = false;
    if (e2 >= 0) {
        const i32 q = log10_pow2(e2) - (e2 > 3);
        e10 = q;
        const i32 k = pow5_bits_kept + pow5bits(q) - 1;
        const i32 i = -e2 + q + k;
        const u128 mul = pow5_inv_split(q);
        vr = mul_shift(mv, mul, i);
        vp = mul_shift(mv + 2, mul, i);
        vm = mul_shift(mv - 1 - mm_shift, mul, i);
        if (q <= 21) {
            // Only then can the scaled values be exact (5^22 > 2^54 > mv).
            if (mv % 5 == 0) vr_trailing_zeros = multiple_of_pow5(mv, q);
            else if (accept_bounds) vm_trailing_zeros = multiple_of_pow5(mv - 1 - mm_shift, q);
            else vp -= multiple_of_pow5(mv + 2, q);
        }
    } else {
        const i32 q = log10_pow5(-e2) - (-e2 > 1);
        e10 = q + e2;
        const i32 i = -e2 - q;
        const i32 k = pow5bits(i) - pow5_bits_kept;
        const i32 j = q - k;
        const u128 mul = pow5_split(i);
        vr = mul_shift(mv, mul, j);
        vp = mul_shift(mv + 2, mul, j);
        vm = mul_shift(mv - 1 - mm_shift, mul, j);
        if (q <= 1) {
            // mv has at least two trailing zero bits, so vr is exact.
            vr_trailing_zeros = true;
            if (accept_bounds) vm_trailing_zeros = mm_shift == 1;
            else --vp;
        } else if (q < 63) {
            vr_trailing_zeros = multiple_of_pow2(mv, q);
        }
    }

    // Strip digits while the interval [vm, vp] still holds a shorter number.
    i32 removed = 0;
    u8 last_removed = 0;
    u64 output;
    if (vm_trailing_zeros || vr_trailing_zeros) {
        // Rare: track exactness for the tie and interval-end decisions.
        for (; vp / 10 > vm / 10; removed++) {
            vm_trailing_zeros &= vm % 10 == 0;
            vr_trailing_zeros &= last_removed == 0;
            last_removed = static_cast<u8>(vr % 10);
            vr /= 10;
            vp /= 10;
            vm /= 10;
        }
        if (vm_trailing_zeros) {
            for (; vm % 10 == 0; removed++) {
                vr_trailing_zeros &= last_removed == 0;
                last_removed = static_cast<u8>(vr % 10);
                vr /= 10;
                vp /= 10;
                vm /= 10;
            }
        }
        // Exactly halfway: round to the even digit.
        if (vr_trailing_zeros && last_removed == 5 && vr % 2 == 0) last_removed = 4;
        output = vr + ((vr == vm && (!accept_bounds || !vm_trailing_zeros)) || last_removed >= 5);
    } else {
        bool round_up = false;
        if (vp / 100 > vm / 100) {
            round_up = vr % 100 >= 50;
            vr /= 100;
            vp /= 100;
            vm /= 100;
            removed += 2;
        }
        for (; vp / 10 > vm / 10; removed++) {
            round_up = vr % 10 >= 5;
            vr /= 10;
            vp /= 10;
            vm /= 10;
        }
        output = vr + (vr == vm || round_up);
    }
    *digits = output;
    *exponent = e10 + removed;
}

// --- Fixed precision -------------------------------------------------------

constexpr u64 pow10_u64[] = {1ull,
                             10ull,
                             100ull,
                             1000ull,
                             10000ull,
                             100000ull,
                             1000000ull,
                             10000000ull,
                             100000000ull,
                             1000000000ull,
                             10000000000ull,
                             100000000000ull,
                             1000000000000ull,
                             10000000000000ull,
                             100000000000000ull,
                             1000000000000000ull,
                             10000000000000000ull,
                             100000000000000000ull,
                             1000000000000000000ull,
                             10000000000000000000ull};

// Exact test for the fixed-precision rounding: is m x 2^e2 x 10^s above,
// at or below q + 1/2? (1, 0, -1)
int compare_exact_half(u64 m, i32 e2, i32 s, u128 q) {
    Big a(m), b;
    b.set128(2 * q + 1);
    if (s >= 0) a.mul_pow5(s);
    else b.mul_pow5(-s);
    const i32 twos = e2 + s + 1;  // a's power of two, against 2q + 1
    if (twos >= 0) a.shl(twos);
    else b.shl(-twos);
    return compare(a, b);
}

// The significant digits of m x 2^e2 (m > 0) rounded to `precision` digits,
// ties to even: *value receives them as an integer of exactly `precision`
// digits, *point the position of the decimal point before the first.
void fixed(u64 m, i32 e2, int precision, u64* value, int* point) {
    const i32 e_bin = e2 + 63 - std::countl_zero(m);  // 2^e_bin <= x < 2^(e_bin + 1)
    i32 k = static_cast<i32>(std::floor(e_bin * 0.30102999566398120));  // about floor(log10 x)
    const int lz = std::countl_zero(m);
    const u64 mn = m << lz;
    const u64 low = pow10_u64[precision - 1], high = pow10_u64[precision];
    bool raised = false;
    for (;;) {
        // N = x x 10^s should lie in [10^(precision-1), 10^precision).
        const i32 s = precision - 1 - k;
        const Pow10& t = pow10(s);
        const U192 v = mul192(mn, t.mant);
        const int sh = -(e2 - lz + t.exp);  // N = v >> sh, 124 <= sh <= 191
        const u128 q = shr192(v, sh);
        // v never exceeds the true product, so q >= high proves N too large.
        if (q >= high) {
            k++;
            raised = true;
            continue;
        }
        // After raising k, N >= 10^(precision-1) is known: a q just below it
        // is the table's truncation, and its fraction rounds it up to low.
        if (q < low && !raised) {
            k--;
            continue;
        }
        bool up;
        const int c = compare_half(v, sh);
        if (t.exact) {
            up = c > 0 || (c == 0 && (q & 1));
        } else if (c >= 0) {
            // The true product lies in (v, v + 2^64): strictly above half.
            up = true;
        } else {
            const U192 v2 = add_2_64(v);
            if (shr192(v2, sh) == q && compare_half(v2, sh) <= 0) {
                up = false;
            } else {
                const int e = compare_exact_half(m, e2, s, q);
                up = e > 0 || (e == 0 && (q & 1));
            }
        }
        u64 r = static_cast<u64>(q) + up;
        *point = k + 1;
        if (r == high) {
            r = low;
            ++*point;
        }
        *value = r;
        return;
    }
}

// Writes the decimal digits of v (> 0) without trailing zeros; returns the
// count. *full receives the count before the zeros were dropped.
int write_digits(u64 v, char* out, int* full) {
    char tmp[20];
    int n = 0;
    for (; v; v /= 10) tmp[n++] = static_cast<char>('0' + v % 10);
    *full = n;
    int skip = 0;
    while (skip < n && tmp[skip] == '0') skip++;
    const int count = n - skip;
    for (int i = 0; i < count; i++) out[i] = tmp[n - 1 - i];
    return count;
}

// Splits a positive finite double into m x 2^e2.
inline void decompose(u64 bits, u64* m, i32* e2) {
    const u64 mant = bits & ((u64{1} << 52) - 1);
    const u32 exp = static_cast<u32>(bits >> 52) & 0x7FF;
    if (exp) {
        *m = mant | (u64{1} << 52);
        *e2 = static_cast<i32>(exp) - 1075;
    } else {
        *m = mant;
        *e2 = -1074;
    }
}

inline u64 bits_of(double x) { return std::bit_cast<u64>(x); }
inline double double_of(u64 b) { return std::bit_cast<double>(b); }

char* write_int(char* p, int v) {
    if (v < 0) {
        *p++ = '-';
        v = -v;
    }
    char tmp[12];
    int n = 0;
    do tmp[n++] = static_cast<char>('0' + v % 10);
    while (v /= 10);
    while (n) *p++ = tmp[--n];
    return p;
}

char* copy(char* p, const char* s, int n) {
    std::memcpy(p, s, static_cast<size_t>(n));
    return p + n;
}

char* zeros(char* p, int n) {
    for (; n > 0; n--) *p++ = '0';
    return p;
}

// The static digit buffer: a "-" in front of the digits, so that a signed
// special text can point into it too.
char digit_buffer[1 + text_room];
char text_buffer[text_room];

}  // namespace

// --- Output ------------------------------------------------------------------

int digits_of(double x, int precision, char* digits, int* point) {
    const u64 bits = bits_of(x) & ~(u64{1} << 63);
    if (precision <= 0) {
        u64 d;
        i32 e;
        shortest(bits, &d, &e);
        int full;
        const int n = write_digits(d, digits, &full);
        *point = e + full;
        return n;
    }
    if (precision > max_precision) precision = max_precision;
    u64 m;
    i32 e2;
    decompose(bits, &m, &e2);
    u64 v;
    fixed(m, e2, precision, &v, point);
    int full;
    return write_digits(v, digits, &full);
}

const char* dtoa(double x, int precision, int* point, bool* negative, int* count, bool point_zero_flag) {
    const u64 bits = bits_of(x);
    const bool sign = bits >> 63;
    const u64 magnitude = bits & ~(u64{1} << 63);
    if (magnitude >= (u64{0x7FF} << 52)) {
        *point = point_special;
        const bool nan = magnitude > (u64{0x7FF} << 52);
        *negative = sign && !nan;
        const char* text = nan ? "1.#NaN" : sign ? "-1.#INF" : "1.#INF";
        *count = static_cast<int>(std::strlen(text));
        return text;
    }
    *negative = sign;
    if (!magnitude) {
        *point = point_zero;
        const char* text = point_zero_flag ? (sign ? "-0.0" : "0.0") : (sign ? "-0" : "0");
        *count = static_cast<int>(std::strlen(text));
        return text;
    }
    char* digits = digit_buffer + 1;
    digit_buffer[0] = '-';
    *count = digits_of(x, precision, digits, point);
    digits[*count] = '\0';
    return digits;
}

int form_float_into(char* out, double x, int precision, bool point_zero_flag) {
    int point, n;
    bool negative;
    char digits[max_precision + 1];
    const u64 magnitude = bits_of(x) & ~(u64{1} << 63);
    if (magnitude >= (u64{0x7FF} << 52) || !magnitude) {
        const char* text = dtoa(x, precision, &point, &negative, &n, point_zero_flag);
        std::memcpy(out, text, static_cast<size_t>(n) + 1);
        return n;
    }
    n = digits_of(x, precision, digits, &point);
    char* p = out;
    if (bits_of(x) >> 63) *p++ = '-';
    if (point >= 18 || point <= -7) {
        // d.ddd e(point - 1)
        *p++ = digits[0];
        *p++ = '.';
        p = copy(p, digits + 1, n - 1);
        if (n == 1) {
            if (point_zero_flag) *p++ = '0';
            else p--;
        }
        *p++ = 'e';
        p = write_int(p, point - 1);
    } else if (point <= 0) {
        *p++ = '0';
        *p++ = '.';
        p = zeros(p, -point);
        p = copy(p, digits, n);
    } else if (n <= point) {
        p = copy(p, digits, n);
        p = zeros(p, point - n);
        if (point_zero_flag) {
            *p++ = '.';
            *p++ = '0';
        }
    } else {
        p = copy(p, digits, point);
        *p++ = '.';
        p = copy(p, digits + point, n - point);
    }
    *p = '\0';
    return static_cast<int>(p - out);
}

const char* form_float(double x, int precision, bool point_zero_flag) {
    form_float_into(text_buffer, x, precision, point_zero_flag);
    return text_buffer;
}

int format_g(char* out, double x, int precision) {
    const u64 bits = bits_of(x);
    const bool sign = bits >> 63;
    const u64 magnitude = bits & ~(u64{1} << 63);
    char* p = out;
    if (magnitude > (u64{0x7FF} << 52)) {
        std::memcpy(out, "nan", 4);
        return 3;
    }
    if (sign) *p++ = '-';
    if (magnitude == (u64{0x7FF} << 52)) {
        p = copy(p, "inf", 3);
    } else if (!magnitude) {
        *p++ = '0';
    } else {
        if (precision <= 0) precision = 1;
        if (precision > max_precision) precision = max_precision;
        char digits[max_precision + 1];
        int point;
        const int n = digits_of(x, precision, digits, &point);
        const int exp10 = point - 1;
        if (exp10 < -4 || exp10 >= precision) {
            *p++ = digits[0];
            if (n > 1) {
                *p++ = '.';
                p = copy(p, digits + 1, n - 1);
            }
            *p++ = 'e';
            *p++ = exp10 < 0 ? '-' : '+';
            const int a = exp10 < 0 ? -exp10 : exp10;
            if (a < 10) *p++ = '0';
            p = write_int(p, a);
        } else if (exp10 < 0) {
            *p++ = '0';
            *p++ = '.';
            p = zeros(p, -exp10 - 1);
            p = copy(p, digits, n);
        } else if (n <= point) {
            p = copy(p, digits, n);
            p = zeros(p, point - n);
        } else {
            p = copy(p, digits, point);
            *p++ = '.';
            p = copy(p, digits + point, n - point);
        }
    }
    *p = '\0';
    return static_cast<int>(p - out);
}

// --- Input -------------------------------------------------------------------

namespace {

// Significant digits kept from an input. A halfway point between two doubles
// has at most 767 significant digits, so the first 800 digits and whether a
// non-zero digit follows them decide every comparison.
constexpr int kept_digits = 800;

// The rounding of the positive value v x 2^scale (v >= 2^190) to a double's
// bit pattern, ties to even; an overflow gives the infinity pattern.
u64 round_product(const U192& v, i32 scale) {
    const int t = top_bit(v);
    const i32 e = t + scale;  // 2^e <= value < 2^(e + 1)
    if (e > 1023) return u64{0x7FF} << 52;
    const i32 s = e >= -1022 ? t - 52 : -1074 - scale;  // bit of the last mantissa place
    if (s > 192) return 0;  // below half the smallest subnormal
    u64 mant = s >= 192 ? 0 : static_cast<u64>(shr192(v, s));
    const int c = compare_half(v, s);
    if (c > 0 || (c == 0 && (mant & 1))) mant++;
    if (e < -1022) return mant;  // subnormal (2^52 is the smallest normal's pattern)
    i32 biased = e + 1023;
    if (mant == u64{1} << 53) {
        mant >>= 1;
        biased++;
    }
    if (biased >= 0x7FF) return u64{0x7FF} << 52;
    return (static_cast<u64>(biased) << 52) | (mant & ((u64{1} << 52) - 1));
}

// value = w x 10^q rounded (w > 0).
inline u64 round_scaled(u64 w, u128 mant, i32 exp) {
    const int lz = std::countl_zero(w);
    return round_product(mul192(w << lz, mant), exp - lz);
}

// The exact decision between the double `lower` (bit pattern) and the next
// one up for the decimal digits x 10^e: the one nearer to it, ties to even.
u64 settle(u64 lower, const char* digits, int count, i64 e) {
    u64 m;
    i32 e2;
    decompose(lower, &m, &e2);
    if (!lower) {
        m = 0;
        e2 = -1074;
    }
    // Halfway point: (2m + 1) x 2^(e2 - 1).
    Big d, h(2 * m + 1);
    for (int i = 0; i < count;) {
        const int chunk = count - i < 9 ? count - i : 9;
        u32 v = 0;
        for (int j = 0; j < chunk; j++) v = v * 10 + static_cast<u32>(digits[i + j] - '0');
        d.mul_add(static_cast<u32>(pow10_u64[chunk]), v);
        i += chunk;
    }
    i64 twos_d = 0, twos_h = e2 - 1;
    if (e >= 0) {
        d.mul_pow5(e);
        twos_d += e;
    } else {
        h.mul_pow5(-e);
        twos_h -= e;
    }
    const i64 common = twos_d < twos_h ? twos_d : twos_h;
    d.shl(twos_d - common);
    h.shl(twos_h - common);
    const int c = compare(d, h);
    if (c < 0) return lower;
    if (c > 0) return lower + 1;
    return (lower & 1) ? lower + 1 : lower;
}

constexpr double exact_pow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The positive double nearest to the decimal digits (count >= 1, first digit
// non-zero) x 10^e.
double digits_to_double(const char* digits, int count, i64 e) {
    // Outside these bounds the value is surely above the largest double or
    // below half the smallest subnormal, whatever the digits.
    if (count + e > 310) return std::numeric_limits<double>::infinity();
    if (count + e <= -324) return 0.0;

    const int head = count < 19 ? count : 19;
    u64 w = 0;
    for (int i = 0; i < head; i++) w = w * 10 + static_cast<u64>(digits[i] - '0');
    const bool truncated = count > head;
    const i32 q = static_cast<i32>(e + (count - head));  // w x 10^q, within the table

    // Exact operands and one rounding: the result is correctly rounded.
    if (!truncated && count <= 15) {
        const double d = static_cast<double>(w);
        if (q == 0) return d;
        if (q < 0 && q >= -22) return d / exact_pow10[-q];
        if (q > 0 && q <= 22) return d * exact_pow10[q];
        if (q > 22 && q <= 22 + 15 - count) return d * exact_pow10[q - 22] * exact_pow10[22];
    }

    const Pow10& t = pow10(q);
    const u64 lower = round_scaled(w, t.mant, t.exp);
    if (!truncated && t.exact) return double_of(lower);
    // The true value lies below (w + 1) x (mant + 1) x 2^exp.
    if (t.mant != ~u128{0}) {
        const u64 upper = round_scaled(w + truncated, t.mant + !t.exact, t.exp);
        if (upper == lower) return double_of(lower);
    }
    return double_of(settle(lower, digits, count, e));
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

double decimal_to_double(u64 w, i64 e) {
    if (!w) return 0.0;
    char digits[20];
    int full;
    const int n = write_digits(w, digits, &full);
    return digits_to_double(digits, n, e + (full - n));
}

double text_to_float(const char* start, const char* end, i32 extra_exponent, i32* remaining) {
    const char* p = start;
    auto done = [&](double v) {
        const i64 left = end - p;
        *remaining = static_cast<i32>(left > INT32_MAX ? INT32_MAX : left);
        return v;
    };
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    while (p < end && *p == '0') p++;
    if (p == end) return done(0.0);

    char digits[kept_digits + 1];
    int kept = 0;          // digits stored
    i64 significant = 0;   // significant digits seen
    bool sticky = false;   // a non-zero digit beyond the stored ones
    i64 point_shift = 0;   // fraction digits (and zeros skipped after the point)

    auto take = [&](char c) {
        if (kept < kept_digits) digits[kept++] = c;
        else if (c != '0') sticky = true;
        significant++;
    };
    const char* int_start = p;
    for (; p < end && is_digit(*p); p++) take(*p);
    if (p < end && (*p == '.' || *p == ',')) {
        // "1.#INF", "-1.#INF", "1.#NaN": the special texts read back.
        if (p - int_start == 1 && p + 2 < end && p[1] == '#') {
            const char* s = p + 2;
            const char c = static_cast<char>(*s | 0x20);
            if (c == 'i' || c == 'n') {
                const char* word = c == 'i' ? "inf" : "nan";
                p = s + 1;
                for (int i = 1; i < 3 && p < end && (*p | 0x20) == word[i]; i++) p++;
                if (c == 'n') return done(std::bit_cast<double>(u64{0x7FF8000000000000}));
                const double inf = std::numeric_limits<double>::infinity();
                return done(negative ? -inf : inf);
            }
        }
        p++;
        for (; p < end && is_digit(*p); p++) {
            point_shift++;
            // Zeros before the first significant digit only move the point.
            if (significant || *p != '0') take(*p);
        }
    }
    i64 exponent = 0;
    if (p < end && (*p == 'e' || *p == 'E') && end - p > 1) {
        const char* s = p + 1;
        bool exp_negative = false;
        if (*s == '+' || *s == '-') exp_negative = *s++ == '-';
        if (s < end && is_digit(*s)) {
            // Saturates: beyond a billion every input overflows or underflows.
            for (; s < end && is_digit(*s); s++)
                if (exponent < 1'000'000'000) exponent = exponent * 10 + (*s - '0');
            if (exp_negative) exponent = -exponent;
            p = s;
        }
    }
    if (!significant) return done(negative ? -0.0 : 0.0);

    // The value is digits[0 .. kept) x 10^e, plus a tail when sticky.
    i64 e = exponent + extra_exponent - point_shift + (significant - kept);
    if (sticky) {
        digits[kept++] = '1';  // strictly between the stored digits and the next step
        e--;
    } else {
        while (digits[kept - 1] == '0') {
            kept--;
            e++;
        }
    }
    const double v = digits_to_double(digits, kept, e);
    // An underflow is +0.0 whatever the sign.
    return done(v == 0.0 ? 0.0 : negative ? -v : v);
}

}  // namespace oru::float_text
