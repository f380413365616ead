// logic!: support routines, the truth tests on the data stack, and the
// handlers.
#include "runtime/datatypes/logic.h"

#include "interpreter/stack.h"
#include "runtime/calls.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/registry.h"

namespace oru::logic {

bool truth_strict(const Cell& v) {
    if (cell::type_of(v) == type::unset) fire(ErrorId::script_no_return);
    return truth(v);
}

Cell* box(bool b) {
    *stack::arguments = make(b);
    return stack::arguments;
}

Cell* push(bool b) { return stack::push(make(b)); }

void make_in(const Cell& block, bool b) { *memory::alloc_tail(cell::node(block)) = make(b); }

bool false_q() { return !truth(*stack::arguments); }

bool true_top_q() { return truth_strict(*stack::arguments); }

bool true_value_q(const Cell& value, bool check, const Cell& word) {
    if (check && cell::type_of(value) == type::unset) fire(ErrorId::script_no_value, word);
    return truth(value);
}

bool last_true_q() {
    const Cell* last = stack::top - 1 > stack::arguments ? stack::top - 1 : stack::arguments;
    return truth(*last);
}

namespace {

// --- Actions ---------------------------------------------------------------

Cell* to(Cell*, Cell* spec, u32) {
    if (cell::type_of(*spec) == type::logic) return spec;
    return push(cell::type_of(*spec) != type::none);
}

// Numbers are true when not zero (a NaN is not zero); anything else as `to`.
Cell* make_(Cell* proto, Cell* spec, u32 t) {
    switch (cell::type_of(*spec)) {
        case type::integer: return push(static_cast<i32>(spec->data2) != 0);
        case type::float_:
        case type::percent: return push(cell::get_float(*spec) != 0.0);
        default: return to(proto, spec, t);
    }
}

i32 form(Cell* value, Cell* buffer, Cell*, i32 limit) {
    return limit - string::concatenate_literal(*buffer, get(*value) ? "true" : "false");
}

i32 mold(Cell* value, Cell* buffer, bool, bool all, bool, Cell*, i32 limit, i32) {
    const char* text = get(*value) ? (all ? "#(true)" : "true") : (all ? "#(false)" : "false");
    return limit - string::concatenate_literal(*buffer, text);
}

i32 compare(Cell* value1, Cell* value2, i32 op) {
    if (cell::type_of(*value2) != type::logic) return -2;
    switch (op) {
        case 0: case 1: case 2: case 7: case 8: case 9: case 12:
            return static_cast<i32>(get(*value1)) - static_cast<i32>(get(*value2));
        default: return -2;
    }
}

// In place: the argument is the result.
Cell* complement(Cell* value) {
    value->data1 = get(*value) ? 0 : 1;
    return value;
}

// The bitwise operators (stack convention): the second argument must be a
// logic! as well; the first argument becomes the result.
template <class Op>
void bitwise(Op op) {
    Cell* args = stack::arguments;
    if (cell::type_of(args[1]) != type::logic) fire_expect_arg(2, cell::type_of(args[1]));
    args[0].data1 = op(get(args[0]), get(args[1])) ? 1 : 0;
}

void and_() { bitwise([](bool a, bool b) { return a && b; }); }
void or_() { bitwise([](bool a, bool b) { return a || b; }); }
void xor_() { bitwise([](bool a, bool b) { return a != b; }); }

// /seed seeds the generator with the 0/1 payload (the result is unset!);
// otherwise one draw in 0..2^31-1 gives true above 0x3FFFFFFF, an even split.
void random(Cell* value, bool seed, bool secure, bool) {
    if (seed) {
        random::seed(get(*value) ? 1 : 0);
        *value = unset::value;
        return;
    }
    const i32 r = secure ? random::secure_int() : random::rand();
    *value = make(r > 0x3FFFFFFF);
}

constexpr ActionTable logic_actions = {
    .make = make_, .random = random, .to = to, .form = form, .mold = mold, .compare = compare,
    .and_ = and_, .complement = complement, .or_ = or_, .xor_ = xor_,
};

}  // namespace

void init() { registry::add(type::logic, 0, "logic!", logic_actions); }

}  // namespace oru::logic
