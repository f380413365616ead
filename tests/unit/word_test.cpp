// The word family: reading and writing values with the unset rules, the
// runtime calls that store into slots, form and mold of each type, the
// compare codes, make/to (with a stand-in for the lexer's services) and
// index?.
#include "runtime/datatypes/word.h"

#include "interpreter/actions.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/fire.h"
#include "runtime/calls.h"
#include "runtime/memory.h"
#include "runtime/registry.h"
#include "runtime/runtime.h"
#include "runtime/system.h"
#include "runtime/words.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <optional>
#include <string>

using namespace oru;

namespace {

using namespace test;

// The text of a string value from its head, as UTF-8.
std::string text_of(const Cell& str) {
    SeriesBuffer* s = memory::buffer(cell::node(str));
    std::string out;
    for (u32 i = static_cast<u32>(cell::head_index(str)); i < s->length(); i++) {
        u32 cp = string::get_char(s->head_ptr() + i * s->unit(), s->unit());
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else {  // two bytes are enough for the names used here
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

// Stand-ins for the lexer: digits scan as integer!, a trailing colon as a
// set-word, a leading slash as a refinement, anything else as a word.
i32 fake_scan(const u8* p, i32 len) {
    return len > 0 && std::isdigit(p[0]) ? static_cast<i32>(type::integer) : static_cast<i32>(type::word);
}
void fake_load(const Cell& text, Cell* out) {
    std::string t = text_of(text);
    if (t.empty()) {
        *out = unset::value;
    } else if (std::isdigit(static_cast<unsigned char>(t[0]))) {
        *out = cell::integer(std::stoi(t));
    } else if (t.back() == ':') {
        *out = word::of_symbol(symbol::make(t.substr(0, t.size() - 1).c_str()));
        cell::set_type(*out, type::set_word);
    } else if (t[0] == '/') {
        *out = word::of_symbol(symbol::make(t.substr(1).c_str()));
        cell::set_type(*out, type::refinement);
    } else {
        *out = word::of_symbol(symbol::make(t.c_str()));
    }
}

class WordValues : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_init();  // registers the word types and makes the global context
        word::set_lexer_hooks({fake_scan, fake_load});
        stack::push(unset::value);
        buffer = test::open_buffer_frame();
    }
    void TearDown() override {
        word::set_lexer_hooks({});
        runtime_shutdown();
    }


    static i32 sym(const char* name) { return symbol::make(name); }
    static Cell global_word(const char* name, u32 t = type::word) {
        Cell w = word::of_symbol(sym(name));
        cell::set_type(w, t);
        return w;
    }
    static Cell dt(u32 t) { return datatype::make(t); }

    std::string formed(Cell v, bool mold, i32* left = nullptr, Cell* part = nullptr) {
        memory::buffer(cell::node(*buffer))->tail = 0;
        i32 r = mold ? actions::mold(&v, buffer, false, false, false, part, 100, 0)
                     : actions::form(&v, buffer, part, 100);
        if (left) *left = r;
        return text_of(*buffer);
    }

    Cell* buffer = nullptr;
};

TEST_F(WordValues, ReadingAndWritingFollowTheUnsetRules) {
    Cell w = global_word("counter");
    stack::push(cell::integer(1));
    word::set_checked(w);
    EXPECT_EQ(word::get(w)->data2, 1u);

    // Setting to unset! raises need-value and leaves the word as it was.
    stack::push(unset::value);
    EXPECT_EQ(error_of([&] { word::set_checked(w); }), ErrorId::script_need_value);
    EXPECT_EQ(pending_error.args[0].data2, w.data2);
    EXPECT_EQ(context::get(w)->data2, 1u);

    Cell never_set = global_word("never-set");
    Cell unbound = cell::make(type::word, 0, static_cast<u32>(sym("loose")), 0xFFFFFFFFu);
    Cell unresolved = cell::make(type::word, context::global, static_cast<u32>(sym("counter")), 0xFFFFFFFFu);
    Node idle = context::create(1, true, false, 0, context::kind::function);
    context::add_word(idle, unbound);
    Cell* saved = stack::top;
    struct Case {
        const char* what;
        std::function<void()> run;
        ErrorId expected;
    } cases[] = {
        {"get of an unset word", [&] { word::get(never_set); }, ErrorId::script_no_value},
        {"get-in-object of an unset word", [&] { word::get_in_object(never_set); }, ErrorId::script_no_value},
        {"a word bound to no context", [&] { word::get(unbound); }, ErrorId::script_not_defined},
        {"setting a word bound to no context", [&] { stack::push(cell::integer(1)); word::set(unbound); },
         ErrorId::script_not_defined},
        {"an unresolved slot", [&] { word::get(unresolved); }, ErrorId::script_no_value},
        {"a local of a function not running", [&] { word::get_value(idle, 0); }, ErrorId::script_not_defined},
        {"pushing that local", [&] { word::push_local(idle, 0); }, ErrorId::script_not_defined},
        {"storing into it", [&] { stack::push(cell::integer(1)); word::set_value(idle, 0); },
         ErrorId::script_not_in_context},
        {"set-value of unset!", [&] { stack::push(unset::value); word::set_value(context::global, 0); },
         ErrorId::script_need_value},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_of(c.run), c.expected) << c.what;
        stack::top = saved;
    }
    // The get-word reading takes unset! as it is.
    EXPECT_EQ(cell::type_of(*word::push_value(never_set)), type::unset);
}

TEST_F(WordValues, SlotStoresOfCompiledCode) {
    Node obj = context::create(2, false, true, 0, context::kind::object);
    const Cell f = cell::make(type::word, 0, static_cast<u32>(sym("f")), 0xFFFFFFFFu);
    context::add_word(obj, f);
    context::add_word(obj, cell::make(type::word, 0, static_cast<u32>(sym("g")), 0xFFFFFFFFu));

    Cell* base = stack::arguments;
    stack::push(cell::integer(4));
    EXPECT_EQ(word::set_field(obj, 0)->data2, 4u);
    EXPECT_EQ(stack::top, base);  // back to the argument base
    EXPECT_TRUE(context::word_at(obj, 0)->header & context::assigned);
    EXPECT_FALSE(context::word_at(obj, 1)->header & context::assigned);

    stack::push(cell::integer(5));
    word::set_field_keep(obj, 1);
    EXPECT_EQ(stack::top, base + 1);  // the value stays as the expression's result
    EXPECT_TRUE(context::word_at(obj, 1)->header & context::assigned);

    word::set_field_push_old(*stack::last_pushed(), obj, 0);
    EXPECT_EQ(stack::last_pushed()->data2, 4u);  // the old value, for on-change*
    EXPECT_EQ(stack::last_pushed()[-1].data2, 5u);
    EXPECT_EQ(context::values(obj)[0].data2, 5u);

    stack::reset();
    stack::push(cell::integer(6));
    set_word::set(obj, 1);
    EXPECT_EQ(stack::top, base);
    EXPECT_EQ(context::values(obj)[1].data2, 6u);

    Cell w = cell::make(type::word, 0, static_cast<u32>(sym("word-set")), 0xFFFFFFFFu);
    word::make_at(sym("word-set"), &w);
    stack::push(cell::integer(7));
    word::set(w);
    EXPECT_EQ(stack::top, base);
    EXPECT_EQ(word::get_in_object(w)->data2, 7u);

    // The word and the value as a call's two arguments.
    stack::push(w);
    stack::push(cell::integer(8));
    word::set_from_args();
    EXPECT_EQ(stack::arguments->data2, 8u);
    EXPECT_EQ(context::get(w)->data2, 8u);

    // An unset! second argument: need-value with the word, nothing stored.
    stack::reset();
    EXPECT_EQ(error_of([&] {
                  stack::mark_native(stack::word(0));
                  stack::push(w);
                  stack::push(unset::value);
                  word::set_from_args();
              }),
              ErrorId::script_need_value);
    EXPECT_EQ(pending_error.args[0].data2, w.data2);
    EXPECT_EQ(context::get(w)->data2, 8u);
}

TEST_F(WordValues, FormAndMoldOfEachType) {
    struct Case {
        u32 type;
        const char* molded;
    } cases[] = {
        {type::word, "name"},       {type::lit_word, "'name"},  {type::set_word, "name:"},
        {type::get_word, ":name"},  {type::refinement, "/name"}, {type::issue, "#name"},
    };
    for (const Case& c : cases) {
        Cell w = global_word("name", c.type);
        i32 left = 0;
        EXPECT_EQ(formed(w, false, &left), "name") << c.molded;
        EXPECT_EQ(left, 100 - 4);
        EXPECT_EQ(formed(w, true, &left), c.molded);
        EXPECT_EQ(left, c.type == type::word ? 100 - 4 : 100 - 5);
    }
    // The budget counts characters, not bytes; each spelling is kept.
    i32 left = 0;
    EXPECT_EQ(formed(global_word("H\xC3\xA9llo", type::set_word), true, &left), "H\xC3\xA9llo:");
    EXPECT_EQ(left, 100 - 6);
    EXPECT_EQ(formed(word::load("HELLO"), true), "HELLO");
    EXPECT_EQ(formed(word::load("hello"), true), "hello");

    // A /part count caps the name as it caps a formed string; the budget
    // still goes down by the whole name. A negative count caps nothing.
    struct Part {
        u32 type;
        bool mold;
        i32 count;
        const char* text;
        i32 left;
    } parts[] = {
        {type::word, false, 2, "na", 100 - 4},        {type::word, true, 0, "", 100 - 4},
        {type::refinement, true, 3, "/nam", 100 - 5}, {type::set_word, true, 2, "na:", 100 - 5},
        {type::issue, false, 9, "name", 100 - 4},     {type::word, false, -1, "name", 100 - 4},
    };
    for (const Part& p : parts) {
        Cell part = cell::integer(p.count);
        EXPECT_EQ(formed(global_word("name", p.type), p.mold, &left, &part), p.text) << p.text;
        EXPECT_EQ(left, p.left) << p.text;
    }
}

TEST_F(WordValues, CompareCodes) {
    Node other = context::create(1, false, false, 0, context::kind::object);
    Cell a_other = global_word("a");
    context::bind_word(other, a_other);  // not there: stays global
    a_other.data1 = other;

    const Cell a = global_word("a"), A = global_word("A"), b = global_word("b");
    const Cell lit_a = global_word("a", type::lit_word), set_A = global_word("A", type::set_word);
    const Cell issue_a = global_word("a", type::issue), ref_a = global_word("a", type::refinement);
    struct Case {
        const char* what;
        Cell x, y;
        i32 op, expected;
    } cases[] = {
        {"equal? lit-word a, set-word A:", lit_a, set_A, 0, 0},
        {"strict-equal? of them", lit_a, set_A, 2, 1},
        {"strict-equal? same type, other case", a, A, 2, 1},
        {"strict-equal? same spelling", a, a, 2, 0},
        {"find equality ignores case and type", ref_a, A, 12, 0},
        {"same? one spelling, two contexts", a, a_other, 9, 1},
        {"same? identical", a, a, 9, 0},
        {"same? other type", a, lit_a, 9, 1},
        {"10: word/lit-word pair by exact id", a, lit_a, 10, 0},
        {"10: word/lit-word pair, other case", A, lit_a, 10, 1},
        {"10: other pairs are strict", a, set_A, 10, 1},
        {"11: word/lit-word pair ignores case", A, lit_a, 11, 0},
        {"11: other pairs need one type", set_A, lit_a, 11, 1},
        {"11: same type, other case", a, A, 11, 0},
        {"lesser? a b", a, b, 3, -1},
        {"greater? b A", b, A, 5, 1},
        {"word against issue", a, issue_a, 0, -2},
        {"issue against word", issue_a, a, 0, -2},
        {"issue against issue", issue_a, global_word("A", type::issue), 0, 0},
        {"word against integer", a, cell::integer(1), 0, -2},
    };
    for (Case& c : cases) EXPECT_EQ(actions::compare_raw(&c.x, &c.y, c.op), c.expected) << c.what;
}

TEST_F(WordValues, MakeAndTo) {
    Cell dt_word = dt(type::word), dt_issue = dt(type::issue), dt_set = dt(type::set_word);
    auto to = [&](Cell target, Cell spec) { return *actions::to(&target, &spec); };

    Cell from_type = to(dt_word, dt(type::logic));
    EXPECT_EQ(from_type.header, type::word);
    EXPECT_EQ(symbol::get_c_string(static_cast<i32>(from_type.data2)), std::string("logic!"));

    Cell truth = cell::make(type::logic | flag::new_line, 1);
    Cell from_logic = to(dt_word, truth);
    EXPECT_EQ(from_logic.header, type::word);  // the new-line marker is dropped too
    EXPECT_EQ(from_logic.data2, static_cast<u32>(sym("true")));
    EXPECT_EQ(from_logic.data1, context::global);

    Cell* held = stack::push();
    string::make_at(*held, 4);
    string::concatenate_literal(*held, "a:");
    const Cell text = *held;
    Cell from_text = to(dt_word, text);
    EXPECT_EQ(from_text.header, type::word);
    EXPECT_EQ(from_text.data2, static_cast<u32>(sym("a")));

    Cell bound_elsewhere = global_word("a", type::get_word);
    bound_elsewhere.data1 = 1234;  // the binding is kept as it is
    Cell kept = *actions::make(&dt_set, &bound_elsewhere);
    EXPECT_EQ(kept.header, type::set_word);
    EXPECT_EQ(kept.data1, 1234u);

    Cell refinement = cell::make(type::refinement, 0, static_cast<u32>(sym("a")), 0xFFFFFFFFu);
    Cell from_ref = to(dt_word, refinement);
    EXPECT_EQ(from_ref.header, type::word);
    EXPECT_EQ(from_ref.data1, context::global);  // bound where the global context has it
    EXPECT_EQ(from_ref.data3, global_word("a").data3);
    Cell from_issue = to(dt_word, cell::make(type::issue | flag::new_line, context::global, from_ref.data2, 0xFFFFFFFFu));
    EXPECT_EQ(from_issue.header, type::word);
    EXPECT_EQ(from_issue.data1, context::global);
    EXPECT_EQ(from_issue.data3, from_ref.data3);  // the unresolved issue gets the global slot

    Cell from_char = to(dt_set, cell::make(type::char_, 0, 'k'));
    EXPECT_EQ(from_char.header, type::set_word);
    EXPECT_EQ(from_char.data2, static_cast<u32>(sym("k")));

    held = stack::push();
    string::make_at(*held, 4);
    string::concatenate_literal(*held, "xyz");
    Cell issue_text = *held;
    issue_text.data1 = 1;  // from the current position
    Cell from_string = to(dt_issue, issue_text);
    EXPECT_EQ(from_string.header, type::issue);
    EXPECT_EQ(from_string.data2, static_cast<u32>(sym("yz")));
    EXPECT_EQ(static_cast<i32>(from_string.data3), -1);
    Cell issue_from_char = to(dt_issue, cell::make(type::char_, 0, 'q'));
    EXPECT_EQ(issue_from_char.data2, static_cast<u32>(sym("q")));
    EXPECT_EQ(to(dt_issue, global_word("w", type::lit_word)).header, type::issue);

    held = stack::push();
    string::make_at(*held, 4);
    string::concatenate_literal(*held, "1");
    const Cell digits = *held;
    Cell issue_1 = cell::make(type::issue, context::global, static_cast<u32>(sym("1")), 0xFFFFFFFFu);
    struct Bad {
        const char* what;
        Cell target, spec;
        ErrorId expected;
    } bad[] = {
        {"text that is no word", dt_word, digits, ErrorId::script_invalid_chars},
        {"an issue whose name is no word", dt_word, issue_1, ErrorId::script_bad_to_arg},
        {"an integer", dt_word, cell::integer(3), ErrorId::script_bad_to_arg},
        {"an integer to issue!", dt_issue, cell::integer(3), ErrorId::script_bad_to_arg},
    };
    for (Bad& c : bad) {
        EXPECT_EQ(error_of([&] { actions::to(&c.target, &c.spec); }), c.expected) << c.what;
        EXPECT_EQ(pending_error.argc, c.expected == ErrorId::script_invalid_chars ? 0 : 2) << c.what;
    }
    EXPECT_EQ(pending_error.args[0].data1, type::issue);  // the target type
}

TEST_F(WordValues, IndexOfAWord) {
    const Cell w = global_word("indexed");
    const Cell cases[][2] = {
        {w, cell::integer(static_cast<i32>(w.data3) + 1)},
        {cell::make(type::lit_word, context::global, w.data2, 0xFFFFFFFFu), cell::make(type::none)},
    };
    for (const auto& c : cases) {
        stack::mark_native(stack::word(0));
        stack::push(c[0]);
        actions::index_q();
        EXPECT_EQ(stack::arguments->header, c[1].header);
        EXPECT_EQ(stack::arguments->data2, c[1].data2);
        stack::unroll();
    }
    // refinement! and issue! have no index?.
    EXPECT_EQ(registry::entry(type::refinement, action::index_q), nullptr);
    EXPECT_EQ(registry::entry(type::issue, action::index_q), nullptr);
}

TEST_F(WordValues, FamilyMakers) {
    Cell r = refinement::load("only");
    EXPECT_EQ(r.header, type::refinement);
    EXPECT_EQ(r.data1, 0u);
    EXPECT_EQ(static_cast<i32>(r.data3), -1);

    Cell lw = lit_word::load("Thing");
    EXPECT_EQ(lw.header, type::lit_word);
    EXPECT_EQ(lw.data3, word::load("thing").data3);

    Cell* sw = set_word::push_context_word(context::global, static_cast<i32>(lw.data3));
    EXPECT_EQ(sw->header, type::set_word);
    Cell value = cell::integer(12);
    EXPECT_EQ(set_word::set(*sw, &value), &value);
    EXPECT_EQ(get_word::get(lw)->data2, 12u);
    EXPECT_EQ(lit_word::get(lw)->data2, 12u);

    Cell block = cell::make(type::block, 0, memory::alloc_cells(4), 0);
    stack::push(block);
    EXPECT_EQ(get_word::make_in("thing", block)->header, type::get_word);
    issue::make_in(sym("tag"), block);
    EXPECT_EQ(memory::buffer(cell::node(block))->length(), 2u);
    EXPECT_EQ(memory::buffer(cell::node(block))->cells()[1].header, type::issue);

    Cell* s = word::push_as_string(lw);
    EXPECT_EQ(text_of(*s), "Thing");
}

TEST_F(WordValues, PredefinedWordsBecomeGlobalWords) {
    root_allocation = true;  // as during start-up
    const Node root = root_block();
    const u32 before = memory::buffer(root)->length();
    word::bind_predefined();
    EXPECT_EQ(memory::buffer(root)->length(),
              before + words::word_count + words::refinement_count + words::issue_count);

    struct Case {
        const Cell* cell;
        const char* spelling;
    } cases[] = {
        {&words::word::on_change, "on-change*"}, {&words::word::tag_anon, "<anon>"},
        {&words::word::collect_2, "collect"},    {&words::word::Linux, "Linux"},
        {&words::word::end, "end"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.cell->header, type::word) << c.spelling;
        EXPECT_EQ(c.cell->data1, context::global) << c.spelling;
        EXPECT_STREQ(symbol::get_c_string(word::symbol_of(*c.cell)), c.spelling);
        EXPECT_EQ(word::index_of(*c.cell), context::find_word(context::global, word::symbol_of(*c.cell), true))
            << c.spelling;
    }
    // A predefined word and a word loaded later in another case share a slot.
    context::set(words::word::append, cell::integer(3));
    EXPECT_EQ(context::get(word::load("APPEND"))->data2, 3u);

    EXPECT_EQ(words::refinement::part.data1, 0u);  // refinements stay unbound
    EXPECT_EQ(word::index_of(words::refinement::part), -1);
    EXPECT_EQ(words::issue::ooo.header, type::issue);
    EXPECT_EQ(words::issue::ooo.data1, context::global);
    EXPECT_EQ(word::index_of(words::issue::ooo), -1);
    const Cell& first_kept = memory::buffer(root)->cells()[before];
    EXPECT_EQ(first_kept.data2, words::word::Windows.data2);
    EXPECT_EQ(first_kept.data1, context::global);
}

}  // namespace
