// Conditional, loop, function-making and unwinding natives; see
// natives_control.h. The table of slots is at the bottom.
#include "interpreter/natives_control.h"

#include "interpreter/actions.h"
#include "interpreter/evaluator.h"
#include "interpreter/natives.h"
#include "interpreter/natives_eval.h"
#include "interpreter/natives_shared.h"
#include "interpreter/stack.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/fire.h"
#include "runtime/system.h"
#include "runtime/words.h"

#include <iterator>

namespace oru::natives {

namespace {

constexpr Cell none_value{type::none, 0, 0, 0};
constexpr Cell unset_value{type::unset, 0, 0, 0};

inline bool used(const i32* refinements, int i) { return refinements && refinements[i] >= 0; }

// The cell at index i of a block-like value's buffer (relative to the
// buffer head, the space of head indexes). Valid until the next allocation.
inline Cell* cell_at(const Cell& blk, i32 i) { return series::buffer_of(blk)->cells() + i; }
inline i32 tail_of(const Cell& blk) { return series::abs_length_q(blk); }

// A position past the tail counts as the tail.
void clamp_to_tail(Cell& blk) {
    const i32 len = tail_of(blk);
    if (cell::head_index(blk) > len) blk.data1 = static_cast<u32>(len);
}

// Runs the block held in the stack cell `blk` (an argument of the current
// native, above the result slot) with its value chained into the result slot.
inline u32 run(const Cell* blk) {
    stack::top = const_cast<Cell*>(blk) + 1;
    return interpreter::eval_block(*blk, true);
}

// What the code that ended a run of a loop body (BodyFrame::run, under a
// catch at the break level) asks of the loop: 0 and continue go on, break
// leaves; other codes go back to the native, which passes them on (the
// frames are already dropped).
enum class Step { next, leave, pass };
inline Step step_of(u32 code) {
    if (code == 0 || code == throw_code::continue_) return Step::next;
    if (code == throw_code::break_) return Step::leave;
    return Step::pass;
}

// logic::truth_strict with its common case inline: only unset raises.
inline bool strict_truth(const Cell& v) {
    if (cell::type_of(v) == type::unset) [[unlikely]] return logic::truth_strict(v);
    return logic::truth(v);
}

// Opens the loop frame of a loop native.
inline void open_loop() { stack::mark_loop(words::word::tag_body); }

}  // namespace

// ---------------------------------------------------------------------------
// Conditionals

u32 if_(bool, const i32*) {
    Cell* args = stack::arguments;
    if (!logic::truth(args[0])) {
        stack::set_result(none_value);
        return 0;
    }
    return run(&args[1]);
}

u32 unless(bool, const i32*) {
    Cell* args = stack::arguments;
    if (logic::truth(args[0])) {
        stack::set_result(none_value);
        return 0;
    }
    return run(&args[1]);
}

u32 either(bool, const i32*) {
    Cell* args = stack::arguments;
    return run(strict_truth(args[0]) ? &args[1] : &args[2]);
}

// any and all evaluate one expression at a time, each in a frame named
// <body>, its value copied into the result slot; the block is kept in a
// copy above the result slot, which the values overwrite.
namespace {
template <bool Any>
u32 any_all(const Cell* args) {
    const Cell* blk = stack::push_value(args[0]);
    i32 pc = cell::head_index(*blk);
    const i32 end = tail_of(*blk);
    if (pc >= end) {
        stack::set_result(none_value);
        return 0;
    }
    while (pc < end) {
        stack::top = const_cast<Cell*>(blk) + 1;
        stack::mark_native(words::word::tag_body);
        pc = interpreter::eval_expression(*blk, pc, end, false, false, false);
        if (interpreter::pending) return interpreter::pending;
        stack::unwind_last();
        const bool truthy = logic::truth(args[0]);
        if (Any && truthy) break;
        if (!Any && !truthy) {
            stack::set_result(none_value);
            return 0;
        }
    }
    if (Any && !logic::truth(args[0])) {
        stack::set_result(none_value);
        return 0;
    }
    stack::keep();
    return 0;
}
}  // namespace

u32 any(bool, const i32*) { return any_all<true>(stack::arguments); }
u32 all(bool, const i32*) { return any_all<false>(stack::arguments); }

// switch value cases /default case: the first cell of exactly the value's
// type that compares equal selects the first block after it.
u32 switch_(bool, const i32* refinements) {
    Cell* args = stack::arguments;
    const u32 t = cell::type_of(args[0]);
    if (t != type::block) {
        const Cell cases = args[1];
        const i32 end = tail_of(cases);
        for (i32 i = cell::head_index(cases); i < end; ++i) {
            Cell candidate = *cell_at(cases, i);
            if (cell::type_of(candidate) != t) continue;
            if (!actions::compare(&candidate, &args[0], actions::op::equal)) continue;
            for (i32 j = i + 1; j < end; ++j) {
                const Cell* c = cell_at(cases, j);
                if (cell::type_of(*c) != type::block) continue;
                args[1] = *c;  // held on the stack while it runs
                return run(&args[1]);
            }
            stack::set_result(none_value);  // a match with no block after it
            return 0;
        }
    }
    if (used(refinements, 0)) {
        Cell* fallback = &args[refinements[0]];
        if (cell::type_of(*fallback) != type::block) expect_arg(*fallback, "case");
        return run(fallback);
    }
    stack::set_result(none_value);
    return 0;
}

// case cases /all: conditions and values in turn, inside a frame named <anon>.
u32 case_(bool, const i32* refinements) {
    Cell* args = stack::arguments;
    const bool all_q = used(refinements, 0);
    const Cell* cases = &args[0];
    const i32 end = tail_of(*cases);
    i32 pc = cell::head_index(*cases);
    if (pc >= end) {
        stack::set_result(none_value);
        return 0;
    }
    stack::top = args + 1;
    stack::mark_native(words::word::tag_anon);
    bool matched = false;
    while (pc < end) {
        if (all_q) matched = false;
        stack::reset();
        pc = interpreter::eval_expression(*cases, pc, end, false, false, false);
        if (interpreter::pending) return interpreter::pending;
        if (pc >= end) fire(ErrorId::script_need_value, words::word::case_);
        if (!strict_truth(*stack::arguments)) {
            ++pc;  // step over exactly one cell
            continue;
        }
        const Cell next = *cell_at(*cases, pc);
        stack::reset();
        if (cell::type_of(next) == type::block) {
            stack::push_value(none_value);  // the result slot
            const u32 code = run(stack::push_value(next));  // the block stays held above it
            if (code) return code;
            ++pc;
        } else {
            pc = interpreter::eval_expression(*cases, pc, end, false, false, false);
            if (interpreter::pending) return interpreter::pending;
        }
        if (!all_q) {
            stack::unwind_last();
            return 0;
        }
        matched = true;
    }
    stack::unwind_last();
    if (!matched) stack::set_result(none_value);
    return 0;
}

// ---------------------------------------------------------------------------
// Loops

// while cond body: always unset. break and continue may not come out of the
// condition.
u32 while_(bool, const i32*) {
    Cell* args = stack::arguments;
    stack::top = args + 2;
    open_loop();
    BodyFrame frame;
    for (;;) {
        const u32 code = frame.run(args[0]);
        if (code == throw_code::break_ || code == throw_code::continue_) fire(ErrorId::throw_while_cond);
        if (code) return interpreter::pass_on(code);
        if (!frame.truth()) break;
        const u32 body_code = frame.run(args[1]);
        const Step s = step_of(body_code);
        if (s == Step::leave) break;
        if (s == Step::pass) return interpreter::pass_on(body_code);
    }
    frame.close();
    stack::unwind();
    stack::set_result(unset_value);
    return 0;
}

// until body: the body's value ends the loop when truthy; continue skips the test.
u32 until(bool, const i32*) {
    Cell* args = stack::arguments;
    stack::top = args + 1;
    open_loop();
    BodyFrame frame;
    for (;;) {
        const u32 code = frame.run(args[0]);
        const Step s = step_of(code);
        if (s == Step::leave) break;
        if (s == Step::pass) return interpreter::pass_on(code);
        if (code == throw_code::continue_) continue;
        if (frame.truth()) break;
    }
    frame.close();
    stack::unwind_last();
    return 0;
}

u32 loop(bool, const i32*) {
    Cell* args = stack::arguments;
    loop_count(args[0]);
    const i32 count = static_cast<i32>(args[0].data2);
    if (count <= 0) {
        stack::set_result(none_value);
        return 0;
    }
    stack::top = args + 2;
    open_loop();
    BodyFrame frame;
    for (i32 i = 0; i < count; ++i) {
        const u32 code = frame.run(args[1]);
        const Step s = step_of(code);
        if (s == Step::leave) break;
        if (s == Step::pass) return interpreter::pass_on(code);
    }
    frame.close();
    stack::unwind_last();
    return 0;
}

// repeat 'word count body: the count cell becomes the counter; the word is
// set from it (in the context it is bound to) before each run of the body.
u32 repeat(bool, const i32*) {
    Cell* args = stack::arguments;
    loop_count(args[1]);
    i32 remaining = static_cast<i32>(args[1].data2);
    if (remaining <= 0) {
        stack::set_result(none_value);
        return 0;
    }
    args[1] = cell::integer(1);
    stack::top = args + 3;
    open_loop();
    BodyFrame frame;
    for (;;) {
        u32 code = 0;
        if (Cell* slot = plain_slot(args[0])) {
            *slot = args[1];
        } else {
            // Setting the word can run an object's on-change* (or raise):
            // from the loop frame, and a break or continue there is aimed
            // at this loop (continue skips the body).
            frame.close();
            stack::reset();
            code = interpreter::guard(throw_code::break_, [&] {
                context::set(args[0], args[1]);
                return u32{0};
            });
        }
        if (code == 0) code = frame.run(args[2]);
        const Step s = step_of(code);
        if (s == Step::leave) break;
        if (s == Step::pass) return interpreter::pass_on(code);
        if (--remaining == 0) break;
        // The counter never passes the count, which fits 32 bits.
        args[1].data2 = static_cast<u32>(static_cast<i32>(args[1].data2) + 1);
    }
    frame.close();
    stack::unwind_last();
    return 0;
}

// forever body: only break (or a code that passes through) ends it.
u32 forever(bool, const i32*) {
    Cell* args = stack::arguments;
    stack::top = args + 1;
    open_loop();
    BodyFrame frame;
    for (;;) {
        const u32 code = frame.run(args[0], false);
        const Step s = step_of(code);
        if (s == Step::leave) break;
        if (s == Step::pass) return interpreter::pass_on(code);
    }
    frame.close();
    stack::unwind_last();
    return 0;
}

u32 break_(bool, const i32* refinements) { return interpreter::signal_break(used(refinements, 0), false); }
u32 continue_(bool, const i32*) { return interpreter::signal_break(false, true); }

// ---------------------------------------------------------------------------
// Function makers

u32 func(bool, const i32*) {
    Cell* args = stack::arguments;
    clamp_to_tail(args[0]);
    clamp_to_tail(args[1]);
    stack::top = args + 2;
    const Cell fn = *function::make_func(args[0], args[1]);
    stack::set_result(fn);
    return 0;
}

// function spec body: the set-words of the body become locals of a shallow
// copy of the spec (words after /extern left out).
u32 function(bool check, const i32* refinements) {
    Cell* args = stack::arguments;
    clamp_to_tail(args[0]);
    clamp_to_tail(args[1]);
    stack::top = args + 2;
    const Cell copy = *block::clone(args[0], false, false);
    args[0] = copy;
    stack::top = args + 2;
    function::collect_locals(args[0], args[1]);
    return func(check, refinements);
}

u32 does(bool check, const i32* refinements) {
    Cell* args = stack::arguments;
    args[1] = args[0];
    stack::top = args + 2;
    block::make_at(args[0], 1);
    return func(check, refinements);
}

// has vars body: the spec is a copy of vars with /local at its head.
u32 has(bool check, const i32* refinements) {
    Cell* args = stack::arguments;
    clamp_to_tail(args[0]);
    stack::top = args + 2;
    const Cell copy = *block::clone(args[0], false, false);
    args[0] = copy;
    stack::top = args + 2;
    block::insert_value(args[0], words::refinement::local, false, false);
    return func(check, refinements);
}

// ---------------------------------------------------------------------------
// Unwinding across calls

u32 exit(bool, const i32*) { return interpreter::signal_return(false, false); }
u32 return_(bool, const i32*) { return interpreter::signal_return(true, false); }

u32 throw_(bool, const i32* refinements) {
    Cell* args = stack::arguments;
    if (!used(refinements, 0)) {
        stack::top = args + 1;
        stack::push_value(unset_value);  // stands for the name
    } else {
        if (cell::type_of(args[refinements[0]]) != type::word) expect_arg(args[refinements[0]], "word");
        stack::top = args + 2;
    }
    if (interpreter::tracing) [[unlikely]]
        interpreter::fire_event(interpreter::event::throw_, nullptr, -1, nullptr, stack::arguments);
    return interpreter::signal_throw(throw_code::throw_);
}

namespace {
// Whether a thrown name matches the /name of catch (a word, or a block of
// words), symbols compared canonically.
bool name_matches(const Cell& wanted, const Cell& thrown) {
    const bool list = cell::type_of(wanted) == type::block;
    const i32 end = list ? tail_of(wanted) : 0;
    // A block of names is checked whatever was thrown, named or not.
    if (list)
        for (i32 i = cell::head_index(wanted); i < end; ++i)
            if (cell::type_of(*cell_at(wanted, i)) != type::word)
                fire(ErrorId::script_invalid_refine_arg, words::word::name, wanted);
    if (cell::type_of(thrown) != type::word) return false;
    const i32 sym = symbol::canonical(word::symbol_of(thrown));
    if (!list) return symbol::canonical(word::symbol_of(wanted)) == sym;
    for (i32 i = cell::head_index(wanted); i < end; ++i)
        if (symbol::canonical(word::symbol_of(*cell_at(wanted, i))) == sym) return true;
    return false;
}
}  // namespace

u32 catch_(bool, const i32* refinements) {
    Cell* args = stack::arguments;
    const bool named = used(refinements, 0);
    if (named) {
        const u32 t = cell::type_of(args[refinements[0]]);
        if (t != type::word && t != type::block) expect_arg(args[refinements[0]], "word");
    }
    stack::top = args + (named ? 2 : 1);
    stack::mark_catch(words::word::tag_body);
    const u32 code = interpreter::guard(throw_code::throw_, [&] { return interpreter::eval_block(args[0]); });
    if (code != 0 && code != throw_code::throw_) return interpreter::pass_on(code);
    if (code == 0) {
        stack::unwind_last();
        return 0;
    }
    // The catch frame is the top frame; the value and the name sit at its base.
    const Cell value = stack::arguments[0];
    const Cell name = stack::arguments[1];
    stack::unwind_last();
    if (named && !name_matches(args[refinements[0]], name)) {
        // Not ours: on to the next catch frame out, name beside the value.
        args[0] = value;
        args[1] = name;
        stack::top = args + 2;
        return interpreter::signal_throw(throw_code::throw_);
    }
    stack::throw_origin = nullptr;
    stack::set_result(value);
    if (interpreter::tracing) [[unlikely]]
        interpreter::fire_event(interpreter::event::catch_, nullptr, -1, nullptr, &value);
    return 0;
}

// try block /all /keep: the block's value, or the error that ended it. A
// try/all frame is a barrier to break, continue, return, exit and throw.
u32 try_(bool, const i32* refinements) {
    Cell* args = stack::arguments;
    const bool all_q = used(refinements, 0);
    const bool keep_q = used(refinements, 1);
    CallFrame* const own = stack::frame_top;
    stack::top = args + 1;
    if (all_q)
        stack::mark_try_all(words::word::try_);
    else
        stack::mark_try(words::word::try_);
    const u32 code = interpreter::guard(throw_code::error, [&] { return interpreter::eval_block(args[0]); });
    if (code == 0) {
        stack::unwind_last();
        return 0;
    }
    if (code != throw_code::error) {
        if (!all_q) return interpreter::pass_on(code);
        // Consumed: nothing should get past a try/all, but leave the stacks
        // as a completed try would.
        stack::frame_top = own;
        stack::arguments = args;
        stack::set_result(unset_value);
        return 0;
    }
    // The error's unwinding closed the try frame and pushed the error.
    stack::keep_error_result();
    if (keep_q && error::error_q(*stack::arguments)) error::capture_stack(*stack::arguments);
    return 0;
}

}  // namespace oru::natives

namespace oru::natives_control {

void register_all() {
    using namespace natives;
    // ORDER NATIVES: the slots are named in natives.h.
    constexpr Provided entries[] = {
        {slot::if_, if_},       {slot::unless, unless},       {slot::either, either},   {slot::any, any},
        {slot::all, all},       {slot::while_, while_},       {slot::until, until},     {slot::loop, loop},
        {slot::repeat, repeat}, {slot::forever, forever},     {slot::func, func},       {slot::function, natives::function},
        {slot::does, does},     {slot::has, has},             {slot::switch_, switch_}, {slot::case_, case_},
        {slot::try_, try_},     {slot::break_, break_},       {slot::continue_, continue_},
        {slot::exit, exit},     {slot::return_, return_},     {slot::throw_, throw_},   {slot::catch_, catch_},
    };
    static_assert(std::size(entries) == 23);
    provide_all(entries);
}

}  // namespace oru::natives_control
