// Series iteration natives; see natives_series.h. The table of slots is at
// the bottom.
//
// Layout while a loop runs (indexes from the native's argument base `args`):
//   args[0..2]   the native's arguments (args[0] also its result slot)
//   hidden cells pushed above them (see natives_shared.h)
//   loop frame   named <body>; its result slot takes each body's value
// The data stack never moves, so the cells above are addressed directly;
// no buffer address is kept across a body or a step.
#include "interpreter/natives_series.h"

#include "interpreter/evaluator.h"
#include "interpreter/natives.h"
#include "interpreter/natives_shared.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/system.h"
#include "runtime/words.h"

#include <iterator>

namespace oru::natives {

namespace {

constexpr Cell unset_value{type::unset, 0, 0, 0};

void expect_series(const Cell& value, const char* argument, bool map_too) {
    const u32 t = cell::type_of(value);
    if (!series::series_q(t) && !(map_too && t == type::map)) expect_arg(value, argument);
}

void expect_block(const Cell& value, const char* argument) {
    if (cell::type_of(value) != type::block) expect_arg(value, argument);
}

// The 'word argument of foreach and remove-each: a word! or a block!.
void expect_words(const Cell& words) {
    const u32 t = cell::type_of(words);
    if (t != type::word && t != type::block) expect_arg(words, "word");
}

// The record size of a loop: 1 for one word, else the word block's length
// from its position, which must not be empty.
i32 record_size(const Cell& words) {
    if (cell::type_of(words) == type::word) return 1;
    const i32 n = series::abs_length_q(words) - cell::head_index(words);
    if (n <= 0) fire(ErrorId::script_invalid_arg, words);
    return n;
}

// Opens the loop frame above the hidden cells; its result starts as unset
// (what a loop whose body never ran returns).
void open_loop() {
    stack::mark_loop(words::word::tag_body);
    stack::set_result(unset_value);
}

// What a code that stopped at the loop's catch asks of the loop: 0 and
// continue_ go on, break_ leaves, any other code is for the native to pass
// on (its frames are already dropped). A break or continue leaves the top at
// the loop frame's base; the steps push above the result slot, which must
// keep the value the loop returns.
enum class Step { next, leave, pass };
Step outcome(u32 code) {
    if (code == 0 || code == throw_code::continue_) {
        stack::keep();
        return Step::next;
    }
    if (code == throw_code::break_) {
        stack::keep();
        return Step::leave;
    }
    return Step::pass;
}

// The loop body protocol: the stack is reset to the loop frame's base and
// the body runs (its value left in the loop frame's result slot) under a
// catch at the break level; `code` receives the code that ended it.
Step body_step(const Cell* body, u32& code) {
    stack::reset();
    code = interpreter::guard(throw_code::break_, [&] { return interpreter::eval_block(*body, false); });
    return outcome(code);
}

// A loop step sets the loop words and edits the series, which can run an
// object's on-change* or on-deep-change*: a break or continue there finds
// this loop's frame first, so the step runs under the same catch as the
// body (a continue goes on with the next record: the steps move past a
// record before they set its words).
template <class F>
Step guarded_step(F&& step, u32& code) {
    code = interpreter::guard(throw_code::break_, [&] {
        step();
        return u32{0};
    });
    return outcome(code);
}

// The record loop of foreach and remove-each: each step sets the loop
// words from the next record, then the body runs; `after` runs once the body
// has finished a record without break or continue, and answers as a step
// does (it closes the body's frame before it runs code). Returns a code for
// the native to pass on, else 0 when the loop ends (the body's frame closed).
template <class After>
u32 walk_records(const Cell* body, i32 n, bool several, After&& after) {
    BodyFrame frame;
    for (;;) {
        bool more = false;
        u32 code;
        // A step that can run no code keeps the body's frame open.
        const i32 plain = several ? -1 : foreach_next_plain();
        Step s;
        if (plain >= 0) {
            more = plain != 0;
            code = 0;
            s = outcome(code);
        } else {
            frame.close();
            s = guarded_step([&] { more = several ? foreach_next_block(n) : foreach_next(); }, code);
        }
        if (s == Step::pass) return code;
        if (s == Step::leave) return 0;
        if (code == throw_code::continue_) continue;
        if (!more) break;
        code = frame.run(*body, false);
        s = outcome(code);
        if (s == Step::leave) return 0;
        if (s == Step::pass) return code;
        if (code == throw_code::continue_) continue;
        s = after(code, frame);
        if (code) frame.dropped();
        if (s == Step::pass) return code;
        if (s == Step::leave) return 0;
    }
    frame.close();
    stack::keep();
    return 0;
}

}  // namespace

// foreach 'word series body: the last body value, the break value, or unset
// when the body never ran.
u32 foreach(bool, const i32*) {
    Cell* args = stack::arguments;
    // The arguments in their order, as the evaluator would check them.
    expect_words(args[0]);
    expect_series(args[1], "series", true);
    expect_block(args[2], "body");
    const i32 n = record_size(args[0]);
    const bool several = cell::type_of(args[0]) == type::block;
    // A map! is walked by key and value: one word cannot take both.
    if (!several && cell::type_of(args[1]) == type::map) fire(ErrorId::script_invalid_arg, args[0]);
    stack::top = args + 3;
    stack::push_value(args[1]);
    stack::push_value(args[0]);
    open_loop();
    if (u32 code = walk_records(&args[2], n, several, [](u32&, BodyFrame&) { return Step::next; }))
        return interpreter::pass_on(code);
    stack::unwind_last();
    return 0;
}

// forall 'word body: the word walks its own series, one position a step;
// afterwards it is set back to where it started, unless the loop was broken.
u32 forall(bool, const i32*) {
    Cell* args = stack::arguments;
    if (cell::type_of(args[0]) != type::word) expect_arg(args[0], "word");
    expect_block(args[1], "body");
    const Cell start = *interpreter::word_value(args[0]);
    expect_series(start, "word", false);
    stack::top = args + 2;
    stack::push_value(start);
    stack::push_value(args[0]);
    open_loop();
    bool broken = false;
    if (!forall_next(false)) {
        for (;;) {
            u32 code;
            const Step s = body_step(&args[1], code);
            if (s == Step::leave) {
                broken = true;
                break;
            }
            if (s == Step::pass) return interpreter::pass_on(code);
            if (forall_next(true)) break;
        }
    }
    // The hidden cells are found from the loop frame: restore before closing.
    // Setting the word may run an object's on-change*.
    if (!broken) {
        u32 code;
        if (guarded_step([] { forall_end(); }, code) == Step::pass) return interpreter::pass_on(code);
    }
    stack::unwind_last();
    return 0;
}

// remove-each 'word data body: removes each record for which the body gives
// a truthy value; returns data at its own position.
u32 remove_each(bool, const i32*) {
    Cell* args = stack::arguments;
    expect_words(args[0]);
    expect_series(args[1], "data", false);
    expect_block(args[2], "body");
    const i32 n = record_size(args[0]);
    const bool several = cell::type_of(args[0]) == type::block;
    stack::top = args + 3;
    stack::push_value(cell::integer(n));
    stack::push_value(args[1]);
    stack::push_value(args[0]);
    open_loop();
    // A record stays when the body breaks or continues; else the body's value
    // decides. remove runs only for a truthy value, and can run code.
    if (u32 code = walk_records(&args[2], n, several, [&](u32& c, BodyFrame& frame) {
            if (logic::truth(*stack::arguments)) frame.close();
            return guarded_step([&] { remove_each_next(n); }, c);
        }))
        return interpreter::pass_on(code);
    stack::unwind();
    stack::set_result(args[1]);
    return 0;
}

}  // namespace oru::natives

namespace oru::natives_series {

void register_all() {
    using namespace natives;
    // ORDER NATIVES: the slots are named in natives.h.
    constexpr Provided entries[] = {
        {slot::foreach, foreach},
        {slot::forall, forall},
        {slot::remove_each, remove_each},
    };
    static_assert(std::size(entries) == 3);
    provide_all(entries);
}

}  // namespace oru::natives_series
