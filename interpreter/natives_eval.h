// Evaluation, binding and access natives: do, reduce, compose, get, set,
// bind, in, construct, value?, type?, unset, new-line, new-line?, context?,
// and transcode (the lexer's native front end); the calling of language
// callbacks from C++ (the lexer's and the evaluator's tracers) and the trace
// run that do/trace starts.
//
// Each is a native::Entry: arguments at stack::arguments, the result in the
// first of them. Every value held across an evaluation or an allocation sits
// on the data stack (a fixed buffer, so stack addresses stay valid); series
// cells are fetched again by index after each such call.
#pragma once

#include "runtime/cell.h"

#include <string>

namespace oru::natives {

u32 do_(bool check, const i32* refinements);
u32 reduce(bool check, const i32* refinements);
u32 compose(bool check, const i32* refinements);
u32 get(bool check, const i32* refinements);
u32 set(bool check, const i32* refinements);
u32 bind(bool check, const i32* refinements);
u32 in(bool check, const i32* refinements);
u32 construct(bool check, const i32* refinements);
u32 value_q(bool check, const i32* refinements);
u32 type_q(bool check, const i32* refinements);
u32 unset(bool check, const i32* refinements);
u32 new_line(bool check, const i32* refinements);
u32 new_line_q(bool check, const i32* refinements);
u32 context_q(bool check, const i32* refinements);
u32 transcode(bool check, const i32* refinements);

// Whether the block holds a preprocessor directive at any depth of blocks
// and parens (the value after #system or #system-global passed over, as the
// preprocessor passes it). Without one, and without macros, expanding the
// block leaves it as it is.
bool any_directive_q(const Cell& blk);

// --- Language callbacks called from C++ -----------------------------------

// Calls a callback (function! or routine!) with `count` arguments in a call
// frame named `name`; callback_bit tells the evaluator which internal
// callback this is (lexer 1, parse 2, ...). The callback must take exactly
// `count` arguments, else script/invalid-arg with it; its refinements and
// locals start as for a call without them. Returns the callback's answer;
// args[1..count-1] receive the argument slots as the callback left them (a
// callback may move a series it was handed). The data stack and the frames
// are as they were afterwards. The cell at the top when called lies under
// the callback's frame, where the collector reads it: it is set to none,
// unless `keep_top` says it holds a live value (an unwinding's result slot,
// as the tracer meets it), which is then kept as it is. A pending unwinding
// out of the callback (a throw to an outer catch) goes on as the
// system-level throw.
Cell call_callback(const Cell& callback, const Cell& name, u32 callback_bit, Cell* args, i32 count,
                   bool keep_top = false);

// Calls a port actor's function! in a call frame named `name` with
// args[0..count) (on the data stack) filling its parameter slots in order,
// as port::call_actor describes: slots it lacks are dropped, missing ones
// are false for a refinement and none for an argument. Traced as the port
// callback (32). Returns the function's answer; the stacks are as they were.
Cell call_actor(const Cell& fn, const Cell& name, Cell* args, i32 count);

// The events a callback wants: when the first value of its body is a block,
// the OR of bit i for every word in it whose canonical symbol is that of
// events[i] (other values count 0, so an empty block wants nothing);
// otherwise `all`. The filter sits in the body, never in the spec, whose
// leading block holds the function's attributes.
u32 event_filter(const Cell& callback, const Cell* events, i32 count, u32 all);

// Where the script header ("Oru", an optional "/System", white space, "[")
// starts in a script's text, -1 when it has none: the boot program's search,
// installed by it so that `do` of a file checks the header exactly as the
// command line's script launch does. While it is not installed `do` of a
// file raises internal/feature-na.
using HeaderFinder = long (*)(const std::string& text);
extern HeaderFinder find_script_header;

// The library's script runner (`do-file`: file, callback, arguments), which
// `do` calls for every file! and url!; none until start-up installs it, and
// then `do` runs a file itself, without the `system` bookkeeping.
extern Cell script_runner;

}  // namespace oru::natives

namespace oru::natives_eval {

// Hands the routines above to the native table (natives::provide) for their
// fixed slots.
void register_all();

}  // namespace oru::natives_eval
