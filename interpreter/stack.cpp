// The data stack and the call-frame stack: pushing, opening and closing
// frames, the unwinding of break, continue, return, exit, throw and errors,
// and the queries that name running calls.
//
// Opening and closing a frame are a few stores; the only test is overflow.
// The unwinding operations move the two stacks to where the catching native
// expects them and then start the system-level throw; the machine frames in
// between unwind through C++ exceptions.
#include "interpreter/stack.h"

#include "interpreter/actions.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/fire.h"
#include "runtime/memory.h"
#include "runtime/system.h"


namespace oru::stack {

Cell* bottom = nullptr;
Cell* top = nullptr;
Cell* arguments = nullptr;
Cell* end = nullptr;

CallFrame* frame_bottom = nullptr;
CallFrame* frame_top = nullptr;
CallFrame* frame_end = nullptr;
CallFrame* throw_origin = nullptr;
u64 reference_writes = 0;

i32 body_symbol = 0;
i32 anon_symbol = 0;
i32 not_found_symbol = 0;
i32 self_symbol = 0;

namespace {

// The context's own cell: the first cell of its buffer.
inline Cell* context_cell(Node ctx) { return reinterpret_cast<Cell*>(memory::buffer(ctx)->head_ptr()); }

inline void restore(const CallFrame& f) {
    if (f.fn_ctx) {
        context_cell(f.fn_ctx)->data2 = f.values;
        reference_writes++;
    }
}

inline void restore_kind1(const CallFrame& f) {
    if (kind_of(f) == frame_kind::function) restore(f);
}

inline Cell* base_of(const CallFrame& f) { return bottom + f.base; }

// Closes every frame above index `keep`, restoring the contexts of the
// function calls among them (their values may point at dropped cells).
inline void drop_frames_above(u32 keep) {
    for (CallFrame* f = frame_top; f > frame_bottom + keep + 1;) restore_kind1(*--f);
    frame_top = frame_bottom + keep + 1;
}

// The argument base of frame i itself: what the frame above it saved, or the
// current base when it is the top frame.
inline Cell* own_base(u32 i, u32 depth_now) { return i + 1 < depth_now ? base_of(frame_bottom[i + 1]) : arguments; }

[[noreturn]] void lower_and_raise() {
    top = top - bottom > 5 ? top - 5 : bottom;
    cycles::reset();
    fire(ErrorId::internal_stack_overflow);
}

}  // namespace

void init(Node data_block, Node frame_block) {
    SeriesBuffer* d = memory::buffer(data_block);
    bottom = top = arguments = reinterpret_cast<Cell*>(d->data());
    end = bottom + d->size / static_cast<i32>(sizeof(Cell));
    SeriesBuffer* f = memory::buffer(frame_block);
    frame_bottom = frame_top = reinterpret_cast<CallFrame*>(f->data());
    frame_end = frame_bottom + static_cast<u32>(f->size) / sizeof(CallFrame);
    throw_origin = nullptr;
    body_symbol = symbol::make("<body>");
    anon_symbol = symbol::make("<anon>");
    not_found_symbol = symbol::make("<not-found>");
    self_symbol = symbol::make("self");
}

void shutdown() {
    bottom = top = arguments = end = nullptr;
    frame_bottom = frame_top = frame_end = throw_origin = nullptr;
}

[[noreturn]] void data_overflow() { lower_and_raise(); }
[[noreturn]] void frame_overflow() { lower_and_raise(); }

// ---------------------------------------------------------------------------
// Opening frames

void mark_func(const Cell& name, Node fn_ctx) {
    // The function's arguments and locals are the stack cells from here on.
    // The reference is the cell index + 1: 0 means "not running", and a
    // function may well start at the stack's first cell.
    if (fn_ctx) {
        context_cell(fn_ctx)->data2 = index_of(arguments) + 1;
        reference_writes++;
    }
    mark_frame(name, frame_kind::native, frame_flag::body);
}

void mark_native(const Cell& name) { mark_frame(name, frame_kind::native); }
void mark_try(const Cell& name) { mark_frame(name, frame_kind::try_); }
void mark_try_all(const Cell& name) { mark_frame(name, frame_kind::try_all); }
void mark_catch(const Cell& name) { mark_frame(name, frame_kind::catch_); }
void mark_loop(const Cell& name) { mark_frame(name, frame_kind::loop); }

void set_interp_flag() {
    if (CallFrame* f = top_frame()) f->header |= frame_flag::interp;
}

CallFrame* flag_caller_body() {
    if (depth() < 2) return nullptr;
    CallFrame* f = frame_top - 2;
    if (f->header & frame_flag::body) return nullptr;
    f->header |= frame_flag::body;
    return f;
}

void clear_body_flag(CallFrame* frame) {
    if (frame) frame->header &= ~frame_flag::body;
}

// ---------------------------------------------------------------------------
// Closing frames. Closing with no frame open is a caller's fault; it leaves
// the frame stack alone rather than reading below its bottom.

void unwind_func() {
    if (frame_top == frame_bottom) [[unlikely]] return;
    restore(frame_top[-1]);
    unwind();
}

void unwind_func_last() {
    if (frame_top == frame_bottom) [[unlikely]] return;
    restore(frame_top[-1]);
    unwind_last();
}

void unroll() {
    if (frame_top == frame_bottom) [[unlikely]] return;
    const CallFrame& f = *--frame_top;
    arguments = base_of(f);
    top = arguments;
}

void unroll_func() {
    if (frame_top == frame_bottom) [[unlikely]] return;
    restore(frame_top[-1]);
    unroll();
}

void unwind_drop() {
    if (frame_top == frame_bottom) [[unlikely]] return;
    const CallFrame& f = *--frame_top;
    restore_kind1(f);
    if (frame_top == frame_bottom) {
        arguments = top = bottom;
    } else {
        top = arguments;
        arguments = base_of(f);
    }
}

void land_on(CallFrame* f, const Cell& result) {
    // The callee's own base: the one saved by the frame above f, or the
    // current one when f is the top frame.
    Cell* const base = f + 1 < frame_top ? at_index(f[1].base) : arguments;
    // The references put back are those of calls that have ended, each the
    // one in force where its frame was opened: the evaluator's record of
    // the running function stays current, so reference_writes is not bumped.
    for (CallFrame* g = frame_top; g-- > f + 1;)
        if (g->fn_ctx && kind_of(*g) == frame_kind::function) context_cell(g->fn_ctx)->data2 = g->values;
    frame_top = f + 1;
    arguments = top = base;
    set_last(result);
}

// The walk that errors, compiled break/continue and compiled return use:
// 1. drop frames (restoring kind 1 contexts) until one of `kind` or of kind 5
//    (try/all stops every unwinding) is dropped, or the bottom is reached;
// 2. with keep on, the frame it stopped at goes back now;
// 3. top := arguments + 1 cell, and arguments := the base saved in the frame
//    just above the frame top: with keep on the stop frame's own base, with
//    keep off its caller's. Nothing dropped: only top moves; frame stack
//    empty: both go to bottom;
// 4. with keep off, the stop frame goes back now. It stays open either way
//    (even when it is just the bottom frame of another kind): the code that
//    opened it closes it.
CallFrame* unwind_to(u32 kind, bool keep) {
    CallFrame* const start = frame_top;
    CallFrame* f = frame_top;
    while (f > frame_bottom) {
        --f;
        restore_kind1(*f);
        u32 k = kind_of(*f);
        if (k == kind || k == frame_kind::try_all) break;
    }
    const bool dropped = f < start;
    frame_top = f;
    if (keep && dropped) frame_top = f + 1;
    if (frame_top == start) {
        top = arguments + 1;
    } else if (frame_top == frame_bottom) {
        arguments = top = bottom;
    } else {
        top = arguments + 1;
        arguments = base_of(*frame_top);
    }
    if (!keep && dropped) frame_top = f + 1;
    return dropped ? f : nullptr;
}

void unwind_to_kind_last(u32 kind) {
    Cell result = *arguments;
    unwind_to(kind, true);
    *arguments = result;
}

// ---------------------------------------------------------------------------
// Unwinding

[[noreturn]] void throw_break(bool value, bool continue_) {
    const u32 n = depth();
    const ErrorId no_loop = continue_ ? ErrorId::throw_continue : ErrorId::throw_break;
    // The top frame is the break or continue native itself.
    for (i64 i = static_cast<i64>(n) - 2; i >= 0; --i) {
        u32 k = kind_of(frame_bottom[i]);
        if (k == frame_kind::try_all) fire(no_loop);
        if (k != frame_kind::loop) continue;
        Cell result = value && !continue_ ? *arguments : Cell{type::unset, 0, 0, 0};
        Cell* base = own_base(static_cast<u32>(i), n);
        drop_frames_above(static_cast<u32>(i));
        arguments = top = base;
        set_last(result);
        system_throw(continue_ ? throw_code::continue_ : throw_code::break_);
    }
    fire(no_loop);
}

[[noreturn]] void throw_return(bool return_, bool keep_top) {
    const u32 n = depth();
    for (i64 i = static_cast<i64>(n) - (keep_top ? 1 : 2); i >= 0; --i) {
        const CallFrame& f = frame_bottom[i];
        if (kind_of(f) == frame_kind::try_all) fire(ErrorId::throw_return);
        if (!(f.header & frame_flag::body)) continue;
        Cell result = return_ ? *arguments : Cell{type::unset, 0, 0, 0};
        Cell* base = own_base(static_cast<u32>(i), n);
        drop_frames_above(static_cast<u32>(i));
        arguments = top = base;
        set_last(result);
        system_throw(return_ ? throw_code::return_ : throw_code::exit);
    }
    fire(ErrorId::throw_return);
}

[[noreturn]] void throw_throw(u32 code) {
    const u32 n = depth();
    const Cell value = *arguments;
    const Cell name = arguments + 1 < top ? arguments[1] : Cell{type::unset, 0, 0, 0};
    // The origin leaves out the throw native's own frame, so that get_call
    // names the function that threw.
    if (!throw_origin) throw_origin = n ? frame_top - 1 : frame_top;
    for (i64 i = static_cast<i64>(n) - 2; i >= 0; --i) {
        u32 k = kind_of(frame_bottom[i]);
        if (k == frame_kind::try_all) fire(ErrorId::throw_throw, value);
        if (k != frame_kind::catch_) continue;
        Cell* base = own_base(static_cast<u32>(i), n);
        drop_frames_above(static_cast<u32>(i));
        arguments = top = base;
        push_value(value);
        push_value(name);
        system_throw(code);
    }
    fire(ErrorId::throw_throw, value);
}

[[noreturn]] void throw_error(const Cell& error) {
    const Cell err = error;
    const bool value = error::error_q(err);  // an error! value (else only pending_error speaks for it)
    CallFrame* stop = nullptr;
    if (frame_top > frame_bottom) {
        const Cell where = get_call();
        pending_error.where = where;
        pending_error.stack = cell::integer(static_cast<i32>(depth()));
        if (value) {
            error::set_where(err, where);
            Cell* st = error::field_at(err, error::stack_index());
            if (cell::type_of(*st) != type::block) *st = pending_error.stack;
        }
        Cell* saved_top = top;
        stop = unwind_to(frame_kind::try_, false);
        --frame_top;  // the try frame closes here; its native finds the error
        top = saved_top;
    }
    // Only a try or try/all frame catches. A walk that reached the bottom
    // stopped at whatever frame was there, and with no frame open at all
    // there is nobody to catch it either.
    if (!stop || (kind_of(*stop) != frame_kind::try_ && kind_of(*stop) != frame_kind::try_all)) {
        set_last(err);
        report_uncaught(err);
    }
    // Leave room for the error cell even when the stack was full.
    if (top + 1 >= end) top = end - 5;
    push_value(err);
    system_throw(throw_code::error);
}

// ---------------------------------------------------------------------------
// Queries

Cell frame_word(const CallFrame& f) { return word(symbol_of(f), f.name_ctx); }

Cell get_call() {
    CallFrame* f = throw_origin ? throw_origin : frame_top;
    throw_origin = nullptr;
    while (f > frame_bottom) {
        --f;
        if (!anonymous(*f)) return frame_word(*f);
    }
    return word(not_found_symbol);
}

bool eval_q(const CallFrame* frame, bool only_first) {
    i64 i = frame ? frame - frame_bottom - 1 : static_cast<i64>(depth()) - 1;
    for (; i >= 0; --i) {
        if (frame_bottom[i].header & frame_flag::interp) return true;
        if (only_first) break;
    }
    return false;
}

void collect_calls(const Cell& block) {
    const Node node = cell::node(block);
    for (u32 i = depth(); i-- > 1;) {
        const CallFrame& f = frame_bottom[i];
        if (anonymous(f)) continue;
        // Bound where the name was found (so that its value is the function
        // called), else in the global context; unbound when neither has it.
        Node ctx = f.name_ctx ? f.name_ctx : context::global;
        i32 slot = context::find_word(ctx, symbol_of(f), false);
        if (slot < 0 && ctx != context::global) {
            ctx = context::global;
            slot = context::find_word(ctx, symbol_of(f), false);
        }
        Cell name = word(symbol_of(f), slot < 0 ? 0 : ctx);
        if (slot >= 0) name.data3 = static_cast<u32>(slot);
        Cell index = cell::integer(static_cast<i32>(f.base));
        *memory::alloc_tail(node) = name;
        *memory::alloc_tail(node) = index;
    }
}

namespace {

// Whether an error's stack lists the frame: at level 2 and above every named
// frame, below that the calls of functions, told by the name's value being a
// function!. The value is read in the name's context while the frame is
// open; a closed frame's context may be gone, so its name is read in the
// global context when it was bound there, and otherwise the frame counts as
// a function call when it is one (kind 1).
bool listed(const CallFrame& f, i32 level, bool open) {
    if (anonymous(f)) return false;
    if (level > 1) return true;
    Node ctx = f.name_ctx ? f.name_ctx : context::global;
    if (!open && ctx != context::global) ctx = 0;
    if (!ctx) return kind_of(f) == frame_kind::function;
    const Cell* v = context::find_value(symbol_of(f), ctx);
    return v && cell::type_of(*v) == type::function;
}

}  // namespace

void frame_words(i32 level, const Cell& block, u32 end_frame) {
    const Node node = cell::node(block);
    if (end_frame > frame_capacity) end_frame = frame_capacity;
    for (u32 i = 0; i < end_frame; i++) {
        const CallFrame& f = frame_bottom[i];
        if (listed(f, level, i < depth())) *memory::alloc_tail(node) = frame_word(f);
    }
}

i32 form_frames(i32 level, const Cell& error_stack, Cell* buffer, i32 budget) {
    // The frames stay in the frame block after unwinding until new frames
    // overwrite them, so the frames of the error's moment are still readable
    // when the error is formed right after it was caught.
    if (cell::type_of(error_stack) != type::integer) return budget;
    i32 recorded = static_cast<i32>(error_stack.data2);
    u32 end_frame = recorded < 0 ? 0 : static_cast<u32>(recorded);
    if (end_frame > frame_capacity) end_frame = frame_capacity;
    for (u32 i = 0; i < end_frame && budget > 0; i++) {
        const CallFrame f = frame_bottom[i];
        if (!listed(f, level, i < depth())) continue;
        Cell name = frame_word(f);
        budget = actions::form(&name, buffer, nullptr, budget);
        string::append_char(cell::node(*buffer), ' ');
        budget -= 1;
    }
    return budget;
}

void keep_error_result() {
    Cell* last = last_pushed();
    if (cell::type_of(*last) == type::error) *arguments = *last;
    top = arguments + 1;
}

void mark_roots(MarkNode mark_context, MarkNode mark_values) {
    for (CallFrame* f = frame_bottom; f < frame_top; f++) {
        if (f->name_ctx) {
            if (symbol_of(*f) == self_symbol) mark_values(f->name_ctx);
            else mark_context(f->name_ctx);
        }
        if (f->fn_ctx) {
            mark_context(f->fn_ctx);
            // An on-stack context's values reference points into the data stack.
            if (f->values && !(context_cell(f->fn_ctx)->header & flag::ctx_on_stack)) mark_values(f->values);
        }
    }
}

}  // namespace oru::stack
