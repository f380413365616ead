// object!: making from spec blocks and prototypes (class ids, deep copies of
// series, methods given to the new object), copy, comparison, form and mold
// (nesting, cycle markers, the handler fields), reflection, path access and
// put/select, the change handlers (on-change* and on-deep-change* with their
// arguments, the record and its locals counts), set on objects, construct and
// the makers of compiled code.
//
// Most tests put two stand-ins in the evaluator's place, so they can see
// exactly what a handler is given: the spec evaluator stores each set-word's
// following value as it stands, through the word (so stores run the change
// handler like the evaluator's set-words), and the handler caller records
// the arguments it finds on the stack instead of running the handler's body.
// The last test runs with the evaluator's own hooks.
#include "runtime/datatypes/object.h"

#include "codecs/lexer.h"
#include "interpreter/actions.h"
#include "interpreter/evaluator.h"
#include "interpreter/stack.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "runtime/words.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using namespace oru;

namespace {

// --- Stand-ins for the evaluator ----------------------------------------------

// Each set-word (bound by make) takes the next value that is not a set-word,
// stored through context::set, change handlers on.
void evaluate_literally(const Cell& body) {
    const Node n = cell::node(body);
    std::vector<i32> pending;
    for (i32 i = cell::head_index(body); i < static_cast<i32>(memory::buffer(n)->length()); i++) {
        const Cell c = memory::buffer(n)->cells()[i];
        if (cell::type_of(c) == type::set_word) {
            pending.push_back(i);
            continue;
        }
        for (i32 k : pending) {
            Cell w = memory::buffer(n)->cells()[k];
            context::set(w, c);
        }
        pending.clear();
    }
}

// One handler call as the stand-in caller saw it.
struct Call {
    i32 frame_symbol;         // the name of the frame opened for it
    Node fn_ctx;              // the context recorded in that frame
    std::vector<Cell> args;   // everything from stack::arguments to the top
    Cell field_value;         // the value the first argument (a word) had during the call
};
std::vector<Call> calls;

void record_call(const Cell& fn) {
    Call c;
    const CallFrame* f = stack::top_frame();
    c.frame_symbol = f ? stack::symbol_of(*f) : 0;
    c.fn_ctx = f ? f->fn_ctx : 0;
    for (Cell* p = stack::arguments; p < stack::top; p++) c.args.push_back(*p);
    c.field_value = unset::value;
    const Cell first = *stack::arguments;
    if (cell::type_of(first) >= type::word && cell::type_of(first) <= type::get_word && word::index_of(first) >= 0)
        c.field_value = *context::get(first);
    EXPECT_EQ(cell::type_of(fn), type::function);
    calls.push_back(c);
}

// string! until its module registers: series! copy, a quoted mold.
std::string text_of(const Cell& str) {
    SeriesBuffer* s = memory::buffer(cell::node(str));
    std::string out;
    for (u32 i = static_cast<u32>(cell::head_index(str)); i < s->length(); i++)
        out.push_back(static_cast<char>(string::get_char(s->data() + s->head + i * s->unit(), s->unit())));
    return out;
}
i32 string_mold(Cell* v, Cell* buffer, bool, bool, bool, Cell*, i32 limit, i32) {
    const std::string t = "\"" + text_of(*v) + "\"";
    return limit - string::concatenate_literal(*buffer, t.c_str());
}
i32 string_form(Cell* v, Cell* buffer, Cell*, i32 limit) {
    return limit - string::concatenate_literal(*buffer, text_of(*v).c_str());
}

class Objects : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();
        object::init();
        if (!registry::entry(type::string, action::mold))
            registry::add(type::string, type::series, "string!",
                          ActionTable{.form = string_form, .mold = string_mold, .copy = inherit});
        object::set_spec_evaluator(evaluate_literally);
        object::set_handler_caller(record_call);
        calls.clear();
        cycles::reset();
    }
    void TearDown() override {
        object::set_spec_evaluator(nullptr);
        object::set_handler_caller(nullptr);
        series::reset_ownership();
        cycles::reset();
        runtime_shutdown();
    }

    // --- Values -----------------------------------------------------------------

    static i32 sym(const char* s) { return symbol::make(s); }
    static i32 symbol_of_word(const Cell& word) { return static_cast<i32>(word.data2); }
    static Cell w(const char* s, u32 t = type::word) { return cell::make(t, 0, static_cast<u32>(sym(s)), 0xFFFFFFFF); }
    static Cell sw(const char* s) { return w(s, type::set_word); }
    static Cell i(i32 v) { return cell::integer(v); }
    // A block on the data stack (so it stays reachable), returned by value.
    static Cell blk(std::initializer_list<Cell> cells, u32 t = type::block) {
        Node n = memory::alloc_cells(static_cast<i32>(cells.size()) + 1);
        for (const Cell& c : cells) *memory::alloc_tail(n) = c;
        return *stack::push(cell::make(t, 0, n, 0));
    }
    static Cell str(const char* s) {
        Cell* c = stack::push(none::value);
        string::make_at(*c, 8);
        string::concatenate_literal(*c, s);
        return *c;
    }
    static Cell* cells(const Cell& b) { return memory::buffer(cell::node(b))->cells(); }
    static i32 length(const Cell& b) { return static_cast<i32>(memory::buffer(cell::node(b))->length()); }

    // make object! spec / make proto spec, the result kept on the stack.
    static Cell make(const Cell& spec) { return make_from(datatype::make(type::object), spec); }
    static Cell make_from(const Cell& proto, const Cell& spec) {
        Cell* p = stack::push(proto);
        Cell* s = stack::push(spec);
        return *actions::make(p, s);
    }
    // An object whose fields are filled directly, as compiled code does.
    static Cell filled(std::initializer_list<std::pair<const char*, Cell>> fields) {
        const Node ctx = context::create(static_cast<i32>(fields.size()), false, true, 0, context::kind::object);
        Cell* holder = stack::push(cell::make(type::word, ctx, 0, 0xFFFFFFFF));
        for (const auto& [name, v] : fields) context::set_or_add(ctx, w(name), v);
        *holder = *object::make_at(ctx, object::new_class_id());
        return *holder;
    }
    static Cell field(const Cell& obj, const char* name) { return *object::rs_select(obj, w(name)); }
    static Cell* slot(const Cell& obj, const char* name) {
        const i32 k = object::find_word(obj, w(name));
        return k < 0 ? nullptr : object::field_value(obj.data1, k);
    }

    // A function! of the spec's words; its body is never run here.
    static Cell fn(std::initializer_list<Cell> spec, std::initializer_list<Cell> body = {}) {
        Cell s = blk(spec);
        Cell b = blk(body);
        function::push(s, b, 0, 0, 0, 0);
        return *stack::last_pushed();
    }
    static Cell handler() { return fn({w("word"), w("old"), w("new")}); }

    // --- Text -------------------------------------------------------------------

    static std::string mold(const Cell& v, bool only = false, bool all = false, bool flat = false,
                            i32 limit = 0x7FFFFFFF) {
        Cell* top = stack::top;
        Cell* buffer = stack::push();
        string::make_at(*buffer, 16);
        actions::mold(stack::push(v), buffer, only, all, flat, nullptr, limit, 0);
        std::string out = text_of(*buffer);
        stack::top = top;
        return out;
    }
    static std::string form(const Cell& v) {
        Cell* top = stack::top;
        Cell* buffer = stack::push();
        string::make_at(*buffer, 16);
        actions::form(stack::push(v), buffer, nullptr, 0x7FFFFFFF);
        std::string out = text_of(*buffer);
        stack::top = top;
        return out;
    }

    // --- Errors -----------------------------------------------------------------

    template <class F>
    static std::optional<ErrorId> error_of(F&& body) {
        pending_error = {};
        Cell* base = stack::top;
        stack::mark_try(cell::make(type::word, 0, static_cast<u32>(sym("try")), 0xFFFFFFFF));
        u32 code = catch_level(throw_code::error, [&] { body(); });
        std::optional<ErrorId> id;
        if (code == throw_code::error) id = pending_error.id;
        else stack::unroll();
        stack::frame_top = stack::frame_bottom;
        stack::arguments = stack::top = base;
        cycles::reset();
        return id;
    }

    // Path access: parent/element, reading (value null) or writing.
    static Cell path_step(const Cell& obj, const Cell& element, const Cell* value, bool get, bool tail) {
        Cell* o = stack::push(obj);
        Cell* e = stack::push(element);
        Cell* v = value ? stack::push(*value) : nullptr;
        Cell* p = stack::push(blk({element}, type::path));
        return *actions::eval_path(o, e, v, p, nullptr, nullptr, 1, false, get, tail, false);
    }
};

// ---------------------------------------------------------------------------
// Making

TEST_F(Objects, MakeFromSpecBlock) {
    const Cell spec = blk({sw("a"), i(1), sw("b"), sw("c"), blk({w("x")}), sw("d")});
    cells(spec)[1].header |= flag::new_line;
    const Cell o = make(spec);
    EXPECT_EQ(cell::type_of(o), type::object);
    EXPECT_EQ(object::class_of(o), object::class_id_base + 1);
    EXPECT_EQ(object::get_size(o), 4);
    EXPECT_EQ(field(o, "a").data2, 1u);
    EXPECT_EQ(cell::type_of(field(o, "b")), type::block);
    EXPECT_EQ(cell::node(field(o, "b")), cell::node(field(o, "c")));  // b: c: share the value
    EXPECT_EQ(cell::type_of(field(o, "d")), type::unset);              // never given a value
    EXPECT_EQ(object::record_of(o), 0u);
    // The spec's set-words are bound to the object, which sits in its self cell.
    EXPECT_EQ(cells(spec)[0].data1, o.data1);
    EXPECT_EQ(context::self(o.data1)->data2, o.data2);
    // Evaluation marks; make clears the assigned flags and the new-line markers.
    for (i32 k = 0; k < 4; k++) EXPECT_EQ(object::get_field(o.data1, k)->header & context::assigned, 0u);
    EXPECT_EQ(object::get_values(o)[0].header & flag::new_line, 0u);

    // Every make from a block without a prototype takes a new class id.
    const Cell again = make(blk({sw("a"), i(1)}));
    EXPECT_EQ(object::class_of(again), object::class_id_base + 2);
    EXPECT_NE(again.data1, o.data1);

    EXPECT_EQ(error_of([] { make(i(5)); }), ErrorId::syntax_malconstruct);
    object::set_spec_evaluator(nullptr);
    const Cell untouched = blk({sw("zz"), i(1)});
    EXPECT_EQ(error_of([&] { make(untouched); }), ErrorId::internal_not_done);
    EXPECT_EQ(cells(untouched)[0].data1, 0u);  // refused before binding anything
}

TEST_F(Objects, MakeFromPrototypeCopiesSeriesDeeply) {
    const Cell inner = blk({i(2)});
    const Cell parent = make(blk({sw("a"), blk({i(1), inner}), sw("s"), str("text"), sw("n"), i(7)}));
    const i32 pclass = object::class_of(parent);

    // No new field: the prototype's class id.
    const Cell same = make_from(parent, blk({sw("n"), i(8)}));
    EXPECT_EQ(object::class_of(same), pclass);
    EXPECT_EQ(field(same, "n").data2, 8u);
    EXPECT_EQ(field(parent, "n").data2, 7u);

    // A new field: a new class id.
    const Cell child = make_from(parent, blk({sw("c"), i(3)}));
    EXPECT_NE(object::class_of(child), pclass);
    EXPECT_EQ(object::get_size(child), 4);
    EXPECT_EQ(field(child, "n").data2, 7u);

    // The child's series are its own, down to nested blocks.
    const Cell pa = field(parent, "a"), ca = field(child, "a");
    EXPECT_NE(cell::node(pa), cell::node(ca));
    EXPECT_NE(cell::node(cells(pa)[1]), cell::node(cells(ca)[1]));
    EXPECT_NE(cell::node(field(parent, "s")), cell::node(field(child, "s")));
    EXPECT_EQ(text_of(field(child, "s")), "text");
    cells(ca)[0] = i(99);
    EXPECT_EQ(cells(pa)[0].data2, 1u);

    // An object spec: its fields are stored and copied; the id is new only
    // when the context grew.
    const Cell extra = make(blk({sw("n"), i(9), sw("b"), blk({i(5)})}));
    const Cell merged = make_from(parent, extra);
    EXPECT_NE(object::class_of(merged), pclass);
    EXPECT_EQ(field(merged, "n").data2, 9u);
    EXPECT_NE(cell::node(field(merged, "b")), cell::node(field(extra, "b")));
    const Cell only_n = make(blk({sw("n"), i(10)}));
    EXPECT_EQ(object::class_of(make_from(parent, only_n)), pclass);
}

TEST_F(Objects, MethodsAreGivenToTheNewObject) {
    // f: func [] [a]: its body word a is bound to the prototype.
    const Cell body = blk({w("a")});
    const Cell proto = make(blk({sw("a"), i(1), sw("f"), i(0)}));
    context::bind(body, proto.data1, true);
    Cell spec = blk({});
    function::push(spec, body, 0, 0, 0, 0);
    *slot(proto, "f") = *stack::last_pushed();
    const Cell pf = field(proto, "f");

    const Cell child = make_from(proto, blk({sw("b"), i(2)}));
    const Cell cf = field(child, "f");
    EXPECT_EQ(cell::type_of(cf), type::function);
    EXPECT_NE(function::extra_of(cf), function::extra_of(pf));
    EXPECT_NE(function::context_of(cf), function::context_of(pf));
    const Cell cbody = *function::extra_cell(cf, function::extra::body);
    EXPECT_EQ(cells(cbody)[0].data1, child.data1);
    EXPECT_EQ(cells(*function::extra_cell(pf, function::extra::body))[0].data1, proto.data1);
    EXPECT_EQ(function::extra_cell(cf, function::extra::owner)->data2, child.data1);

    // A function without a body cannot be given to another object.
    function::push(blk({}), none::value, 0, 0, 0, 0);
    *slot(proto, "f") = *stack::last_pushed();
    EXPECT_EQ(error_of([&] { make_from(proto, blk({})); }), ErrorId::script_bad_func_def);
}

// ---------------------------------------------------------------------------
// Copy and compare

TEST_F(Objects, Copy) {
    const Cell o = make(blk({sw("b"), blk({blk({i(1)})}), sw("s"), str("x"), sw("n"), i(1)}));
    auto copy = [&](bool deep, const Cell* types) {
        Cell* v = stack::push(o);
        Cell* r = stack::push(none::value);
        Cell* t = types ? stack::push(*types) : nullptr;
        return *actions::copy(v, r, nullptr, deep, t);
    };
    const Cell shallow = copy(false, nullptr);
    EXPECT_NE(shallow.data1, o.data1);
    EXPECT_EQ(object::class_of(shallow), object::class_of(o));
    EXPECT_EQ(cell::node(field(shallow, "b")), cell::node(field(o, "b")));
    // Fields are independent even when the values are shared.
    *slot(shallow, "n") = i(5);
    EXPECT_EQ(field(o, "n").data2, 1u);

    const Cell deep = copy(true, nullptr);
    EXPECT_NE(cell::node(field(deep, "b")), cell::node(field(o, "b")));
    EXPECT_NE(cell::node(cells(field(deep, "b"))[0]), cell::node(cells(field(o, "b"))[0]));
    EXPECT_NE(cell::node(field(deep, "s")), cell::node(field(o, "s")));

    // Typed: only string! values are copied.
    const Cell strings = datatype::make(type::string);
    const Cell typed = copy(false, &strings);
    EXPECT_NE(cell::node(field(typed, "s")), cell::node(field(o, "s")));
    EXPECT_EQ(cell::node(field(typed, "b")), cell::node(field(o, "b")));

    EXPECT_EQ(error_of([&] {
                  Cell* v = stack::push(o);
                  Cell* r = stack::push(none::value);
                  Cell* part = stack::push(i(1));
                  actions::copy(v, r, part, false, nullptr);
              }),
              ErrorId::script_invalid_refine_arg);
}

TEST_F(Objects, DeepTypedCopyOfACycleIsRefused) {
    const Cell o = make(blk({sw("me"), none::value}));
    *slot(o, "me") = o;
    const Cell objects = datatype::make(type::object);
    // One level: the nested object is copied, its own field still the original.
    {
        Cell* v = stack::push(o);
        Cell* r = stack::push(none::value);
        Cell* t = stack::push(objects);
        const Cell c = *actions::copy(v, r, nullptr, false, t);
        EXPECT_NE(field(c, "me").data1, o.data1);
        EXPECT_EQ(field(field(c, "me"), "me").data1, o.data1);
    }
    EXPECT_EQ(error_of([&] {
                  Cell* v = stack::push(o);
                  Cell* r = stack::push(none::value);
                  Cell* t = stack::push(objects);
                  actions::copy(v, r, nullptr, true, t);
              }),
              ErrorId::internal_no_cycle);
    EXPECT_EQ(cycles::depth(), 0);
}

TEST_F(Objects, Compare) {
    auto cmp = [](const Cell& a, const Cell& b, i32 op = actions::op::equal) {
        Cell* x = stack::push(a);
        Cell* y = stack::push(b);
        return actions::compare_raw(x, y, op);
    };
    const Cell a = make(blk({sw("x"), i(1), sw("y"), w("q")}));
    const Cell a2 = make(blk({sw("x"), i(1), sw("y"), w("Q")}));
    const Cell bigger = make(blk({sw("x"), i(2), sw("y"), w("q")}));
    const Cell text = make(blk({sw("x"), str("1"), sw("y"), w("q")}));
    // Objects of compiled code compare alike.
    const Cell three = filled({{"x", i(1)}, {"y", w("q")}, {"z", i(0)}});
    // Same fields in another order: the first differing canonical word id decides.
    const Cell swapped = filled({{"y", w("q")}, {"x", i(1)}});

    EXPECT_EQ(cmp(a, a), 0);
    EXPECT_EQ(cmp(a, a, actions::op::same), 0);   // same?: the same context
    EXPECT_EQ(cmp(a, a2, actions::op::same), -1);
    // Only same? stops at different contexts; the other codes walk the fields.
    const Cell twin = make(blk({sw("x"), i(1), sw("y"), w("q")}));
    EXPECT_EQ(cmp(a, twin, actions::op::same), -1);
    EXPECT_EQ(cmp(a, twin, actions::op::find), 0);
    EXPECT_EQ(cmp(a, a2), 0);                       // words compare ignoring case
    EXPECT_EQ(cmp(a, bigger, actions::op::lesser), -1);
    EXPECT_EQ(cmp(bigger, a, actions::op::lesser), 1);
    EXPECT_EQ(cmp(a, text), type::integer < type::string ? -1 : 1);  // by type number
    EXPECT_EQ(cmp(three, a), 1);
    EXPECT_EQ(cmp(a, three), -1);
    const i32 x = symbol::canonical(sym("x")), y = symbol::canonical(sym("y"));
    EXPECT_EQ(cmp(a, swapped), x < y ? -1 : 1);
    EXPECT_EQ(cmp(a, i(1)), -2);
    EXPECT_TRUE(actions::compare(stack::push(a), stack::push(a2), actions::op::equal));

    // Objects that contain themselves compare without looping.
    const Cell s1 = make(blk({sw("me"), none::value}));
    const Cell s2 = make(blk({sw("me"), none::value}));
    *slot(s1, "me") = s1;
    *slot(s2, "me") = s2;
    EXPECT_EQ(cmp(s1, s2), 0);
    EXPECT_EQ(cycles::depth(), 0);
}

// ---------------------------------------------------------------------------
// Form and mold

TEST_F(Objects, MoldAndForm) {
    const Cell empty = make(blk({}));
    EXPECT_EQ(mold(empty), "make object! []");
    EXPECT_EQ(form(empty), "");

    const Cell inner = make(blk({sw("c"), i(2)}));
    const Cell o = make(blk({sw("a"), i(1), sw("w"), w("b"), sw("in"), inner}));
    EXPECT_EQ(mold(o),
              "make object! [\n"
              "    a: 1\n"
              "    w: 'b\n"
              "    in: make object! [\n"
              "        c: 2\n"
              "    ]\n"
              "]");
    EXPECT_EQ(mold(o, true), "a: 1\nw: 'b\nin: make object! [\n    c: 2\n]");
    EXPECT_EQ(mold(o, false, false, true), "make object! [a: 1 w: 'b in: make object! [c: 2]]");
    EXPECT_EQ(form(o), "a: 1\nw: 'b\nin: make object! [\n    c: 2\n]");

    // A field referring to its own object writes the cycle marker.
    const Cell self_ref = make(blk({sw("a"), i(1), sw("me"), none::value}));
    *slot(self_ref, "me") = self_ref;
    EXPECT_EQ(mold(self_ref), "make object! [\n    a: 1\n    me: make object! [...]\n]");
    EXPECT_EQ(form(self_ref), "a: 1\nme: make object! [...]");  // field values are molded
    EXPECT_EQ(cycles::depth(), 0);

    // The handler fields show only with /all; a type-0 cell molds as unset.
    const Cell h = make(blk({sw("on-change*"), handler(), sw("v"), i(3)}));
    EXPECT_EQ(mold(h), "make object! [\n    v: 3\n]");
    EXPECT_EQ(mold(h, false, true).find("on-change*: "), 19u);
    object::get_values(h)[1] = cell::make(0);
    EXPECT_EQ(mold(h), "make object! [\n    v: unset\n]");

    // The budget: writing stops once it is spent.
    const Cell many = make(blk({sw("a"), i(1), sw("b"), i(2), sw("c"), i(3)}));
    EXPECT_EQ(mold(many, false, false, true, 17), "make object! [a: 1]");
}

// ---------------------------------------------------------------------------
// Reflection

TEST_F(Objects, Reflect) {
    const Cell o = make(blk({sw("a"), i(1), sw("w"), w("k"), sw("p"), blk({w("x"), w("y")}, type::path)}));
    auto reflect = [&](const char* name) {
        Cell* v = stack::push(o);
        actions::reflect(v, static_cast<u32>(sym(name)));
        return *v;
    };
    const Cell words = reflect("words");
    ASSERT_EQ(length(words), 3);
    EXPECT_EQ(cell::type_of(cells(words)[0]), type::word);
    EXPECT_EQ(cells(words)[1].data2, static_cast<u32>(sym("w")));
    EXPECT_EQ(cells(words)[2].data1, o.data1);  // bound to the object
    EXPECT_EQ(cells(words)[2].data3, 2u);

    const Cell values = reflect("values");
    ASSERT_EQ(length(values), 3);
    EXPECT_EQ(cells(values)[0].data2, 1u);
    EXPECT_EQ(cell::type_of(cells(values)[1]), type::word);

    const Cell body = reflect("body");
    ASSERT_EQ(length(body), 6);
    EXPECT_EQ(cell::type_of(cells(body)[0]), type::set_word);
    EXPECT_NE(cells(body)[2].header & flag::new_line, 0u);
    EXPECT_EQ(cell::type_of(cells(body)[3]), type::lit_word);
    EXPECT_EQ(cell::type_of(cells(body)[5]), type::lit_path);

    EXPECT_EQ(reflect("class").data2, static_cast<u32>(object::class_of(o)));
    EXPECT_EQ(reflect("CLASS").data2, static_cast<u32>(object::class_of(o)));  // names ignore case
    EXPECT_FALSE(logic::get(reflect("owner")));
    EXPECT_FALSE(logic::get(reflect("events?")));
    EXPECT_EQ(length(reflect("changed")), 0);

    // A store through a path flags the field for `changed`.
    path_step(o, w("w"), &none::value, false, true);
    const Cell changed = reflect("changed");
    ASSERT_EQ(length(changed), 1);
    EXPECT_EQ(cells(changed)[0].data2, static_cast<u32>(sym("w")));
    // modify 'changed none clears the flags; any other value is refused.
    Cell* t = stack::push(o);
    Cell* f = stack::push(words::word::changed);
    Cell* nv = stack::push(none::value);
    actions::modify(t, f, nv, false);
    EXPECT_EQ(length(reflect("changed")), 0);
    EXPECT_EQ(error_of([&] {
                  actions::modify(stack::push(o), stack::push(words::word::changed), stack::push(i(1)), false);
              }),
              ErrorId::script_invalid_arg);

    const Cell with_handler = make(blk({sw("on-change*"), handler()}));
    Cell* v = stack::push(with_handler);
    actions::reflect(v, static_cast<u32>(words::sym::events_q));
    EXPECT_TRUE(logic::get(*v));

    EXPECT_EQ(error_of([&] { reflect("spec"); }), ErrorId::internal_not_done);
}

// ---------------------------------------------------------------------------
// Paths, put and select

TEST_F(Objects, PathAccess) {
    const Cell o = make(blk({sw("a"), i(1), sw("u"), unset::value}));
    // The element is looked up ignoring case and its cell keeps the binding.
    Cell* e = stack::push(w("A"));
    Cell* obj = stack::push(o);
    EXPECT_EQ(actions::eval_path(obj, e, nullptr, nullptr, nullptr, nullptr, 1, false, false, true, false)->data2, 1u);
    EXPECT_EQ(e->data1, o.data1);
    EXPECT_EQ(e->data3, 0u);

    const Cell seven = i(7);
    EXPECT_EQ(path_step(o, w("a"), &seven, false, true).data2, 7u);
    EXPECT_EQ(field(o, "a").data2, 7u);

    struct Case {
        const char* name;
        Cell element;
        bool get, tail;
        std::optional<ErrorId> error;  // none: the result is none
    };
    const Case cases[] = {
        {"missing via get-path", w("zz"), true, true, std::nullopt},
        {"unset via get-path", w("u"), true, true, std::nullopt},
        {"missing at the tail", w("zz"), false, true, ErrorId::script_invalid_path},
        {"unset at the tail", w("u"), false, true, ErrorId::script_invalid_path},
        {"missing inside", w("zz"), false, false, ErrorId::script_unset_path},
        {"missing inside, get", w("zz"), true, false, ErrorId::script_unset_path},
        {"not a word", i(1), true, true, ErrorId::script_invalid_path},
        {"refinement", w("a", type::refinement), false, true, ErrorId::script_invalid_path},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.error) {
            EXPECT_EQ(error_of([&] { path_step(o, c.element, nullptr, c.get, c.tail); }), c.error);
            EXPECT_EQ(cell::type_of(pending_error.args[1]), cell::type_of(c.element));
        } else {
            EXPECT_EQ(cell::type_of(path_step(o, c.element, nullptr, c.get, c.tail)), type::none);
        }
    }
    // Setting a missing field is refused like reading it.
    EXPECT_EQ(error_of([&] { path_step(o, w("zz"), &seven, false, true); }), ErrorId::script_invalid_path);
}

TEST_F(Objects, PutAndSelect) {
    const Cell o = make(blk({sw("a"), i(1)}));
    auto put = [&](const Cell& key, const Cell& v) {
        return *actions::put(stack::push(o), stack::push(key), stack::push(v), false);
    };
    auto select = [&](const Cell& key) {
        return *actions::select(stack::push(o), stack::push(key), nullptr, false, false, false, false, nullptr,
                                nullptr, false, false);
    };
    EXPECT_EQ(put(w("a"), i(4)).data2, 4u);
    EXPECT_EQ(field(o, "a").data2, 4u);
    EXPECT_EQ(error_of([&] { put(sw("a"), i(5)); }), ErrorId::script_invalid_key_type);
    EXPECT_EQ(pending_error.args[0].data1, type::set_word);
    EXPECT_EQ(error_of([&] { put(w("b"), i(5)); }), ErrorId::script_unset_path);

    for (u32 t : {type::word, type::set_word, type::get_word, type::lit_word}) EXPECT_EQ(select(w("a", t)).data2, 4u);
    EXPECT_EQ(cell::type_of(select(w("zz"))), type::none);
    EXPECT_EQ(error_of([&] { select(i(1)); }), ErrorId::script_invalid_type);
}

// ---------------------------------------------------------------------------
// Change handlers

TEST_F(Objects, OnChangeRunsAfterTheStore) {
    const Cell h = fn({w("word"), w("old"), w("new"), words::refinement::local, w("tmp")});
    const Cell o = make(blk({sw("a"), i(1), sw("on-change*"), h}));
    ASSERT_NE(object::record_of(o), 0u);
    EXPECT_EQ(object::handler_index(object::record_of(o), object::handler::on_change), 1);
    EXPECT_EQ(object::handler_index(object::record_of(o), object::handler::on_deep_change), -1);
    EXPECT_EQ(object::handler_locals(object::record_of(o), object::handler::on_change), 2);
    EXPECT_EQ(calls.size(), 0u);  // making the object reports nothing

    // Through a path: once, with the word, the old and the new value, after the store.
    const Cell two = i(2);
    path_step(o, w("a"), &two, false, true);
    ASSERT_EQ(calls.size(), 1u);
    const Call& c = calls[0];
    EXPECT_EQ(c.frame_symbol, symbol_of_word(words::word::on_change));
    EXPECT_EQ(c.fn_ctx, function::context_of(h));
    ASSERT_EQ(c.args.size(), 5u);  // word, old, new, then the locals: /local false, tmp none
    EXPECT_EQ(c.args[0].data2, static_cast<u32>(sym("a")));
    EXPECT_EQ(c.args[0].data1, o.data1);
    EXPECT_EQ(c.args[1].data2, 1u);
    EXPECT_EQ(c.args[2].data2, 2u);
    EXPECT_EQ(cell::type_of(c.args[3]), type::logic);
    EXPECT_EQ(cell::type_of(c.args[4]), type::none);
    EXPECT_EQ(c.field_value.data2, 2u);

    // Through a word bound to the object (a set-word's store) and through set.
    Cell word_a = object::get_field(o.data1, 0)[0];
    context::set(word_a, i(3));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].args[1].data2, 2u);
    EXPECT_EQ(calls[1].args[2].data2, 3u);
    // word/set-field-keep stores without reporting.
    stack::push(i(9));
    word::set_field_keep(o.data1, 0);
    stack::pop(1);
    EXPECT_EQ(calls.size(), 2u);
    // The stack is as it was.
    Cell* top = stack::top;
    path_step(o, w("a"), &two, false, true);
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_EQ(stack::top, top + 5);  // path_step's own five cells

    // A handler replaced by one with other locals is counted again at its call.
    *slot(o, "on-change*") = fn({w("word"), w("old"), w("new")});
    calls.clear();
    path_step(o, w("a"), &two, false, true);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args.size(), 3u);
    EXPECT_EQ(object::handler_locals(object::record_of(o), object::handler::on_change), 0);
}

TEST_F(Objects, HandlerFieldsThatAreNoFunctions) {
    // Making: the handler field must hold a function.
    EXPECT_EQ(error_of([&] { make(blk({sw("on-change*"), i(1)})); }), ErrorId::script_bad_field_set);
    EXPECT_EQ(pending_error.args[0].data2, words::word::on_change.data2);
    EXPECT_EQ(pending_error.args[1].data1, type::integer);

    // Later: the store itself runs the handler, which is now an integer.
    const Cell o = make(blk({sw("a"), i(1), sw("on-change*"), handler()}));
    const Cell one = i(1);
    EXPECT_EQ(error_of([&] { path_step(o, w("on-change*"), &one, false, true); }), ErrorId::script_invalid_obj_evt);
    EXPECT_EQ(cell::type_of(field(o, "on-change*")), type::integer);  // stored before the call

    // Without the evaluator's caller a handler cannot run.
    const Cell p = make(blk({sw("a"), i(1), sw("on-change*"), handler()}));
    object::set_handler_caller(nullptr);
    EXPECT_EQ(error_of([&] { path_step(p, w("a"), &one, false, true); }), ErrorId::internal_not_done);
}

TEST_F(Objects, OnDeepChange) {
    struct Owned {
        Cell value, owner, word;
    };
    static std::vector<Owned> owned;
    owned.clear();
    series::ownership.set = [](const Cell& v, const Cell& o, const Cell& w) { owned.push_back({v, o, w}); };

    const Cell h = fn({w("owner"), w("word"), w("target"), w("action"), w("new"), w("index"), w("part")});
    const Cell o = make(blk({sw("b"), blk({i(1)}), sw("on-deep-change*"), h}));
    EXPECT_TRUE(object::has_on_deep_q(o));
    // The object owns its own series from the start.
    ASSERT_EQ(owned.size(), 1u);
    EXPECT_EQ(owned[0].value.data1, o.data1);
    EXPECT_EQ(owned[0].owner.data1, o.data1);

    const Cell b = field(o, "b");
    const Cell seven = i(7);
    object::fire_on_deep(o, *object::get_field(o.data1, 0), b, words::word::append, &seven, 1, 1);
    ASSERT_EQ(calls.size(), 1u);
    const Call& c = calls[0];
    EXPECT_EQ(c.frame_symbol, symbol_of_word(words::word::on_deep_change));
    ASSERT_EQ(c.args.size(), 7u);
    EXPECT_EQ(c.args[0].data1, o.data1);
    EXPECT_EQ(c.args[1].data2, static_cast<u32>(sym("b")));
    EXPECT_EQ(cell::node(c.args[2]), cell::node(b));
    EXPECT_EQ(c.args[3].data2, words::word::append.data2);
    EXPECT_EQ(c.args[4].data2, 7u);
    EXPECT_EQ(c.args[5].data2, 1u);
    EXPECT_EQ(c.args[6].data2, 1u);
    // Without a new value the handler gets none.
    object::fire_on_deep(o, *object::get_field(o.data1, 0), b, words::word::clear, nullptr, 0, 1);
    EXPECT_EQ(cell::type_of(calls[1].args[4]), type::none);

    // A handler field that holds no function is skipped; no record is an error.
    *slot(o, "on-deep-change*") = i(0);
    object::fire_on_deep(o, *object::get_field(o.data1, 0), b, words::word::clear, nullptr, 0, 1);
    EXPECT_EQ(calls.size(), 2u);
    const Cell plain = make(blk({sw("b"), i(1)}));
    EXPECT_EQ(error_of([&] { object::fire_on_deep(plain, w("b"), b, words::word::clear, nullptr, 0, 1); }),
              ErrorId::script_invalid_obj_evt);
    // An on-change* only object ignores deep changes.
    const Cell shallow = make(blk({sw("on-change*"), handler()}));
    object::fire_on_deep(shallow, w("b"), b, words::word::clear, nullptr, 0, 1);
    EXPECT_EQ(calls.size(), 2u);
}

// ---------------------------------------------------------------------------
// set on objects, construct, the makers of compiled code

TEST_F(Objects, SetMany) {
    auto fresh = [&] { return make(blk({sw("a"), i(1), sw("b"), i(2), sw("c"), i(3)})); };
    auto values = [&](const Cell& o) {
        std::vector<i32> out;
        for (i32 k = 0; k < 3; k++) {
            const Cell v = object::get_values(o)[k];
            const i32 t = static_cast<i32>(cell::type_of(v));
            out.push_back(t == static_cast<i32>(type::integer) ? static_cast<i32>(v.data2) : -t);
        }
        return out;
    };
    const i32 none_ = -static_cast<i32>(type::none);
    struct Case {
        const char* name;
        Cell value;
        bool any, only, some;
        std::vector<i32> expect;
    };
    const Cell src = make(blk({sw("C"), i(30), sw("a"), i(10), sw("zz"), i(0)}));
    const Cell with_none = make(blk({sw("a"), none::value}));
    const Case cases[] = {
        {"one value", i(9), false, false, false, {9, 9, 9}},
        {"block", blk({i(7), i(8)}), false, false, false, {7, 8, none_}},
        {"block /some", blk({i(7), none::value}), false, false, true, {7, 2, 3}},
        {"block /only", blk({i(7)}), false, true, false, {-5, -5, -5}},
        {"object", src, false, false, false, {10, 2, 30}},
        {"object /some", with_none, false, false, true, {1, 2, 3}},
        {"object with none", with_none, false, false, false, {none_, 2, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Cell o = fresh();
        object::set_many(o, c.value, c.any, c.only, c.some);
        EXPECT_EQ(values(o), c.expect);
    }
    Cell o = fresh();
    EXPECT_EQ(error_of([&] { object::set_many(o, blk({i(1), unset::value}), false, false, false); }),
              ErrorId::script_need_value);
    EXPECT_EQ(pending_error.args[0].data2, static_cast<u32>(sym("b")));
    EXPECT_EQ(values(o), (std::vector<i32>{1, 2, 3}));  // checked before anything is stored
    object::set_many(o, blk({i(1), unset::value}), true, false, false);
    EXPECT_EQ(cell::type_of(object::get_values(o)[1]), type::unset);

    // Stores report to on-change*, except into the handler fields themselves.
    Cell h = make(blk({sw("a"), i(1), sw("on-change*"), handler()}));
    const Cell keep = field(h, "on-change*");
    object::set_many(h, blk({i(5), keep}), false, false, false);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args[0].data2, static_cast<u32>(sym("a")));
    EXPECT_EQ(calls[0].args[2].data2, 5u);
}

TEST_F(Objects, Construct) {
    const Cell spec = blk({sw("a"), sw("b"), w("yes"), sw("c"), w("OFF"), sw("d"), w("none"), sw("e"), w("other"),
                           sw("f"), blk({i(1)}), sw("g")});
    const Cell* o = object::construct(none::value, spec, false);
    EXPECT_EQ(object::class_of(*o), object::class_id_base + 1);
    EXPECT_TRUE(logic::get(field(*o, "a")));
    EXPECT_TRUE(logic::get(field(*o, "b")));
    EXPECT_EQ(cell::type_of(field(*o, "c")), type::logic);
    EXPECT_FALSE(logic::get(field(*o, "c")));
    EXPECT_EQ(cell::type_of(field(*o, "d")), type::none);
    EXPECT_EQ(cell::type_of(field(*o, "e")), type::word);
    EXPECT_EQ(cell::type_of(field(*o, "f")), type::block);
    EXPECT_EQ(cell::type_of(field(*o, "g")), type::none);  // at the end

    const Cell* raw = object::construct(none::value, spec, true);
    EXPECT_EQ(cell::type_of(field(*raw, "a")), type::word);

    // From a prototype: a deep copy keeping its class id, then the fields.
    const Cell proto = make(blk({sw("a"), blk({i(1)}), sw("n"), i(1)}));
    const Cell* from = object::construct(proto, blk({sw("n"), i(2), sw("m"), i(3)}), false);
    EXPECT_EQ(object::class_of(*from), object::class_of(proto));
    EXPECT_EQ(field(*from, "n").data2, 2u);
    EXPECT_EQ(field(*from, "m").data2, 3u);
    EXPECT_EQ(field(proto, "n").data2, 1u);
    EXPECT_NE(cell::node(field(*from, "a")), cell::node(field(proto, "a")));
}

TEST_F(Objects, MakersOfCompiledCode) {
    // A context whose values block is still empty gets one slot per word.
    const Node ctx = context::create(2, false, true, 0, context::kind::object);
    Cell* holder = stack::push(cell::make(type::word, ctx, 0, 0xFFFFFFFF));
    i32 index = -1;
    context::find_word_in(ctx, sym("a"), true, true, &index);
    context::find_word_in(ctx, sym("on-change*"), true, true, &index);
    memory::buffer(context::cell_of(ctx)->data2)->tail = memory::buffer(context::cell_of(ctx)->data2)->head;
    Cell* o = object::make_at(ctx, 42);
    *holder = *o;
    EXPECT_EQ(object::class_of(*o), 42);
    EXPECT_EQ(object::get_size(*o), 2);
    EXPECT_EQ(memory::buffer(context::cell_of(ctx)->data2)->length(), 2u);
    EXPECT_EQ(context::self(ctx)->data2, 42u);

    // Compiled code stores its values, then attaches the handlers by index.
    object::set_field(ctx, 0, i(1));
    object::set_field(ctx, 1, handler());
    stack::push(*holder);
    Cell* with = object::push_with_handlers(ctx, 1, 0, -1, 0);
    ASSERT_NE(object::record_of(*with), 0u);
    EXPECT_EQ(context::self(ctx)->data3, object::record_of(*with));
    EXPECT_EQ(object::handler_index(object::record_of(*with), object::handler::on_change), 1);
    EXPECT_FALSE(object::has_on_deep_q(*with));

    // Stores through the context's words now report (on-change* stand-in).
    Cell word_a = *object::get_field(ctx, 0);
    context::set(word_a, i(2));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args[1].data2, 1u);

    // The runtime's own field stores: old value on top, new value below it.
    stack::push(i(3));  // new
    stack::push(i(2));  // old
    object::fire_on_set_ctx(ctx, *object::get_field(ctx, 0));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].args[1].data2, 2u);
    EXPECT_EQ(calls[1].args[2].data2, 3u);

    // A global word holding the object.
    const i32 g = sym("holder-of-o");
    context::set_global(g, *with);
    const Cell gw = word::of_symbol(g);
    EXPECT_TRUE(object::holds_object_q(gw, ctx));
    EXPECT_FALSE(object::holds_object_q(gw, context::global));
    stack::push(i(4));  // new
    stack::push(i(3));  // old
    object::fire_on_set_word(gw, *object::get_field(ctx, 0));
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_EQ(object::get_first_word(*with)->data2, static_cast<u32>(sym("a")));
}

// ---------------------------------------------------------------------------
// With the evaluator's own hooks: real spec evaluation and handler bodies

TEST_F(Objects, EvaluatedSpecsAndHandlers) {
    interpreter::init();  // the evaluator's spec evaluator and handler caller
    auto load = [](const char* text) {
        Cell* t = stack::push(none::value);
        string::make_at(*t, 32);
        string::concatenate_literal(*t, text);
        Cell* out = stack::push(none::value);
        i32 used = 0;
        lexer::load_string(out, *t, -1, lexer::Mode{}, &used);
        context::bind(*out, context::global, false);
        return *out;
    };
    auto global = [](const char* name) { return *context::get(word::of_symbol(sym(name))); };
    auto run = [](const Cell& code) {
        stack::push(unset::value);
        stack::mark_native(stack::word(0));
        stack::push(unset::value);
        interpreter::eval_block_throwing(code);
        stack::unroll();
    };
    for (const char* g : {"seen-word", "seen-old", "seen-new", "calls", "handler-fn", "obj"})
        context::set_global(sym(g), none::value);
    // The handler records its arguments in global words.
    const Cell body = load("seen-word: word seen-old: old seen-new: new");
    const Cell spec = load("word old new");
    function::push(spec, body, 0, 0, 0, 0);
    context::set_global(sym("handler-fn"), *stack::last_pushed());

    // The spec is evaluated: b takes a's value; the handler comes in through a get-word.
    const Cell o = make(load("a: 1 b: a on-change*: :handler-fn"));
    EXPECT_EQ(field(o, "b").data2, 1u);
    ASSERT_NE(object::record_of(o), 0u);
    EXPECT_EQ(cell::type_of(global("seen-word")), type::none);  // making reports nothing

    // A path store runs the handler once, after the store, with word, old and new.
    context::set_global(sym("obj"), o);
    run(load("obj/a: 5"));
    EXPECT_EQ(field(o, "a").data2, 5u);
    const Cell seen = global("seen-word");
    EXPECT_EQ(seen.data2, static_cast<u32>(sym("a")));
    EXPECT_EQ(seen.data1, o.data1);
    EXPECT_EQ(global("seen-old").data2, 1u);
    EXPECT_EQ(global("seen-new").data2, 5u);

    // A copy owns a rebuilt record and its own handler: the handler sees the
    // copy's word, and the original is untouched.
    Cell* src = stack::push(o);
    Cell* result = stack::push(none::value);
    const Cell c = *actions::copy(src, result, nullptr, false, nullptr);
    ASSERT_NE(object::record_of(c), 0u);
    EXPECT_NE(object::record_of(c), object::record_of(o));
    EXPECT_NE(function::context_of(field(c, "on-change*")), function::context_of(field(o, "on-change*")));
    const Cell nine = i(9);
    path_step(c, w("a"), &nine, false, true);
    EXPECT_EQ(global("seen-word").data1, c.data1);
    EXPECT_EQ(global("seen-old").data2, 5u);
    EXPECT_EQ(global("seen-new").data2, 9u);
    EXPECT_EQ(field(o, "a").data2, 5u);

    // A child made from the object evaluates its spec with the handler live:
    // the set-word store of a reports the prototype's value as the old one.
    const Cell child = make_from(o, load("a: 6"));
    EXPECT_EQ(field(child, "a").data2, 6u);
    EXPECT_EQ(object::class_of(child), object::class_of(o));
    EXPECT_EQ(global("seen-word").data1, child.data1);
    EXPECT_EQ(global("seen-old").data2, 5u);
    EXPECT_EQ(global("seen-new").data2, 6u);
}

}  // namespace
