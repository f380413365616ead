// Unwinding signals, beside the stack module whose frames they walk: break,
// continue, return, exit and throw do not throw a C++ exception on the hot
// path. Their natives walk the frames
// as the stack module's throw_* do (raising the same errors when nothing
// stops them), leave both stacks exactly as a catch point would find them,
// store the code in interpreter::pending and return it. Every evaluator level
// checks `pending` after each call and returns at once without touching the
// stacks; the consumer (the loop, function call or catch that the walk
// stopped at) takes the code. C++ code that cannot pass a code on (a
// callback, a handler that returns nothing) uses the *_throwing forms, which
// turn a pending code into the system-level throw with the same code: the
// stack state is the same either way, so a consumer handles both alike
// through interpreter::guard. Errors always use fire.
#pragma once

#include "interpreter/stack.h"
#include "runtime/cell.h"
#include "runtime/system.h"

namespace oru::interpreter {

// 0, or the unwinding in progress: throw_code::break_, continue_, return_,
// exit or throw_. Set only by the signal_* calls (and pass_on); cleared by
// the consumer.
extern u32 pending;

// The break, continue, return, exit and throw natives end with one of these
// (and return its result as their own). Each walks the frames like
// stack::throw_break / throw_return / throw_throw: the same errors when no
// loop, function body or catch frame is open or a try/all frame is in the
// way; otherwise the frames above the target are dropped (function contexts
// restored), the target frame stays open with arguments = top = its own
// argument base, the result slot set (break/return's value, or unset), and
// the code is stored in `pending` and returned.
u32 signal_break(bool value, bool continue_);
u32 signal_return(bool return_, bool keep_top);
// The thrown value at stack::arguments, the name (or unset) in the next cell;
// the catch frame receives both pushed, as stack::throw_throw leaves them.
u32 signal_throw(u32 code = throw_code::throw_);

// Takes the pending code (returns it and clears `pending`).
inline u32 take_pending() {
    u32 c = pending;
    pending = 0;
    return c;
}
// Passes a code on from a native that consumed it but does not stop it:
// sets `pending` again and returns the code (natives return it).
inline u32 pass_on(u32 code) { return pending = code; }

// Runs body (returning a pending code, e.g. eval_block's) under a machine
// catch point at `level`; returns the code that ended it, taken from either
// road (pending cleared), or 0 when the body completed. Codes above `level`
// that arrive as a throw pass on as a throw; a pending code above `level` is
// returned too (the caller passes it on with pass_on). Errors (above every
// level but error's) pass on, and so do codes that are not the
// interpreter's (quit, memory failures), whatever the level.
template <class F>
u32 guard(u32 level, F&& body) {
    try {
        u32 c = body();
        if (c == 0) c = pending;
        pending = 0;
        return c;
    } catch (const SystemThrow& t) {
        // Only the interpreter's own codes stop here: a quit, a memory
        // failure or any other system code goes on as the throw it is.
        if (t.code > level || t.code < throw_code::throw_) throw;
        runtime.pending_code = 0;
        return t.code;
    }
}

// Turns a pending code into the system-level throw with that code (for C++
// frames that cannot pass it on); nothing when no code is pending.
void throw_pending();

}  // namespace oru::interpreter
