// port!: making ports, forwarding actions to object actors, read and write
// through open/copy/insert/close, and the text form, with the action table
// at the bottom.
//
// The standard objects come from the live `system` object when it holds
// them (`system/standard/port`, `system/standard/url-parts`,
// `system/schemes`); without them a port gets the standard fields made
// here and no scheme is known. Each forwarded action pushes the port and its
// arguments in the action's own order, a refinement as its logic! flag
// followed by its argument (none when absent), then calls the actor's
// function of the action's name through call_actor.
#include "runtime/datatypes/port.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/registry.h"
#include "runtime/system.h"
#include "runtime/system_object.h"
#include "runtime/words.h"

#include <cstring>
#include <initializer_list>

namespace oru::port {

ActorCall call_actor = nullptr;
DecodeUrl decode_url = nullptr;

namespace {

// The registered native actors' handlers, append (slot 25) to write (62).
constexpr u32 native_slots = action::write - action::append + 1;
ActionEntry native_actors[max_native_actors][native_slots] = {};
i32 native_actor_count = 0;

inline bool object_like(u32 t) { return t == type::object || t == type::error || t == type::port; }

// A field's value by name: none when the object lacks it (a name never
// interned cannot be a field). Never allocates.
Cell field_of(const Cell& obj, const char* name) {
    const i32 sym = symbol::find(name);
    if (!sym) return none::value;
    return *object::rs_select(obj, stack::word(sym));
}

// Stores into the field of that name when the object has it.
// Interning may allocate, so the context is read after it, and from `obj`
// (a data-stack cell, kept up to date by the collector).
void set_named(const Cell& obj, const char* name, const Cell& value) {
    const Cell v = value;
    const i32 sym = symbol::make(name);
    const Node ctx = object::context_of(obj);
    const i32 index = context::find_word(ctx, sym, false);
    if (index >= 0) object::set_field(ctx, index, v);
}

// The value at system/<names...> when every step is an object holding the
// next, else none. Never allocates.
Cell system_value(std::initializer_list<const char*> names) {
    const Cell* v = system_object::select(names);
    return v ? *v : none::value;
}

// Pushes a new object with the named fields, all none: the standard object
// a port is made from when `system` lacks it.
Cell* push_fields(std::initializer_list<const char*> names) {
    Cell* spec = block::push_only(static_cast<i32>(names.size()));
    for (const char* name : names) {
        Cell w = stack::word(symbol::make(name));
        cell::set_type(w, type::set_word);
        block::rs_append(*spec, w);
    }
    Cell* obj = object::construct(none::value, *spec, true);
    *spec = *obj;
    stack::top = spec + 1;
    return spec;
}

// A new object from the standard object at system/standard/<name>, or from
// the named fields when there is none. Pushed.
Cell* push_standard(const char* name, std::initializer_list<const char*> fields) {
    const Cell proto = system_value({"standard", name});
    if (cell::type_of(proto) != type::object) return push_fields(fields);
    Cell* r = stack::push(none::value);
    stack::push(proto);
    object::copy_into(proto, r, true, nullptr, true);
    stack::top = r + 1;
    return r;
}

// The spec object of make: a copy of an object, or an object made from
// `url-parts` and a block.
Cell* push_spec_object(const Cell& spec) {
    if (object_like(cell::type_of(spec))) {
        Cell* r = stack::push(none::value);
        object::copy_into(spec, r, false, nullptr, true);
        cell::set_type(*r, type::object);
        *context::self(object::context_of(*r)) = *r;
        return r;
    }
    const u32 t = cell::type_of(spec);
    if ((t == type::url || t == type::file) && decode_url) {
        Cell* fields = decode_url(spec);
        Cell* r = push_spec_object(*fields);
        *fields = *r;
        stack::top = fields + 1;
        return fields;
    }
    if (t != type::block) fire(ErrorId::access_no_scheme, spec);
    Cell* parts = push_standard("url-parts",
                                {"scheme", "user-info", "host", "port", "path", "target", "query", "fragment", "ref"});
    Cell* held = stack::push(spec);
    Cell* r = actions::make(parts, held);
    *parts = *r;
    stack::top = parts + 1;
    return parts;
}

// The scheme object registered under the word in system/schemes (a block of
// name and scheme pairs), or none.
Cell find_scheme(const Cell& word) {
    const Cell schemes = system_value({"schemes"});
    if (cell::type_of(schemes) != type::block) return none::value;
    return *block::select_word(schemes, word, false);
}

// make port! spec
Cell* make(Cell*, Cell* spec, u32) {
    Cell* const base = stack::top;
    const Cell given = *spec;
    Cell* spec_obj = push_spec_object(given);
    // The scheme word and the actor stay pushed while the port is made and
    // its fields set, which allocates.
    Cell* scheme =
        stack::push(object::get_size(*spec_obj) > 0 ? object::get_values(*spec_obj)[0] : none::value);
    if (cell::type_of(*scheme) != type::word) fire(ErrorId::access_no_scheme, given);

    Cell* port = push_standard("port", {"spec", "scheme", "actor", "awake", "state", "data", "extra"});
    cell::set_type(*port, type::port);
    port->data2 = static_cast<u32>(class_id);
    *context::self(object::context_of(*port)) = *port;
    set_named(*port, "spec", *spec_obj);
    set_named(*port, "scheme", *scheme);

    const Cell found = find_scheme(*scheme);
    if (cell::type_of(found) != type::object) fire(ErrorId::access_unknown_scheme, given);
    Cell* actor = stack::push(field_of(found, "actor"));
    if (cell::type_of(*actor) != type::object && cell::type_of(*actor) != type::handle)
        fire(ErrorId::access_invalid_actor);
    set_named(*port, "actor", *actor);

    const Cell result = *port;
    stack::top = base;
    return stack::push(result);
}

// ---------------------------------------------------------------------------
// Forwarding

// The spelling of each action, by slot. ORDER ACTIONS.
constexpr const char* action_names[] = {
#define ORU_ACTION_NAME(n, member, spelling, fn) spelling,
    ORU_ACTIONS(ORU_ACTION_NAME)
#undef ORU_ACTION_NAME
};
static_assert(sizeof action_names / sizeof action_names[0] == action::count);

inline Cell flag(bool on) { return logic::make(on); }
inline Cell arg_or_none(const Cell* c) { return c ? *c : none::value; }

// Calls the actor's function for the action in `slot` with the port and the
// arguments; pushes its result and returns that cell.
Cell* forward(u32 slot, const Cell& port_value, std::initializer_list<Cell> args) {
    const Cell port = port_value;
    if (cell::type_of(actor_of(port)) != type::object) fire(ErrorId::access_invalid_port);
    Cell* const base = stack::top;
    Cell* slots = stack::push(port);
    for (const Cell& a : args) stack::push(a);
    const i32 count = static_cast<i32>(args.size()) + 1;
    // Interning may allocate: the actor is read after it, from the pushed port.
    const Cell name = stack::word(symbol::make(action_names[slot - 1]));
    const Cell fn = *object::rs_select(actor_of(*slots), name);
    if (cell::type_of(fn) != type::function) fire(ErrorId::access_no_port_action);
    if (!call_actor) fire(ErrorId::internal_not_done);
    const Cell result = call_actor(fn, name, slots, count);
    stack::top = base;
    return stack::push(result);
}

// Stack convention: the port and `n` arguments at stack::arguments; the
// result replaces the port.
template <u32 Slot, int N>
void on_stack() {
    Cell* args = stack::arguments;
    if constexpr (N == 0) args[0] = *forward(Slot, args[0], {});
    else args[0] = *forward(Slot, args[0], {args[1]});
}

void insertion(Cell* series, Cell* value, i32 part, bool only, i32 dup, bool append) {
    const bool parted = part >= 0, duped = dup > 1;
    *series = *forward(append ? action::append : action::insert, *series,
                       {*value, flag(parted), parted ? cell::integer(part) : none::value, flag(only), flag(duped),
                        duped ? cell::integer(dup) : none::value});
}

void change(Cell* series, Cell* value, Cell* part, bool only, i32 dup) {
    const bool duped = dup > 1;
    *series = *forward(action::change, *series,
                       {*value, flag(part), arg_or_none(part), flag(only), flag(duped),
                        duped ? cell::integer(dup) : none::value});
}

void clear(Cell* series) { *series = *forward(action::clear, *series, {}); }

Cell* copy(Cell* value, Cell* result, Cell* part, bool deep, Cell* types) {
    Cell* r = forward(action::copy, *value, {flag(part), arg_or_none(part), flag(deep), flag(types), arg_or_none(types)});
    if (!result) return r;
    *result = *r;
    return result;
}

Cell* find(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with, Cell* skip,
           bool last, bool reverse, bool tail, bool match) {
    return forward(action::find, *series,
                   {*value, flag(part), arg_or_none(part), flag(only), flag(case_), flag(same), flag(any), flag(with),
                    arg_or_none(with), flag(skip), arg_or_none(skip), flag(last), flag(reverse), flag(tail),
                    flag(match)});
}

// The actor's integer answers; none is no length. Anything else is refused
// rather than read as an integer's payload.
i32 length_q(Cell* value) {
    const Cell r = *forward(action::length_q, *value, {});
    if (cell::type_of(r) == type::none) return -1;
    if (cell::type_of(r) != type::integer)
        fire(ErrorId::script_expect_val, datatype::make(type::integer), datatype::make(cell::type_of(r)));
    return static_cast<i32>(r.data2);
}

Cell* move(Cell* origin, Cell* target, Cell* part) {
    return forward(action::move, *origin, {*target, flag(part), arg_or_none(part)});
}

Cell* pick(Cell* series, i32 index, Cell* index_cell) {
    return forward(action::pick, *series, {index_cell ? *index_cell : cell::integer(index)});
}

Cell* poke(Cell* series, i32 index, Cell* value, Cell* index_cell) {
    return forward(action::poke, *series, {index_cell ? *index_cell : cell::integer(index), *value});
}

Cell* put(Cell* series, Cell* key, Cell* value, bool case_) {
    return forward(action::put, *series, {*key, *value, flag(case_)});
}

void remove(Cell* series, Cell* part, Cell*) {
    *series = *forward(action::remove, *series, {flag(part), arg_or_none(part)});
}

void reverse(Cell* series, Cell* part, Cell*) {
    *series = *forward(action::reverse, *series, {flag(part), arg_or_none(part)});
}

Cell* select(Cell* series, Cell* value, Cell* part, bool only, bool case_, bool same, bool any, Cell* with,
             Cell* skip, bool last, bool reverse) {
    return forward(action::select, *series,
                   {*value, flag(part), arg_or_none(part), flag(only), flag(case_), flag(same), flag(any), flag(with),
                    arg_or_none(with), flag(skip), arg_or_none(skip), flag(last), flag(reverse)});
}

Cell* sort(Cell* series, bool case_, Cell* skip, Cell* compare, Cell* part, bool all, bool reverse, bool stable) {
    return forward(action::sort, *series,
                   {flag(case_), flag(skip), arg_or_none(skip), flag(compare), arg_or_none(compare), flag(part),
                    arg_or_none(part), flag(all), flag(reverse), flag(stable)});
}

void swap(Cell* series1, Cell* series2) { *series1 = *forward(action::swap, *series1, {*series2}); }

Cell* take(Cell* series, Cell* part, bool deep, bool last) {
    return forward(action::take, *series, {flag(part), arg_or_none(part), flag(deep), flag(last)});
}

void trim(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
    *series = *forward(action::trim, *series,
                       {flag(head), flag(tail), flag(auto_), flag(lines), flag(all), flag(with), arg_or_none(with)});
}

Cell* create(Cell* port) { return forward(action::create, *port, {}); }
Cell* close(Cell* port) { return forward(action::close, *port, {}); }
Cell* delete_(Cell* port) { return forward(action::delete_, *port, {}); }
Cell* query(Cell* port) { return forward(action::query, *port, {}); }
Cell* update(Cell* port) { return forward(action::update, *port, {}); }

Cell* modify(Cell* target, Cell* field, Cell* value, bool case_) {
    return forward(action::modify, *target, {*field, *value, flag(case_)});
}

Cell* open(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow) {
    return forward(action::open, *port, {flag(new_), flag(read), flag(write), flag(seek), flag(allow), arg_or_none(allow)});
}

Cell* rename(Cell* from, Cell* to) { return forward(action::rename, *from, {*to}); }

// Runs body (which pushes its answer and returns it) with the port open;
// closes the port afterwards. When body raises an error the port is closed
// before the error goes on, so that a failed copy or insert leaves no port
// open behind it. Returns the answer, pushed.
template <class Body>
Cell* while_open(const Cell& port_value, const Cell& name, Body body) {
    Cell* const base = stack::top;
    Cell* port = stack::push(port_value);
    Cell* answer = stack::push(none::value);
    CallFrame* const frame = stack::frame_top;
    Cell* const arguments = stack::arguments;
    Cell* const guarded = stack::top;
    stack::mark_try(name);  // errors of the body stop here first
    try {
        const Cell r = *body(*port);
        *answer = r;
        stack::frame_top = frame;
        stack::arguments = arguments;
    } catch (const SystemThrow& t) {
        if (t.code != throw_code::error) throw;
        // The unwinding closed the try frame and pushed the error above it.
        const Cell error = *stack::last_pushed();
        runtime.pending_code = 0;
        stack::frame_top = frame;
        stack::arguments = arguments;
        stack::top = guarded;
        Cell* held = stack::push(error);
        close(port);
        raise_value(*held);
    }
    stack::top = guarded;
    close(port);
    const Cell r = *answer;
    stack::top = base;
    return stack::push(r);
}

// read: open (/seek passed on), copy (/part passed on), close.
Cell* read(Cell* source, Cell* part, Cell* seek, bool, bool, Cell*, Cell*) {
    Cell* p = stack::push(*source);
    Cell* held_part = stack::push(arg_or_none(part));
    const bool parted = part != nullptr;
    open(p, false, false, false, seek != nullptr, nullptr);
    return while_open(*p, words::word::read, [&](const Cell& port) {
        Cell* c = stack::push(port);
        return copy(c, nullptr, parted ? held_part : nullptr, false, nullptr);
    });
}

// write: open with /write (and /seek), insert (an integer /part passed on),
// copy, close.
Cell* write(Cell* destination, Cell* data, bool, bool, Cell*, bool, Cell* part, Cell* seek, Cell*, Cell*) {
    Cell* p = stack::push(*destination);
    Cell* held_data = stack::push(*data);
    const i32 count = part && cell::type_of(*part) == type::integer ? static_cast<i32>(part->data2) : -1;
    open(p, false, false, true, seek != nullptr, nullptr);
    return while_open(*p, words::word::write, [&](const Cell& port) {
        Cell* c = stack::push(port);
        insertion(c, held_data, count, false, 1, false);
        Cell* again = stack::push(port);
        return copy(again, nullptr, nullptr, false, nullptr);
    });
}

// ---------------------------------------------------------------------------
// Text

// "make port! [" the fields, one per line a level deeper, "]".
i32 mold(Cell* value, Cell* buffer, bool, bool all, bool flat, Cell* part, i32 limit, i32 indent) {
    i32 budget = limit;
    if (cycles::mold_marker(*value, *buffer, budget, true)) return budget;
    budget -= string::concatenate_literal(*buffer, "make port! [");
    budget = object::serialize(*value, buffer, false, all, flat, part, budget, true, indent + 1, true);
    budget -= string::concatenate_literal(*buffer, "]");
    return budget;
}

i32 form(Cell* value, Cell* buffer, Cell* part, i32 limit) {
    return mold(value, buffer, false, false, false, part, limit, 0);
}

constexpr ActionTable port_actions = {
    .make = make, .reflect = inherit, .form = form, .mold = mold, .eval_path = inherit, .compare = inherit,
    .append = insertion, .at = on_stack<action::at, 1>, .back = on_stack<action::back, 0>, .change = change,
    .clear = clear, .copy = copy, .find = find, .head = on_stack<action::head, 0>,
    .head_q = on_stack<action::head_q, 0>, .index_q = on_stack<action::index_q, 0>, .insert = insertion,
    .length_q = length_q, .move = move, .next = on_stack<action::next, 0>, .pick = pick, .poke = poke, .put = put,
    .remove = remove, .reverse = reverse, .select = select, .sort = sort, .skip = on_stack<action::skip, 1>,
    .swap = swap, .tail = on_stack<action::tail, 0>, .tail_q = on_stack<action::tail_q, 0>, .take = take,
    .trim = trim, .create = create, .close = close, .delete_ = delete_, .modify = modify, .open = open,
    .query = query, .read = read, .rename = rename, .update = update, .write = write,
};

}  // namespace

Cell actor_of(const Cell& port) { return field_of(port, "actor"); }

Cell add_native_actor(const ActionTable& table) {
    if (native_actor_count == max_native_actors) fire(ErrorId::internal_no_memory);
    ActionEntry* row = native_actors[native_actor_count];
#define ORU_NATIVE_ENTRY(n, member, spelling, F) \
    if constexpr (n >= action::append && n != action::open_q) row[n - action::append] = reinterpret_cast<ActionEntry>(table.member.fn);
    ORU_ACTIONS(ORU_NATIVE_ENTRY)
#undef ORU_NATIVE_ENTRY
    // Class 0, the index as the handle value, no resource slot.
    return cell::make(type::handle, 0, static_cast<u32>(native_actor_count++), static_cast<u32>(-1));
}

const ActionEntry* native_actor(const Cell& handle) {
    if (cell::type_of(handle) != type::handle || handle.data1 != 0 || static_cast<i32>(handle.data3) >= 0) return nullptr;
    const u32 index = handle.data2;
    return index < static_cast<u32>(native_actor_count) ? native_actors[index] : nullptr;
}

void add_scheme(const char* name, const char* title, const Cell& actor) {
    Cell* const base = stack::top;
    Cell* held = stack::push(actor);
    if (cell::type_of(system_value({"schemes"})) != type::block ||
        cell::type_of(system_value({"standard", "scheme"})) != type::object)
        fire(ErrorId::internal_not_done);
    Cell* scheme = push_standard("scheme", {});
    Cell* word = stack::push(stack::word(symbol::make(name)));
    set_named(*scheme, "name", *word);
    if (title) {
        Cell* text = string::load(reinterpret_cast<const u8*>(title), static_cast<i32>(std::strlen(title)),
                                  string::encoding::utf8);
        set_named(*scheme, "title", *text);
    }
    set_named(*scheme, "actor", *held);
    // Pushed in reverse: each goes in at the head, so the name comes first.
    Cell schemes = system_value({"schemes"});
    block::insert_value(schemes, *scheme, false, true);
    schemes = system_value({"schemes"});
    block::insert_value(schemes, *word, false, true);
    stack::top = base;
}

Cell* make_port(const Cell& spec) {
    Cell* held = stack::push(spec);
    const Cell r = *make(nullptr, held, type::port);
    *held = r;
    stack::top = held + 1;
    return held;
}

void init() {
    registry::add(type::port, type::object, "port!", port_actions);
    actions::native_actors = native_actor;
}

}  // namespace oru::port
