// The data stack and the call-frame stack.
//
// Every evaluation passes its values through one data stack of 20000 cells
// and records its calls in one call-frame stack of 12000 frames. A call opens
// a frame, pushes its arguments at stack::arguments and leaves its result in
// the first of them (the result slot). The frames say which function, native,
// loop, try or catch is running, so that break, continue, return, exit,
// throw and errors know where to stop (kinds below), error reports can name
// the failing call, and the collector can mark what running functions hold.
//
// Both stacks are fixed buffers that never move, so cell addresses on the
// data stack stay valid for the whole evaluation. A frame keeps the saved
// argument base as a cell index from stack::bottom (frames are five 32-bit
// words). A context whose cell carries flag::ctx_on_stack keeps in its values
// reference (word 2 of the context cell) the data-stack cell index of its
// first value, the same encoding.
#pragma once

#include "runtime/cell.h"
#include "runtime/memory.h"

#include <exception>

namespace oru {

// One call frame: five 32-bit words, 20 bytes.
struct CallFrame {
    // Bits 8-23: the name's symbol id (bits 16-23 of larger ids in bits 0-7);
    // bits 24-27 the kind; frame_flag::body and frame_flag::interp.
    u32 header;
    u32 base;    // saved argument base (the caller's), cell index from stack::bottom
    Node name_ctx;  // context node of the name word
    Node fn_ctx;    // kind 1: the called function's context node, else 0
    u32 values;     // kind 1: that context's values reference at the call, else 0
};
static_assert(sizeof(CallFrame) == 20, "a frame is five 32-bit words");

namespace frame_kind {
constexpr u32 function = 1;  // call of a function (saves the callee context's values reference)
constexpr u32 native = 2;    // native or action; with the body flag, a compiled function's body
constexpr u32 try_ = 4;      // errors stop here
constexpr u32 try_all = 5;   // every unwinding stops here
constexpr u32 catch_ = 6;    // throw stops here
constexpr u32 eval = 7;      // evaluation of a block by the evaluator
constexpr u32 loop = 8;      // break and continue stop here
}  // namespace frame_kind

namespace frame_flag {
constexpr u32 kind_shift = 24;
constexpr u32 kind_mask = 0x0F000000;
constexpr u32 body = 0x10000000;    // return and exit stop at the innermost frame carrying it
constexpr u32 interp = 0x80000000;  // opened by the evaluator (stack::eval_q)
}  // namespace frame_flag

namespace stack {

constexpr i32 data_cells = 20000;
constexpr i32 frame_block_cells = 15000;  // 240000 bytes
constexpr u32 frame_capacity = frame_block_cells * sizeof(Cell) / sizeof(CallFrame);
static_assert(frame_capacity == 12000);

// Data stack: [bottom, end). top is the next free cell; arguments the
// innermost frame's argument base (its first cell is the result slot).
extern Cell* bottom;
extern Cell* top;
extern Cell* arguments;
extern Cell* end;

// Call-frame stack: [frame_bottom, frame_end); frame_top is the next free frame.
extern CallFrame* frame_bottom;
extern CallFrame* frame_top;
extern CallFrame* frame_end;

// The frame `throw` started from, or null; stack::get_call starts there once.
// It may lie above frame_top (the thrower's frames are gone, their words still
// readable). A catch that consumes the throw should clear it once it no
// longer needs the thrower's name: left set, a later get_call would name
// frames that have since been reused.
extern CallFrame* throw_origin;

// Counts this module's writes of a function context's values reference
// (mark_func, and a closed or dropped frame putting its saved reference
// back). Code that keeps where a running function's values are may trust
// what it keeps while the count is unchanged, provided its own writes of the
// reference keep what it keeps in step. Never reset (64 bits do not wrap).
extern u64 reference_writes;

// Symbol ids of the anonymous frame names, cached by init.
extern i32 body_symbol;   // <body>
extern i32 anon_symbol;   // <anon>
extern i32 not_found_symbol;  // <not-found>
extern i32 self_symbol;   // self

// Sets both stacks up on two fixed cell buffers (data_cells and
// frame_block_cells cells) and caches the anonymous names' symbol ids.
void init(Node data_block, Node frame_block);
// Forgets the stacks (their buffers go with the memory they live in).
void shutdown();
inline bool ready() { return bottom != nullptr; }

// ---------------------------------------------------------------------------
// Data stack

// The two overflow paths: the top is lowered by 5 cells (not below bottom) so
// the error can be built, the mold-cycle stack is emptied, and
// internal/stack-overflow is raised.
[[noreturn]] void data_overflow();
[[noreturn]] void frame_overflow();

// The next free cell (not initialised). The 20000th cell is never handed out.
inline Cell* push() {
    Cell* c = top++;
    if (top >= end) [[unlikely]] data_overflow();
    return c;
}

// Copies the value into the next free cell.
inline Cell* push_value(const Cell& value) {
    Cell v = value;  // the value may be the cell being reused
    Cell* c = push();
    *c = v;
    return c;
}

inline Cell* push(const Cell& value) { return push_value(value); }

// Drops n cells, never below bottom.
inline void pop(i32 n) {
    if (n <= 0) return;
    top = (top - bottom) > n ? top - n : bottom;
}

// The last pushed cell, or bottom when the stack is empty.
inline Cell* last_pushed() { return top > bottom ? top - 1 : bottom; }
inline u32 top_type() { return cell::type_of(*last_pushed()); }

// Copies the value into the result slot; top stays.
inline void set_last(const Cell& value) { *arguments = value; }
// top := arguments + 1 cell, then the value goes into the result slot.
inline void set_result(const Cell& value) {
    Cell v = value;
    top = arguments + 1;
    *arguments = v;
}
// Drops everything of the current frame, result slot included.
inline Cell* reset() { return top = arguments; }

// Restores the top when the scope ends normally, dropping together what a
// helper pushed to hold values across an allocation or a dispatch. While a
// throw unwinds, the top stays where the unwinding put it: the error cell
// that throw_error pushed lies above the mark.
class Mark {
public:
    Mark() : saved_(top), unwinding_(std::uncaught_exceptions()) {}
    ~Mark() {
        if (std::uncaught_exceptions() == unwinding_) top = saved_;
    }
    Mark(const Mark&) = delete;
    Mark& operator=(const Mark&) = delete;
    Cell* saved() const { return saved_; }

private:
    Cell* saved_;
    int unwinding_;
};
// Keeps only the result slot.
inline void keep() { top = arguments + 1; }

// Cell index of a data-stack cell from bottom, and back.
inline u32 index_of(const Cell* c) { return static_cast<u32>(c - bottom); }
inline Cell* at_index(u32 i) { return bottom + i; }

// ---------------------------------------------------------------------------
// Opening frames. `name` is a word cell (word 1 its context, word 2 its symbol).

// The header word of a frame: the symbol in bits 8-23, with bits 16-23 of a
// larger id kept in bits 0-7 so that the kind bits never take a symbol's bits.
// Ids below 65536 (nearly all) need only the shift.
inline u32 encode_symbol(u32 sym) {
    if (sym < 0x10000) [[likely]] return sym << 8;
    return ((sym & 0xFFFF) << 8) | ((sym >> 16) & 0xFF);
}

// The general form: kind 1-8, plus frame_flag::body / frame_flag::interp.
// Inline: the evaluator opens one or more frames for every call.
[[gnu::always_inline]] inline void mark_frame(const Cell& name, u32 kind, u32 flags = 0) {
    if (frame_top >= frame_end) [[unlikely]] frame_overflow();
    CallFrame* f = frame_top++;
    f->header = encode_symbol(name.data2) | (kind << frame_flag::kind_shift) | flags;
    f->base = index_of(arguments);
    f->name_ctx = name.data1;
    f->fn_ctx = 0;
    f->values = 0;
    arguments = top;
}
// Kind 1, saving the function context's values reference (ctx may be 0).
inline void mark(const Cell& name, Node fn_ctx, u32 flags = 0) {
    mark_frame(name, frame_kind::function, flags);
    CallFrame* f = frame_top - 1;
    f->fn_ctx = fn_ctx;
    // The context's own cell is the first cell of its buffer.
    f->values = fn_ctx ? reinterpret_cast<Cell*>(memory::buffer(fn_ctx)->head_ptr())->data2 : 0;
}
// Stores the argument base as the context's values reference, then opens a
// kind 2 frame with the body flag (a compiled function's body, name <body>).
void mark_func(const Cell& name, Node fn_ctx);
void mark_native(const Cell& name);
void mark_try(const Cell& name);
void mark_try_all(const Cell& name);
void mark_catch(const Cell& name);
void mark_loop(const Cell& name);
[[gnu::always_inline]] inline void mark_interp_eval(const Cell& name) {
    mark_frame(name, frame_kind::eval, frame_flag::interp);
}
[[gnu::always_inline]] inline void mark_interp_native(const Cell& name) {
    mark_frame(name, frame_kind::native, frame_flag::interp);
}
inline void mark_interp_func(const Cell& name, Node fn_ctx) { mark(name, fn_ctx, frame_flag::interp); }
// mark_interp_func with the body flag set at once, the context's values
// reference given (`values`: read by a caller that holds the context's cell).
[[gnu::always_inline]] inline void mark_interp_body(const Cell& name, Node fn_ctx, u32 values) {
    mark_frame(name, frame_kind::function, frame_flag::interp | frame_flag::body);
    CallFrame* f = frame_top - 1;
    f->fn_ctx = fn_ctx;
    f->values = fn_ctx ? values : 0;
}
// mark_interp_native then mark_interp_eval (a paren's two frames, both
// starting at top), in one step when both fit; else one by one, so that an
// overflow is raised with the first one open.
[[gnu::always_inline]] inline void mark_interp_native_eval(const Cell& name) {
    if (frame_end - frame_top >= 2) [[likely]] {
        const u32 header = encode_symbol(name.data2) | frame_flag::interp;
        CallFrame* const f = frame_top;
        f[0] = CallFrame{header | (frame_kind::native << frame_flag::kind_shift), index_of(arguments), name.data1, 0, 0};
        f[1] = CallFrame{header | (frame_kind::eval << frame_flag::kind_shift), index_of(top), name.data1, 0, 0};
        frame_top = f + 2;
        arguments = top;
        return;
    }
    mark_interp_native(name);
    mark_interp_eval(name);
}

// Flags of open frames.
inline void set_body_flag(bool on) {  // top frame
    if (frame_top == frame_bottom) return;
    if (on) frame_top[-1].header |= frame_flag::body;
    else frame_top[-1].header &= ~frame_flag::body;
}
void set_interp_flag();       // top frame
// When the frame below the top frame lacks the body flag: sets it and returns
// that frame; else null.
CallFrame* flag_caller_body();
void clear_body_flag(CallFrame* frame);
// The top frame, or null when no frame is open.
inline CallFrame* top_frame() { return frame_top > frame_bottom ? frame_top - 1 : nullptr; }
inline u32 depth() { return static_cast<u32>(frame_top - frame_bottom); }

inline u32 kind_of(const CallFrame& f) { return (f.header & frame_flag::kind_mask) >> frame_flag::kind_shift; }
inline i32 symbol_of(const CallFrame& f) {
    return static_cast<i32>(((f.header >> 8) & 0xFFFF) | ((f.header & 0xFF) << 16));
}
inline bool anonymous(const CallFrame& f) {
    i32 s = symbol_of(f);
    return s == body_symbol || s == anon_symbol;
}

// ---------------------------------------------------------------------------
// Closing frames. Restoring writes a frame's saved values reference back into
// its function context's cell: kind 1 frames in unwind_drop and unwind_to,
// any frame with a context in the -func forms.

// top := arguments + 1; arguments := saved base. Closing with no frame open
// is a caller's fault; it leaves the frame stack alone rather than reading
// below its bottom.
inline void unwind() {
    if (frame_top == frame_bottom) [[unlikely]] return;
    const CallFrame& f = *--frame_top;
    top = arguments + 1;
    arguments = bottom + f.base;
}
// unwind, then the closed frame's result into the caller's slot.
inline void unwind_last() {
    if (frame_top == frame_bottom) [[unlikely]] return;
    Cell* result = arguments;
    unwind();
    *arguments = *result;
}
// Closes the top `frames` frames, all opened at the same argument base (no
// function context to restore): the result slot's value moves into the cell
// below that base (the callee value of a call, the paren of a paren), top
// just above it.
[[gnu::always_inline]] inline void unwind_below(u32 frames = 1) {
    if (static_cast<u32>(frame_top - frame_bottom) < frames) [[unlikely]] return;
    Cell* const result = arguments;
    frame_top -= frames;
    arguments = bottom + frame_top->base;
    result[-1] = *result;
    top = result;
}
void unwind_func();
void unwind_func_last();
void unroll();            // arguments := saved base; top := arguments
void unroll_func();
void unwind_drop();
// Drops frames down to the nearest of `kind` (or try/all, or the bottom);
// the frame it stopped at stays open and is returned (null when no frame was
// open). See stack.cpp for where the two pointers end up.
CallFrame* unwind_to(u32 kind, bool keep);
// Drops every frame above f (restoring the function contexts of kind 1
// frames), leaves f open with arguments = top = its callee's own argument
// base, and sets the result slot (the target of break, return and throw).
void land_on(CallFrame* f, const Cell& result);
// unwind_to(kind, keep on), then the current result into that frame's result slot.
void unwind_to_kind_last(u32 kind);
inline CallFrame* unwind_to_loop(bool keep) { return unwind_to(frame_kind::loop, keep); }

// ---------------------------------------------------------------------------
// Unwinding: each ends in the system-level throw.

// break, break/return (value? on) and continue.
[[noreturn]] void throw_break(bool value, bool continue_);
// return (return? on) and exit; keep_top? searches the top frame too.
[[noreturn]] void throw_return(bool return_, bool keep_top);
// throw: the value at stack::arguments, the name (or unset) in the next cell.
[[noreturn]] void throw_throw(u32 code);
// Raises a language error (fire ends here): frames are dropped to the nearest
// try frame and the error is pushed for it; with none, the process ends.
[[noreturn]] void throw_error(const Cell& error);

// ---------------------------------------------------------------------------
// Queries

// A word cell naming the frame's name, bound in its name context.
Cell frame_word(const CallFrame& f);
// The word naming the innermost named frame (<not-found> when none).
Cell get_call();
// True when, walking down from the frame below `frame` (the top frame when
// null), a frame with the interpreter flag is found; only_first looks at one.
bool eval_q(const CallFrame* frame, bool only_first);
// Appends to the block, for each named frame from the top frame down to the
// one just above the bottom frame, its name word and its argument base index.
void collect_calls(const Cell& block);
// Appends to the block the names of the frames from the bottom up to `end_frame`
// (a frame count) for an error's stack field.
void frame_words(i32 level, const Cell& block, u32 end_frame);
// Forms the same selection up to the frame recorded in the error's stack cell
// into the buffer, one space after each name; returns the budget left.
i32 form_frames(i32 level, const Cell& error_stack, Cell* buffer, i32 budget);
// The end of try: an error! last pushed goes into the result slot; then
// top := arguments + 1 cell.
void keep_error_result();

// The collector's hook: reports every context and values node the frames hold.
using MarkNode = void (*)(Node);
void mark_roots(MarkNode mark_context, MarkNode mark_values);

// A word cell for a symbol (unbound, slot unresolved).
inline Cell word(i32 symbol, Node ctx = 0) {
    return cell::make(type::word, ctx, static_cast<u32>(symbol), 0xFFFFFFFF);
}

}  // namespace stack
}  // namespace oru
