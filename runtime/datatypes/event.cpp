// event!: made events, field access, the routines and the registration.
//
// A made event's four-cell block is built on the data stack while the spec
// is read (reading a word's value and making the block can move buffers), so
// the spec block is read again by index at each step.
#include "runtime/datatypes/event.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/path_store.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/words.h"

#include <iterator>

namespace oru::event {

namespace {

Cell* push_none(const Cell&) { return stack::push(none::value); }

#define ORU_EVENT_TYPE_NAME(spelling) spelling,
constexpr const char* type_names[] = {ORU_EVENT_TYPES(ORU_EVENT_TYPE_NAME)};
#undef ORU_EVENT_TYPE_NAME
static_assert(std::size(type_names) == type_count);

struct FlagName {
    u32 bit;
    const char* name;
};
#define ORU_EVENT_FLAG_NAME(bit, spelling) {bit, spelling},
constexpr FlagName flag_names[] = {ORU_EVENT_FLAGS(ORU_EVENT_FLAG_NAME)};
#undef ORU_EVENT_FLAG_NAME
constexpr i32 flag_count = static_cast<i32>(std::size(flag_names));

// Symbol ids of the type and flag words, interned by init.
i32 type_symbols[type_count];
i32 flag_symbols[flag_count];

// Field words in field order (1-based field = index + 1).
const i32* const field_symbols[field_count] = {
    &words::sym::type,      &words::sym::face,       &words::sym::window,     &words::sym::offset,
    &words::sym::key,       &words::sym::picked,     &words::sym::flags,      &words::sym::away_q,
    &words::sym::down_q,    &words::sym::mid_down_q, &words::sym::alt_down_q, &words::sym::aux_down_q,
    &words::sym::ctrl_q,    &words::sym::shift_q,    &words::sym::orientation,
};
// The bits the logic fields 8-14 test.
constexpr u32 field_bits[7] = {0x04000000, 0x02000000, 0x01000000, 0x00800000,
                               0x00400000, 0x10000000, 0x20000000};

bool word_q(u32 t) { return t >= type::word && t <= type::get_word; }
i32 canonical_of(const Cell& w) { return symbol::canonical(word::symbol_of(w)); }

// The field number of a word accessor, 0 when it names none.
i32 field_of_word(const Cell& w) {
    if (!word_q(cell::type_of(w))) return 0;
    const i32 sym = canonical_of(w);
    for (i32 i = 0; i < field_count; i++)
        if (symbol::canonical(*field_symbols[i]) == sym) return i + 1;
    return 0;
}

u32 flag_bit(const Cell& w) {
    const i32 sym = canonical_of(w);
    for (i32 i = 0; i < flag_count; i++)
        if (symbol::canonical(flag_symbols[i]) == sym) return flag_names[i].bit;
    return 0;
}

// The value of a bound word or get-word, when it has one; else the value
// itself.
Cell resolved(const Cell& v) {
    const u32 t = cell::type_of(v);
    if (t != type::word && t != type::get_word) return v;
    const Node ctx = word::context_of(v);
    const i32 index = word::index_of(v);
    if (!ctx || index < 0) return v;
    const Cell* values = context::values(ctx);
    if (!values || cell::type_of(values[index]) == type::unset) return v;
    return values[index];
}

// The type code a word names; not-event-type when it names none.
u32 checked_type(const Cell& w) {
    const i32 code = type_code(w);
    if (!code) fire(ErrorId::script_not_event_type, w);
    return static_cast<u32>(code);
}

}  // namespace

Native native = {push_none, push_none, push_none, push_none, push_none, push_none};
bool (*send_os)(const Cell& event, bool queued) = nullptr;

i32 type_code(const Cell& w) {
    if (!word::any_word_type_q(cell::type_of(w))) return 0;
    const i32 sym = canonical_of(w);
    for (i32 i = 0; i < type_count; i++)
        if (symbol::canonical(type_symbols[i]) == sym) return i + 1;
    return 0;
}

namespace {

// --- make ------------------------------------------------------------------------

// Set-words with their values: type:, key:, flags:, face:, window:, offset:
// and picked:; anything else is passed over.
Cell* make_(Cell*, Cell* spec, u32) {
    Cell* out = stack::push(cell::make(type::event | made_flag));
    if (cell::type_of(*spec) != type::block) return out;
    const Cell blk = *spec;
    // face, window, offset, picked
    Cell* parts = stack::push(none::value);
    stack::push(none::value);
    stack::push(pair::make(0, 0));
    stack::push(cell::integer(0));
    bool carried = false;
    for (i32 i = cell::head_index(blk) < 0 ? 0 : cell::head_index(blk);; i++) {
        SeriesBuffer* s = series::buffer_of(blk);
        if (i + 1 >= static_cast<i32>(s->length())) break;
        const Cell key = s->cells()[i];
        if (cell::type_of(key) != type::set_word) continue;
        const Cell v = resolved(s->cells()[++i]);
        const u32 vt = cell::type_of(v);
        switch (field_of_word(key)) {
            case 1:  // type
                if (vt == type::word || vt == type::lit_word) out->data1 = checked_type(v);
                break;
            case 2:  // face
            case 3:  // window
                if (vt == type::object) {
                    parts[field_of_word(key) - 2] = v;
                    carried = true;
                }
                break;
            case 4:  // offset
                if (vt == type::pair || vt == type::point2D) {
                    parts[2] = v;
                    carried = true;
                }
                break;
            case 5:  // key
                if (vt == type::char_) out->data3 |= v.data2 & key_mask;
                break;
            case 6:  // picked
                if (vt == type::integer) {
                    parts[3] = v;
                    carried = true;
                }
                break;
            case 7:  // flags
                if (vt == type::block) {
                    SeriesBuffer* f = series::buffer_of(v);
                    for (i32 j = cell::head_index(v) < 0 ? 0 : cell::head_index(v); j < static_cast<i32>(f->length()); j++) {
                        const Cell w = f->cells()[j];
                        if (cell::type_of(w) == type::word || cell::type_of(w) == type::lit_word) out->data3 |= flag_bit(w);
                    }
                }
                break;
            default: break;
        }
    }
    if (carried) {
        Cell* b = stack::push(none::value);
        block::make_at(*b, 4);
        for (i32 j = 0; j < 4; j++) *memory::alloc_tail(cell::node(*b)) = parts[j];
        out->data2 = cell::node(*b);
    }
    stack::top = out + 1;
    return out;
}

// --- Fields ----------------------------------------------------------------------

Cell* push_flags(u32 flags) {
    Cell* b = stack::push(none::value);
    block::make_at(*b, flag_count);
    for (i32 i = 0; i < flag_count; i++)
        if (flags & flag_names[i].bit) word::make_in(flag_symbols[i], *b);
    return b;
}

// Field n (1-15) of an event, pushed.
Cell* field(const Cell& ev, i32 n) {
    const bool made = ev.header & made_flag;
    const u32 flags = ev.data3;
    if (made) {
        switch (n) {
            case 2: case 3: case 4: case 6: {
                if (!ev.data2) return stack::push(n == 4 ? pair::make(0, 0) : n == 6 ? cell::integer(0) : none::value);
                const i32 at = n == 6 ? 3 : n - 2;
                return stack::push(memory::buffer(ev.data2)->cells()[at]);
            }
            case 5:
                if (!(flags & key_mask)) return stack::push(none::value);
                return stack::push(cell::make(type::char_, 0, flags & key_mask, 0));
            case 15: return stack::push(none::value);
            default: break;
        }
    }
    switch (n) {
        case 1: {
            const u32 code = ev.data1;
            if (code < 1 || code > type_count) return stack::push(none::value);
            return word::push_symbol(type_symbols[code - 1]);
        }
        case 2: return native.face(ev);
        case 3: return native.window(ev);
        case 4: return native.offset(ev);
        case 5: return native.key(ev);
        case 6: return native.picked(ev);
        case 7: return push_flags(flags);
        case 15: return native.orientation(ev);
        default: return stack::push(logic::make((flags & field_bits[n - 8]) != 0));
    }
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, Cell* path, Cell* container, Cell* previous, i32 index,
                bool, bool, bool, bool) {
    const i32 n = field_of_word(*element);
    if (!n) fire(ErrorId::script_invalid_path, path ? *path : none::value, *element);
    if (!value) return field(*parent, n);
    const u32 vt = cell::type_of(*value);
    if (n != 1 || (vt != type::word && vt != type::lit_word))
        fire(ErrorId::script_bad_path_set, path ? *path : none::value, *element);
    parent->data1 = checked_type(*value);
    path_store::store_back(*parent, container, previous, path, index);
    return value;
}

// pick: 1-15 or a field word.
Cell* pick(Cell* series, i32, Cell* index) {
    i32 n = field_of_word(*index);
    if (cell::type_of(*index) == type::integer) {
        const i32 k = integer::get(*index);
        n = k >= 1 && k <= field_count ? k : 0;
    }
    if (!n) fire(ErrorId::script_out_of_range, *index);
    return field(*series, n);
}

i32 form(Cell*, Cell* buffer, Cell*, i32 limit) { return limit - string::concatenate_literal(*buffer, "event"); }

i32 mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* part, i32 limit, i32) {
    return form(value, buffer, part, limit);
}

// Events are all alike to the equality and sort codes; they have no order.
i32 compare(Cell*, Cell* value2, i32 op) {
    if (cell::type_of(*value2) != type::event) return -2;
    switch (op) {
        case actions::op::lesser:
        case actions::op::lesser_equal:
        case actions::op::greater:
        case actions::op::greater_equal: return -2;
        default: return 0;
    }
}

constexpr ActionTable event_actions = {
    .make = make_, .form = form, .mold = mold, .eval_path = eval_path, .compare = compare, .pick = pick,
};

}  // namespace

// --- Routines ----------------------------------------------------------------------

routine::Machine event_q(const routine::Machine*, i32) {
    const bool r = cell::type_of(stack::arguments[0]) == type::event;
    stack::set_last(logic::make(r));
    return routine::Machine{.integer = r};
}

routine::Machine send_event_os(const routine::Machine*, i32) {
    const Cell* args = stack::arguments;
    const bool r = send_os && send_os(args[0], logic::truth(args[1]));
    stack::set_last(logic::make(r));
    return routine::Machine{.integer = r};
}

routine::Machine find_flag_q(const routine::Machine*, i32) {
    const Cell facet = stack::arguments[0];
    const Cell flag = stack::arguments[1];
    const i32 sym = canonical_of(flag);
    bool r = false;
    if (cell::type_of(facet) == type::word) {
        r = canonical_of(facet) == sym;
    } else if (cell::type_of(facet) == type::block) {
        SeriesBuffer* s = series::buffer_of(facet);
        for (i32 i = cell::head_index(facet) < 0 ? 0 : cell::head_index(facet); i < static_cast<i32>(s->length()) && !r; i++) {
            const Cell& c = s->cells()[i];
            r = (cell::type_of(c) == type::word || cell::type_of(c) == type::lit_word) && canonical_of(c) == sym;
        }
    }
    stack::set_last(logic::make(r));
    return routine::Machine{.integer = r};
}

void init() {
    registry::add(type::event, 0, "event!", event_actions);
    for (i32 i = 0; i < type_count; i++) type_symbols[i] = symbol::make(type_names[i]);
    for (i32 i = 0; i < flag_count; i++) flag_symbols[i] = symbol::make(flag_names[i].name);
}

}  // namespace oru::event
