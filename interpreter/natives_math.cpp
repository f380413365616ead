// Comparison, logic and math natives; see natives_math.h. The table of
// slots is at the bottom.
#include "interpreter/natives_math.h"

#include "interpreter/actions.h"
#include "interpreter/natives.h"
#include "interpreter/natives_shared.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/system.h"

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <limits>

namespace oru::natives {

namespace {

constexpr double pi = 3.141592653589793;
// sine and cosine results below this magnitude are the residue of an angle
// that should give 0 (cosine 90): they become 0.0.
constexpr double flush_below = 2.220446049250313e-16;

inline bool used(const i32* refinements, int i) { return refinements && refinements[i] >= 0; }

inline void set_logic(bool b) { *stack::arguments = logic::make(b); }
inline void set_integer(i32 n) { *stack::arguments = cell::integer(n); }
inline void set_float(double d) { *stack::arguments = cell::float_(d); }

bool one_of(u32 t, std::initializer_list<u32> types) {
    for (u32 x : types) if (x == t) return true;
    return false;
}

bool any_series_q(u32 t) {
    return one_of(t, {type::block, type::paren, type::hash, type::path, type::lit_path, type::set_path,
                      type::get_path, type::string, type::file, type::url, type::tag, type::email, type::ref,
                      type::binary, type::vector, type::image});
}
bool scalar_q(u32 t) {
    return one_of(t, {type::integer, type::float_, type::percent, type::money, type::char_, type::pair,
                      type::tuple, type::time, type::date, type::point2D, type::point3D});
}

// float!, percent! and time! keep a double in payload words 2-3.
bool double_q(u32 t) { return t == type::float_ || t == type::percent || t == type::time; }

float float32_at(u32 w) {
    float f;
    std::memcpy(&f, &w, sizeof f);
    return f;
}

// tuple!: up to 12 bytes from payload word 1, the length in header bits 19-22.
bool tuple_zero_q(const Cell& v) {
    const u32 len = (v.header >> 19) & 0xF;
    u8 bytes[12];
    std::memcpy(bytes, &v.data1, sizeof bytes);
    for (u32 i = 0; i < len && i < 12; ++i)
        if (bytes[i]) return false;
    return true;
}

// The comparison family: the logic outcome of compare with the native's code.
template <i32 Op>
u32 compare_native(bool, const i32*) {
    actions::compare_logic(Op);
    return 0;
}

// Sign of a number argument: -1, 0 or 1; a NaN gives 0.
i32 sign_of(const Cell& v) {
    const u32 t = cell::type_of(v);
    if (t == type::integer) {
        const i32 n = static_cast<i32>(v.data2);
        return (n > 0) - (n < 0);
    }
    if (double_q(t)) {
        const double d = cell::get_float(v);
        return d > 0.0 ? 1 : d < 0.0 ? -1 : 0;
    }
    if (t == type::money) return money::sign(v);
    expect_arg(v, "number");
}

// A float-valued native of one argument (integer!, float!, percent!).
template <double (*F)(double)>
u32 float_native(bool, const i32*) {
    to_float_arg();
    set_float(F(cell::get_float(*stack::arguments)));
    return 0;
}

double log2_of(double x) { return std::log(x) / 0.6931471805599453; }
double log10_of(double x) { return std::log10(x); }
double loge_of(double x) { return std::log(x); }
double exp_of(double x) { return std::pow(2.718281828459045, x); }
double sqrt_of(double x) { return std::sqrt(x); }

double flush(double r) { return std::fabs(r) < flush_below ? 0.0 : r; }

}  // namespace

// ---------------------------------------------------------------------------
// Comparison and logic

u32 equal_q(bool c, const i32* r) { return compare_native<actions::op::equal>(c, r); }
u32 not_equal_q(bool c, const i32* r) { return compare_native<actions::op::not_equal>(c, r); }
u32 strict_equal_q(bool c, const i32* r) { return compare_native<actions::op::strict_equal>(c, r); }
u32 lesser_q(bool c, const i32* r) { return compare_native<actions::op::lesser>(c, r); }
u32 greater_q(bool c, const i32* r) { return compare_native<actions::op::greater>(c, r); }
u32 lesser_or_equal_q(bool c, const i32* r) { return compare_native<actions::op::lesser_equal>(c, r); }
u32 greater_or_equal_q(bool c, const i32* r) { return compare_native<actions::op::greater_equal>(c, r); }

bool same_value_q(Cell* value1, Cell* value2) {
    const u32 t = cell::type_of(*value1);
    if (t != cell::type_of(*value2)) return false;
    const Cell& a = *value1;
    const Cell& b = *value2;
    switch (t) {
    case type::datatype: case type::logic: case type::object:
        return a.data1 == b.data1;
    case type::char_: case type::integer: case type::bitset:
        return a.data2 == b.data2;
    case type::float_: case type::percent: case type::pair: case type::time:
        return a.data2 == b.data2 && a.data3 == b.data3;
    case type::tuple:
        return ((a.header ^ b.header) & (0xFu << 19)) == 0 && actions::compare_raw(value1, value2, actions::op::equal) == 0;
    case type::none: case type::unset:
        return true;
    case type::money:
        return actions::compare_raw(value1, value2, actions::op::same) == 0;
    case type::native: case type::action: case type::point2D:
        return a.data1 == b.data1 && a.data2 == b.data2;
    case type::op:
        return a.data2 == b.data2 && a.data3 == b.data3;
    default:
        // Series: the same position in the same buffer.
        if (any_series_q(t)) return a.data1 == b.data1 && cell::node(a) == cell::node(b);
        return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3;
    }
}

u32 same_q(bool, const i32*) {
    Cell* args = stack::arguments;
    const bool r = same_value_q(&args[0], &args[1]);
    set_logic(r);
    return 0;
}

u32 not_(bool, const i32*) {
    set_logic(!logic::truth(*stack::arguments));
    return 0;
}

namespace {
u32 max_min_native(bool max_q) {
    const Cell* args = stack::arguments;
    if (!scalar_q(cell::type_of(args[0])) && !any_series_q(cell::type_of(args[0]))) expect_arg(args[0], "value1");
    if (!scalar_q(cell::type_of(args[1])) && !any_series_q(cell::type_of(args[1]))) expect_arg(args[1], "value2");
    max_min(max_q);
    return 0;
}
}  // namespace

u32 max(bool, const i32*) { return max_min_native(true); }
u32 min(bool, const i32*) { return max_min_native(false); }

// ---------------------------------------------------------------------------
// Number tests

u32 negative_q(bool, const i32*) {
    set_logic(sign_of(*stack::arguments) < 0);
    return 0;
}

u32 positive_q(bool, const i32*) {
    set_logic(sign_of(*stack::arguments) > 0);
    return 0;
}

u32 sign_q(bool, const i32*) {
    set_integer(sign_of(*stack::arguments));
    return 0;
}

u32 zero_q(bool, const i32*) {
    const Cell v = *stack::arguments;
    bool r;
    switch (cell::type_of(v)) {
    case type::char_: case type::integer: r = v.data2 == 0; break;
    case type::float_: case type::percent: case type::time: r = cell::get_float(v) == 0.0; break;
    case type::pair: r = v.data2 == 0 && v.data3 == 0; break;
    case type::point2D: r = float32_at(v.data1) == 0.0f && float32_at(v.data2) == 0.0f; break;
    case type::point3D:
        r = float32_at(v.data1) == 0.0f && float32_at(v.data2) == 0.0f && float32_at(v.data3) == 0.0f;
        break;
    case type::tuple: r = tuple_zero_q(v); break;
    case type::money: r = money::zero_q(v); break;
    default: expect_arg(v, "value");
    }
    set_logic(r);
    return 0;
}

u32 NaN_q(bool, const i32*) {
    const Cell v = *stack::arguments;
    const u32 t = cell::type_of(v);
    if (t != type::integer && t != type::float_ && t != type::percent) expect_arg(v, "value");
    set_logic(t != type::integer && std::isnan(cell::get_float(v)));
    return 0;
}

// ---------------------------------------------------------------------------
// shift

i32 shift_value(i32 data, i32 bits, bool left, bool logical) {
    const i32 n = bits < 0 ? 0 : bits;
    const u32 u = static_cast<u32>(data);
    if (left) return n > 31 ? 0 : static_cast<i32>(u << n);
    if (logical) return n > 31 ? 0 : static_cast<i32>(u >> n);
    if (n > 31) return data < 0 ? -1 : 0;
    return data >> n;  // arithmetic: sign fill (defined since C++20)
}

u32 shift(bool, const i32* refinements) {
    const Cell* args = stack::arguments;
    set_integer(shift_value(static_cast<i32>(args[0].data2), static_cast<i32>(args[1].data2), used(refinements, 0),
                            used(refinements, 1)));
    return 0;
}

// ---------------------------------------------------------------------------
// Trigonometry, logarithms, roots

u32 sine(bool, const i32* refinements) {
    trig_arg(used(refinements, 0), 2);
    set_float(flush(std::sin(cell::get_float(*stack::arguments))));
    return 0;
}

u32 cosine(bool, const i32* refinements) {
    trig_arg(used(refinements, 0), 1);
    set_float(flush(std::cos(cell::get_float(*stack::arguments))));
    return 0;
}

u32 tangent(bool, const i32* refinements) {
    trig_arg(used(refinements, 0), 0);
    const double x = cell::get_float(*stack::arguments);
    const double inf = std::numeric_limits<double>::infinity();
    set_float(x == pi / 2.0 ? inf : x == pi / -2.0 ? -inf : std::tan(x));
    return 0;
}

u32 arcsine(bool, const i32* refinements) {
    arc_result(used(refinements, 0), 2);
    return 0;
}
u32 arccosine(bool, const i32* refinements) {
    arc_result(used(refinements, 0), 1);
    return 0;
}
u32 arctangent(bool, const i32* refinements) {
    arc_result(used(refinements, 0), 0);
    return 0;
}

u32 arctangent2(bool, const i32* refinements) {
    const Cell* args = stack::arguments;
    auto number = [](const Cell& v) {
        return cell::type_of(v) == type::integer ? static_cast<double>(static_cast<i32>(v.data2)) : cell::get_float(v);
    };
    double r = std::atan2(number(args[0]), number(args[1]));
    if (!used(refinements, 0)) r = r * 180.0 / pi;
    set_float(r);
    return 0;
}

u32 log_2(bool c, const i32* r) { return float_native<log2_of>(c, r); }
u32 log_10(bool c, const i32* r) { return float_native<log10_of>(c, r); }
u32 log_e(bool c, const i32* r) { return float_native<loge_of>(c, r); }
u32 exp(bool c, const i32* r) { return float_native<exp_of>(c, r); }
u32 square_root(bool c, const i32* r) { return float_native<sqrt_of>(c, r); }

}  // namespace oru::natives

namespace oru::natives_math {

void register_all() {
    using namespace natives;
    // ORDER NATIVES: the slots are named in natives.h.
    constexpr Provided entries[] = {
        {slot::equal_q, equal_q},
        {slot::not_equal_q, not_equal_q},
        {slot::strict_equal_q, strict_equal_q},
        {slot::lesser_q, lesser_q},
        {slot::greater_q, greater_q},
        {slot::lesser_or_equal_q, lesser_or_equal_q},
        {slot::greater_or_equal_q, greater_or_equal_q},
        {slot::same_q, same_q},
        {slot::not_, not_},
        {slot::max, natives::max},
        {slot::min, natives::min},
        {slot::negative_q, negative_q},
        {slot::positive_q, positive_q},
        {slot::sign_q, sign_q},
        {slot::zero_q, zero_q},
        {slot::NaN_q, NaN_q},
        {slot::shift, shift},
        {slot::sine, sine},
        {slot::cosine, cosine},
        {slot::tangent, tangent},
        {slot::arcsine, arcsine},
        {slot::arccosine, arccosine},
        {slot::arctangent, arctangent},
        {slot::arctangent2, arctangent2},
        {slot::log_2, log_2},
        {slot::log_10, log_10},
        {slot::log_e, log_e},
        {slot::exp, natives::exp},
        {slot::square_root, square_root},
    };
    static_assert(std::size(entries) == 29);
    provide_all(entries);
}

}  // namespace oru::natives_math
