// Action dispatch: handler lookup errors, comparison, refinement decoding,
// and the 62 stack entries with their table at the bottom.
//
// A stack entry reads its arguments at stack::arguments and its refinement
// positions from the array it is given (-1 when absent). A refinement without
// argument becomes a logic; a refinement argument is passed as the address of
// its cell, null when absent. Handlers may allocate, so an entry keeps no
// buffer address across a handler call; stack cells never move.
#include "interpreter/actions.h"

#include "runtime/datatypes/integer.h"

#include "interpreter/stack.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/port.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/memory.h"


namespace oru::actions {

StackEntry table[action::count];

void register_entries(int count, const StackEntry* entries) {
    if (count < 0 || count > static_cast<int>(action::count)) count = static_cast<int>(action::count);
    for (int i = 0; i < count; i++) table[i] = entries[i];
}

namespace {

// A word for an error argument.
Cell word_of(const char* spelling) { return stack::word(symbol::make(spelling)); }

bool series_type(u32 t) {
    switch (t) {
    case type::block: case type::paren: case type::string: case type::file: case type::url:
    case type::path: case type::lit_path: case type::set_path: case type::get_path: case type::binary:
    case type::vector: case type::hash: case type::tag: case type::email: case type::ref: case type::image:
        return true;
    default:
        return false;
    }
}

// A series position clamped to [0, length].
i32 clamped_index(const Cell& series) {
    i32 len = static_cast<i32>(memory::buffer(cell::node(series))->length());
    i32 i = cell::head_index(series);
    return i < 0 ? 0 : i > len ? len : i;
}

inline i32 three_way(u32 a, u32 b) { return a < b ? -1 : a > b ? 1 : 0; }

}  // namespace

// ---------------------------------------------------------------------------
// Lookup

namespace {
// The symbol of each action's first argument word (index: slot), recorded
// when the action's value is made from its spec.
i32 first_argument[static_cast<i32>(action::count) + 1] = {};
}  // namespace

void set_first_argument(u32 slot, i32 symbol) {
    if (slot >= 1 && slot <= static_cast<u32>(action::count)) first_argument[slot] = symbol;
}

[[noreturn]] void no_handler(u32 t, u32 slot) {
    // The third argument is the action's first argument word.
    const i32 sym = slot <= static_cast<u32>(action::count) ? first_argument[slot] : 0;
    fire(ErrorId::script_expect_arg, stack::get_call(), datatype::make(t), sym ? stack::word(sym) : none::value);
}

NativeActors native_actors = nullptr;

ActionEntry port_action(const Cell* value, u32 slot) {
    // A port whose actor is a handle! dispatches slots 25-62 through the
    // native table the handle names (entry slot - 25); an empty entry is
    // access/no-port-action.
    if (native_actors && slot <= action::count) {
        const Cell actor = port::actor_of(*value);
        if (cell::type_of(actor) == type::handle) {
            if (const ActionEntry* table = native_actors(actor)) {
                const ActionEntry e = table[slot - action::append];
                if (!e) fire(ErrorId::access_no_port_action);
                return e;
            }
        }
    }
    ActionEntry e = registry::entry(type::port, slot);
    if (!e) no_handler(type::port, slot);
    return e;
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* container, Cell* previous, i32 index,
                bool case_, bool get, bool tail, bool notify) {
    const u32 t = cell::type_of(*parent);
    ActionEntry e = t < registry::table_types ? registry::entry(t, action::eval_path) : nullptr;
    if (!e) [[unlikely]] {
        if (!path || cell::type_of(*path) == type::none)
            fire(ErrorId::script_bad_path_type2, *element, datatype::make(t));
        // The message reads "<cut> returned a <type> value, so <path> could
        // not be accessed": the cut is the part of the path that produced the
        // parent, the items before the element at `index`. The catalog puts
        // the whole path in arg1 and the cut in arg3.
        Cell cut = *path;
        cut.data2 = memory::copy_series_part(cell::node(*path), cell::head_index(*path), index);
        cut.data1 = 0;
        fire(ErrorId::script_bad_path_type, *path, datatype::make(t), cut);
    }
    return reinterpret_cast<action_fn::EvalPath>(e)(parent, element, value, path, container, previous, index, case_,
                                                    get, tail, notify);
}

// ---------------------------------------------------------------------------
// Comparison

bool compare(Cell* value1, Cell* value2, i32 op) {
    i32 r = compare_raw(value1, value2, op);
    if (r == -2) {
        if (op >= op::lesser && op <= op::greater_equal) fire(ErrorId::script_invalid_compare, *value1, *value2);
        return op == op::not_equal;  // values that cannot be compared differ
    }
    switch (op) {
    case op::not_equal: return r != 0;
    case op::lesser: return r < 0;
    case op::lesser_equal: return r <= 0;
    case op::greater: return r > 0;
    case op::greater_equal: return r >= 0;
    default: return r == 0;
    }
}

i32 compare_value(Cell* value1, Cell* value2, i32 op) {
    const u32 t = cell::type_of(*value1);
    if (t == cell::type_of(*value2)) {
        switch (t) {
        case type::logic: return static_cast<i32>(value1->data1) - static_cast<i32>(value2->data1);
        case type::op:
            // Entries are table indexes: an op of native slot 1 and one of
            // action slot 1 differ by the type they wrap.
            if ((value1->header ^ value2->header) & 0xFF0000)
                return three_way((value1->header >> 16) & 0xFF, (value2->header >> 16) & 0xFF);
            return three_way(value1->data1, value2->data1);
        case type::action: case type::native: return three_way(value1->data1, value2->data1);
        case type::function: case type::routine: return three_way(value1->data3, value2->data3);
        default: break;
        }
    }
    return compare_raw(value1, value2, op);
}

// ---------------------------------------------------------------------------
// Fast paths for compiled code

namespace {

// The action slot of each math code (0 for the codes without one).
constexpr u32 math_slots[] = {action::add, action::subtract, action::multiply, 0, 0,
                              action::or_, action::and_,      action::xor_};
// The action slot of each step code, from 1.
constexpr u32 step_slots[] = {0,           action::length_q, action::index_q, action::head_q, action::tail_q,
                              action::next, action::back,    action::head,    action::tail};

u32 math_slot(i32 op) {
    const u32 slot = op >= 0 && op < 8 ? math_slots[op] : 0;
    if (!slot) fire(ErrorId::script_invalid_arg, cell::integer(op));
    return slot;
}

// Runs an action's stack entry on the values in a native frame named by
// `word`; the result is left pushed (the frame's result slot) and returned.
// The values are copied first: they may lie where the frame's cells go.
Cell* run_action(u32 slot, const Cell& word, const Cell& value1, const Cell* value2) {
    const Cell w = word, a = value1, b = value2 ? *value2 : Cell{};
    stack::mark_native(w);
    stack::push(a);
    if (value2) stack::push(b);
    table[slot - 1](nullptr);
    stack::unwind();
    return stack::top - 1;
}

// The value of a math or comparison fast path without its road: the result
// cell, or none done (false).
bool math_inline(i32 op, const Cell& value1, const Cell& value2, Cell& out) {
    const u32 t1 = cell::type_of(value1), t2 = cell::type_of(value2);
    if (t1 == type::integer && t2 == type::integer) {
        const i32 l = static_cast<i32>(value1.data2), r = static_cast<i32>(value2.data2);
        i32 v;
        if (integer::math(op, l, r, &v)) out = cell::integer(v);
        else if (op <= math_code::multiply) out = cell::float_(integer::overflow_value(op, l, r));
        else return false;
        return true;
    }
    if (t1 == type::float_ && t2 == type::float_ && op >= math_code::add && op <= math_code::multiply) {
        const double l = cell::get_float(value1), r = cell::get_float(value2);
        out = cell::float_(op == math_code::add ? l + r : op == math_code::subtract ? l - r : l * r);
        return true;
    }
    return false;
}

// integer::compare_values reads the comparison codes by number.
static_assert(op::equal == 0 && op::not_equal == 1 && op::strict_equal == 2 && op::lesser == 3 &&
              op::lesser_equal == 4 && op::greater == 5 && op::greater_equal == 6);
static_assert(math_code::add == integer::op::add && math_code::subtract == integer::op::subtract &&
              math_code::multiply == integer::op::multiply && math_code::or_ == integer::op::or_ &&
              math_code::and_ == integer::op::and_ && math_code::xor_ == integer::op::xor_);

// The comparison's logic!, through the comparison natives' road unless both
// are integers.
Cell compare_value_of(i32 op, const Cell& word, const Cell& value1, const Cell& value2) {
    if (cell::type_of(value1) == type::integer && cell::type_of(value2) == type::integer)
        return logic::make(integer::compare_values(op, static_cast<i32>(value1.data2), static_cast<i32>(value2.data2)));
    const Cell w = word, a = value1, b = value2;
    stack::mark_native(w);
    stack::push(a);
    stack::push(b);
    compare_logic(op);
    stack::unwind();
    const Cell r = *(stack::top - 1);
    stack::pop(1);
    return r;
}

// Replaces the last pushed value with the result pushed above it.
Cell* onto_top(Cell* pushed) {
    const Cell r = *pushed;
    stack::pop(1);
    Cell* last = stack::last_pushed();
    *last = r;
    return last;
}

}  // namespace

Cell* math_op(i32 op, const Cell& word, const Cell& value1, const Cell& value2) {
    Cell out;
    if (math_inline(op, value1, value2, out)) return stack::push(out);
    return run_action(math_slot(op), word, value1, &value2);
}

Cell* math_op_int(i32 op, const Cell& word, const Cell& value, i32 constant) {
    return math_op(op, word, value, cell::integer(constant));
}

Cell* math_op_top(i32 op, const Cell& word, const Cell& value1, const Cell& value2) {
    return onto_top(math_op(op, word, value1, value2));
}

Cell* math_op_top_int(i32 op, const Cell& word, const Cell& value, i32 constant) {
    return onto_top(math_op(op, word, value, cell::integer(constant)));
}

Cell* compare_op(i32 op, const Cell& word, const Cell& value1, const Cell& value2) {
    return stack::push(compare_value_of(op, word, value1, value2));
}

Cell* compare_op_int(i32 op, const Cell& word, const Cell& value, i32 constant) {
    return compare_op(op, word, value, cell::integer(constant));
}

Cell* compare_op_top(i32 op, const Cell& word, const Cell& value1, const Cell& value2) {
    return onto_top(compare_op(op, word, value1, value2));
}

Cell* compare_op_top_int(i32 op, const Cell& word, const Cell& value, i32 constant) {
    return onto_top(compare_op(op, word, value, cell::integer(constant)));
}

bool compare_test(i32 op, const Cell& word, const Cell& value1, const Cell& value2, bool negate) {
    return logic::get(compare_value_of(op, word, value1, value2)) != negate;
}

bool compare_test_int(i32 op, const Cell& word, const Cell& value, i32 constant, bool negate) {
    return compare_test(op, word, value, cell::integer(constant), negate);
}

bool compare_set(i32 op, const Cell& word, const Cell& value1, const Cell& value2) {
    const Cell r = compare_value_of(op, word, value1, value2);
    *stack::arguments = r;
    return logic::get(r);
}

bool compare_set_int(i32 op, const Cell& word, const Cell& value, i32 constant) {
    return compare_set(op, word, value, cell::integer(constant));
}

Cell* fast_step(const Cell& value, i32 op, const Cell& word) {
    if (op < step_code::length_q || op > step_code::tail) fire(ErrorId::script_invalid_arg, cell::integer(op));
    if (cell::type_of(value) != type::block) return run_action(step_slots[op], word, value, nullptr);
    Cell v = value;
    const i32 len = static_cast<i32>(memory::buffer(cell::node(v))->length());
    const i32 index = cell::head_index(v);
    const i32 rest = index < len ? len - index : 0;
    switch (op) {
        case step_code::length_q: return stack::push(cell::integer(rest));
        case step_code::index_q: return stack::push(cell::integer(index + 1));
        case step_code::head_q: return stack::push(logic::make(index == 0));
        case step_code::tail_q: return stack::push(logic::make(rest <= 0));
        case step_code::next:
            if (rest > 0) v.data1 = static_cast<u32>(index + 1);
            break;
        case step_code::back:
            if (index > 0) v.data1 = static_cast<u32>(index - 1);
            break;
        case step_code::head: v.data1 = 0; break;
        default: v.data1 = static_cast<u32>(len); break;
    }
    return stack::push(v);
}

Cell* fast_pick(const Cell& value, i32 n, const Cell& word) {
    if (cell::type_of(value) == type::block) {
        const Node node = cell::node(value);
        const i32 len = static_cast<i32>(memory::buffer(node)->length());
        const i64 at = static_cast<i64>(cell::head_index(value)) + n - 1;
        if (n < 1 || at >= len) return stack::push(none::value);
        return stack::push(memory::buffer(node)->cells()[at]);
    }
    const Cell w = word, v = value;
    stack::mark_native(w);
    Cell* parent = stack::push(v);
    Cell* element = stack::push(cell::integer(n));
    const Cell got = *eval_path(parent, element, nullptr, nullptr, nullptr, nullptr, 0, false, true, false, false);
    stack::set_last(got);
    stack::unwind();
    return stack::top - 1;
}

void compare_logic(i32 op) {
    Cell* args = stack::arguments;
    const bool r = compare(&args[0], &args[1], op);
    stack::arguments[0] = logic::make(r);
}

// ---------------------------------------------------------------------------
// Refinement decoding

i32 part_count(const Cell& series, const Cell& part) {
    const u32 t = cell::type_of(series);
    if (!series_type(t) || !cell::node(series)) fire(ErrorId::script_invalid_part, part);
    if (cell::type_of(part) == type::integer) return static_cast<i32>(part.data2);
    if (cell::type_of(part) == t && cell::node(part) == cell::node(series))
        return clamped_index(part) - clamped_index(series);
    fire(ErrorId::script_invalid_refine_arg, word_of("part"), part);
}

i32 pick_index(const Cell& index) {
    switch (cell::type_of(index)) {
    case type::integer: case type::char_: return static_cast<i32>(index.data2);
    case type::logic: return index.data1 ? 1 : 2;
    default: return 0;
    }
}

namespace {

// ---------------------------------------------------------------------------
// Stack entries

inline Cell* arg(int i) { return stack::arguments + i; }
inline bool on(const i32* refs, int k) { return refs && refs[k] >= 0; }
inline Cell* ref(const i32* refs, int k) { return on(refs, k) ? stack::arguments + refs[k] : nullptr; }
inline void store(const Cell* result) {
    if (result) stack::set_last(*result);
}

// The integer argument of a refinement such as /dup or /part of form.
i32 count_arg(const Cell& c, const char* refinement) {
    if (cell::type_of(c) != type::integer) fire(ErrorId::script_invalid_refine_arg, word_of(refinement), c);
    return static_cast<i32>(c.data2);
}

// Cuts a string to `limit` characters from its head.
void truncate(const Cell& str, i32 limit) {
    SeriesBuffer* s = memory::buffer(cell::node(str));
    u64 keep = (static_cast<u64>(clamped_index(str)) + static_cast<u64>(limit)) * s->unit();
    if (s->head + keep < s->tail) s->tail = static_cast<u32>(s->head + keep);
}

template <u32 Slot>
void stack_entry(const i32*) {
    handler<action_fn::Stack>(stack::arguments, Slot)();
}

void entry_make(const i32*) { store(make(arg(0), arg(1))); }
void entry_random(const i32* r) { random(arg(0), on(r, 0), on(r, 1), on(r, 2)); }
void entry_reflect(const i32*) { reflect(arg(0), arg(1)->data2); }  // the field word's symbol
void entry_to(const i32*) { store(to(arg(0), arg(1))); }

// form and mold keep only the result slot and push a new string as the
// buffer; /part 0 or less gives the empty string without calling the handler.
template <class Call>
void text_entry(Cell* part_arg, Call call) {
    Cell part_cell{};
    Cell* part = nullptr;
    i32 limit = 0x7FFFFFFF;
    if (part_arg) {
        part_cell = *part_arg;  // the buffer is pushed over the argument cells
        part = &part_cell;
        limit = count_arg(part_cell, "part");
    }
    stack::keep();
    Cell* buffer = stack::push();
    string::make_at(*buffer, 16);
    if (!part || limit > 0) {
        call(buffer, part, limit);
        if (part) truncate(*buffer, limit);
    }
    stack::set_result(*buffer);
}

void entry_form(const i32* r) {
    text_entry(ref(r, 0), [](Cell* buffer, Cell* part, i32 limit) { form(arg(0), buffer, part, limit); });
}

void entry_mold(const i32* r) {
    bool only = on(r, 0), all = on(r, 1), flat = on(r, 2);
    text_entry(ref(r, 3), [=](Cell* buffer, Cell* part, i32 limit) {
        mold(arg(0), buffer, only, all, flat, part, limit, 0);
    });
}

// eval-path has no action! word; its entry takes everything on the stack:
// parent, element, value, path, container, previous, the index (integer!),
// then case?, get?, last? and the owner flag as logic! values.
void entry_eval_path(const i32*) {
    auto flag = [](int i) { return logic::truth(*arg(i)); };
    // A none value cell means reading: handlers take a null value as "get".
    Cell* value = cell::type_of(*arg(2)) == type::none ? nullptr : arg(2);
    store(eval_path(arg(0), arg(1), value, arg(3), arg(4), arg(5), static_cast<i32>(arg(6)->data2), flag(7), flag(8),
                    flag(9), flag(10)));
}

constexpr StackEntry entry_set_path = nullptr;

// compare has no action! word either: value1, value2 and the code (integer!).
void entry_compare(const i32*) {
    stack::set_last(logic::make(compare(arg(0), arg(1), static_cast<i32>(arg(2)->data2))));
}

constexpr StackEntry entry_absolute = stack_entry<action::absolute>;
constexpr StackEntry entry_add = stack_entry<action::add>;
constexpr StackEntry entry_divide = stack_entry<action::divide>;
constexpr StackEntry entry_multiply = stack_entry<action::multiply>;
void entry_negate(const i32*) { negate(arg(0)); }
constexpr StackEntry entry_power = stack_entry<action::power>;
constexpr StackEntry entry_remainder = stack_entry<action::remainder>;
void entry_round(const i32* r) {
    round(arg(0), ref(r, 0), on(r, 1), on(r, 2), on(r, 3), on(r, 4), on(r, 5), on(r, 6));
}
constexpr StackEntry entry_subtract = stack_entry<action::subtract>;
void entry_even_q(const i32*) { stack::set_last(logic::make(even_q(arg(0)))); }
void entry_odd_q(const i32*) { stack::set_last(logic::make(odd_q(arg(0)))); }
constexpr StackEntry entry_and_ = stack_entry<action::and_>;
void entry_complement(const i32*) { store(complement(arg(0))); }
constexpr StackEntry entry_or_ = stack_entry<action::or_>;
constexpr StackEntry entry_xor_ = stack_entry<action::xor_>;

// append and insert: series value /part length /only /dup count. A /dup
// count below 1 leaves everything as it is, the result slot included.
void insertion(const i32* r, bool append_) {
    i32 part = -1;
    // A port's actor takes the /part count as it is given.
    if (on(r, 0))
        part = cell::type_of(*arg(0)) == type::port ? count_arg(*ref(r, 0), "part") : part_count(*arg(1), *ref(r, 0));
    i32 dup = 1;
    if (on(r, 2)) {
        dup = count_arg(*ref(r, 2), "dup");
        if (dup < 1) return;
    }
    handler<action_fn::Append>(arg(0), append_ ? action::append : action::insert)(arg(0), arg(1), part, on(r, 1), dup,
                                                                                   append_);
}

void entry_append(const i32* r) { insertion(r, true); }
constexpr StackEntry entry_at = stack_entry<action::at>;
constexpr StackEntry entry_back = stack_entry<action::back>;

// change: series value /part range /only /dup count. The range counts in the
// series being changed, so a position must lie in that series; the handler
// gets the count as an integer! in the /part cell (a port's actor gets the
// range as it is given).
void entry_change(const i32* r) {
    Cell* part = ref(r, 0);
    if (part && cell::type_of(*arg(0)) != type::port) *part = cell::integer(part_count(*arg(0), *part));
    i32 dup = 1;
    if (on(r, 2)) {
        dup = count_arg(*ref(r, 2), "dup");
        if (dup < 1) return;
    }
    change(arg(0), arg(1), part, on(r, 1), dup);
}

void entry_clear(const i32*) { clear(arg(0)); }

// copy: value /part length /deep /types kind.
void entry_copy(const i32* r) {
    Cell* types = ref(r, 2);
    if (types && cell::type_of(*types) != type::datatype && cell::type_of(*types) != type::typeset)
        fire(ErrorId::script_expect_arg, word_of("copy"), datatype::make(cell::type_of(*types)), word_of("kind"));
    Cell* result = stack::push_value(none::value);
    store(copy(arg(0), result, ref(r, 0), on(r, 1), types));
}

// find: series value /part /only /case /same /any /with /skip /last /reverse /tail /match.
void entry_find(const i32* r) {
    store(find(arg(0), arg(1), ref(r, 0), on(r, 1), on(r, 2), on(r, 3), on(r, 4), ref(r, 5), ref(r, 6), on(r, 7),
               on(r, 8), on(r, 9), on(r, 10)));
}

constexpr StackEntry entry_head = stack_entry<action::head>;
constexpr StackEntry entry_head_q = stack_entry<action::head_q>;
constexpr StackEntry entry_index_q = stack_entry<action::index_q>;
void entry_insert(const i32* r) { insertion(r, false); }

void entry_length_q(const i32*) {
    i32 n = length_q(arg(0));
    stack::set_last(n == -1 ? none::value : cell::integer(n));
}

void entry_move(const i32* r) { store(move(arg(0), arg(1), ref(r, 0))); }
constexpr StackEntry entry_next = stack_entry<action::next>;
void entry_pick(const i32*) { store(pick(arg(0), pick_index(*arg(1)), arg(1))); }
void entry_poke(const i32*) { store(poke(arg(0), pick_index(*arg(1)), arg(2), arg(1))); }
void entry_put(const i32* r) { store(put(arg(0), arg(1), arg(2), on(r, 0))); }
void entry_remove(const i32* r) { remove(arg(0), ref(r, 0), ref(r, 1)); }
void entry_reverse(const i32* r) { reverse(arg(0), ref(r, 0), ref(r, 1)); }

// select: find's refinements without /tail and /match.
void entry_select(const i32* r) {
    store(select(arg(0), arg(1), ref(r, 0), on(r, 1), on(r, 2), on(r, 3), on(r, 4), ref(r, 5), ref(r, 6), on(r, 7),
                 on(r, 8)));
}

// sort: series /case /skip size /compare comparator /part length /all /reverse /stable.
void entry_sort(const i32* r) {
    store(sort(arg(0), on(r, 0), ref(r, 1), ref(r, 2), ref(r, 3), on(r, 4), on(r, 5), on(r, 6)));
}

constexpr StackEntry entry_skip = stack_entry<action::skip>;
void entry_swap(const i32*) { swap(arg(0), arg(1)); }
constexpr StackEntry entry_tail = stack_entry<action::tail>;
constexpr StackEntry entry_tail_q = stack_entry<action::tail_q>;
void entry_take(const i32* r) { store(take(arg(0), ref(r, 0), on(r, 1), on(r, 2))); }
void entry_trim(const i32* r) { trim(arg(0), on(r, 0), on(r, 1), on(r, 2), on(r, 3), on(r, 4), ref(r, 5)); }
void entry_create(const i32*) { store(create(arg(0))); }
void entry_close(const i32*) { store(close(arg(0))); }
void entry_delete_(const i32*) { store(delete_(arg(0))); }
void entry_modify(const i32* r) { store(modify(arg(0), arg(1), arg(2), on(r, 0))); }
void entry_open(const i32* r) { store(open(arg(0), on(r, 0), on(r, 1), on(r, 2), on(r, 3), ref(r, 4))); }
void entry_open_q(const i32*) { store(open_q(arg(0))); }
void entry_query(const i32*) { store(query(arg(0))); }

// read: source /part /seek /binary /lines /info /as. /info takes no argument:
// its cell pointer only tells present (non-null) from absent.
void entry_read(const i32* r) { store(read(arg(0), ref(r, 0), ref(r, 1), on(r, 2), on(r, 3), ref(r, 4), ref(r, 5))); }
void entry_rename(const i32*) { store(rename(arg(0), arg(1))); }
void entry_update(const i32*) { store(update(arg(0))); }

// write: destination data /binary /lines /info /append /part /seek /allow /as.
void entry_write(const i32* r) {
    store(write(arg(0), arg(1), on(r, 0), on(r, 1), ref(r, 2), on(r, 3), ref(r, 4), ref(r, 5), ref(r, 6), ref(r, 7)));
}

// What each entry reads from the data stack, in the notation of the native
// shapes (interpreter/natives.h): an item per argument ("[]": any value but
// unset!), each refinement followed by its arguments. An action! made for a
// slot must have its shape, with types no wider. Values that the handlers
// check themselves stay untyped; reflect's field is read as a symbol id, so
// it must be a word. eval-path and compare take a layout no action! spec
// states, and set-path has no entry: no action! is made for them.
constexpr const char* shape_make = "[any-type!] [any-type!]";
constexpr const char* shape_random = "[] /seed /secure /only";
constexpr const char* shape_reflect = "[] [word!]";
constexpr const char* shape_to = "[any-type!] [any-type!]";
constexpr const char* shape_form = "[any-type!] /part []";
constexpr const char* shape_mold = "[any-type!] /only /all /flat /part []";
constexpr const char* shape_eval_path = nullptr;
constexpr const char* shape_set_path = nullptr;
constexpr const char* shape_compare = nullptr;
constexpr const char* shape_absolute = "[]";
constexpr const char* shape_add = "[] []";
constexpr const char* shape_divide = "[] []";
constexpr const char* shape_multiply = "[] []";
constexpr const char* shape_negate = "[]";
constexpr const char* shape_power = "[] []";
constexpr const char* shape_remainder = "[] []";
constexpr const char* shape_round = "[] /to [] /even /down /half-down /floor /ceiling /half-ceiling";
constexpr const char* shape_subtract = "[] []";
constexpr const char* shape_even_q = "[]";
constexpr const char* shape_odd_q = "[]";
constexpr const char* shape_and_ = "[] []";
constexpr const char* shape_complement = "[]";
constexpr const char* shape_or_ = "[] []";
constexpr const char* shape_xor_ = "[] []";
constexpr const char* shape_append = "[] [any-type!] /part [] /only /dup []";
constexpr const char* shape_at = "[] []";
constexpr const char* shape_back = "[]";
constexpr const char* shape_change = "[] [any-type!] /part [] /only /dup []";
constexpr const char* shape_clear = "[]";
constexpr const char* shape_copy = "[] /part [] /deep /types []";
constexpr const char* shape_find = "[] [any-type!] /part [] /only /case /same /any /with [] /skip [] /last /reverse /tail /match";
constexpr const char* shape_head = "[]";
constexpr const char* shape_head_q = "[]";
constexpr const char* shape_index_q = "[]";
constexpr const char* shape_insert = "[] [any-type!] /part [] /only /dup []";
constexpr const char* shape_length_q = "[]";
constexpr const char* shape_move = "[] [] /part []";
constexpr const char* shape_next = "[]";
constexpr const char* shape_pick = "[] []";
constexpr const char* shape_poke = "[] [] [any-type!]";
constexpr const char* shape_put = "[] [] [any-type!] /case";
constexpr const char* shape_remove = "[] /part [] /key []";
constexpr const char* shape_reverse = "[] /part [] /skip []";
constexpr const char* shape_select = "[] [any-type!] /part [] /only /case /same /any /with [] /skip [] /last /reverse";
constexpr const char* shape_sort = "[] /case /skip [] /compare [] /part [] /all /reverse /stable";
constexpr const char* shape_skip = "[] []";
constexpr const char* shape_swap = "[] []";
constexpr const char* shape_tail = "[]";
constexpr const char* shape_tail_q = "[]";
constexpr const char* shape_take = "[] /part [] /deep /last";
constexpr const char* shape_trim = "[] /head /tail /auto /lines /all /with []";
constexpr const char* shape_create = "[]";
constexpr const char* shape_close = "[]";
constexpr const char* shape_delete_ = "[]";
constexpr const char* shape_modify = "[] [word!] [any-type!] /case";
constexpr const char* shape_open = "[] /new /read /write /seek /allow []";
constexpr const char* shape_open_q = "[]";
constexpr const char* shape_query = "[]";
constexpr const char* shape_read = "[] /part [] /seek [] /binary /lines /info /as []";
constexpr const char* shape_rename = "[] []";
constexpr const char* shape_update = "[]";
constexpr const char* shape_write = "[] [any-type!] /binary /lines /info /append /part [] /seek [] /allow [] /as []";

// ORDER ACTIONS: slot order, from the registry's list.
constexpr StackEntry entries[] = {
#define ORU_ACTION_ENTRY(n, member, spelling, fn) entry_##member,
    ORU_ACTIONS(ORU_ACTION_ENTRY)
#undef ORU_ACTION_ENTRY
};
static_assert(sizeof entries / sizeof entries[0] == action::count);

constexpr const char* shapes[] = {
#define ORU_ACTION_SHAPE(n, member, spelling, fn) shape_##member,
    ORU_ACTIONS(ORU_ACTION_SHAPE)
#undef ORU_ACTION_SHAPE
};
static_assert(sizeof shapes / sizeof shapes[0] == action::count);

}  // namespace

const char* shape_of(u32 slot) { return slot >= 1 && slot <= action::count ? shapes[slot - 1] : nullptr; }

void init() { register_entries(static_cast<int>(action::count), entries); }

}  // namespace oru::actions
