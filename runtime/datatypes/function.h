// function!: user-level functions, their spec dialect and their extra block.
//
// A function cell is {header type 24 plus the attribute flags, context node,
// spec node, extra-block node}. The context (kind 1) has one slot per
// argument, refinement, refinement argument and local, and its values live on
// the data stack while a call runs; its self cell holds a copy of the
// function cell. The extra block has five cells: the body (a deep copy, head
// 0, or none), the cached arguments description, the compiled entry
// (integer!, or unset!), the function itself once an op! wraps it, and the
// owning object's context node (integer!, or unset!). Two function values are
// the same function exactly when they share the extra block.
//
// Any allocation may move every buffer: the code here walks blocks by node
// and index and keeps what it makes on the data stack until it is reachable.
// The action table is at the bottom of function.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::function {

// Header flags of a function cell, taken from the spec's attribute block.
namespace attribute {
constexpr u32 trace = 0x400;
constexpr u32 no_trace = 0x200;
constexpr u32 mask = trace | no_trace;
}  // namespace attribute

// The cells of the extra block (0-based).
namespace extra {
constexpr i32 body = 0;       // body block, or none
constexpr i32 arguments = 1;  // arguments description block, unset! until first needed
constexpr i32 entry = 2;      // integer!: compiled entry, else unset!
constexpr i32 op = 3;         // the wrapped function once an op! is made from it, else unset!
constexpr i32 owner = 4;      // integer!: owning object's context node, else unset!
constexpr i32 cells = 5;
}  // namespace extra

// Header bits 20-21 of a typeset in an arguments description: how the
// argument is fetched.
namespace arg_kind {
constexpr u32 mask = 0x300000;
constexpr u32 word = 0;             // evaluated
constexpr u32 get_word = 0x100000;  // passed as it is
constexpr u32 lit_word = 0x200000;  // quoted
constexpr u32 return_ = 0x300000;   // the return type, skipped when fetching
}  // namespace arg_kind

// Accessors of a function (or routine) cell.
inline Node context_of(const Cell& fn) { return fn.data1; }
inline Node spec_of(const Cell& fn) { return fn.data2; }
inline Node extra_of(const Cell& fn) { return fn.data3; }
// Cell i of the extra block; valid until the next allocation.
Cell* extra_cell(const Cell& fn, i32 i);

// --- The spec dialect ------------------------------------------------------

// Checks a spec from its position and returns its attribute flags. Raises
// script/bad-func-def (with the spec), script/dup-vars (with the second
// name), script/invalid-type-spec or script/no-value (type blocks).
u32 validate(const Cell& spec);

// No two words, refinements, lit-words or get-words of the spec may share a
// canonical id: script/dup-vars with the second.
void check_duplicates(const Cell& spec);

// Every element of an argument's type block must be, or be a word whose
// value is, a datatype!, typeset! or word!: else script/invalid-type-spec
// with that value; an unset word raises script/no-value.
void check_type_block(const Cell& block);

// The flags of an attribute block (trace, no-trace; other words have no
// effect), or -1 when it holds anything but words.
i32 attribute_flags(const Cell& block);

// The `function` native's spec completion: `spec` is the caller's own
// shallow copy, changed in place. Words after /extern are not collected (and
// /extern with everything after it is cut off; words after a /local that
// follows them become locals), nor are the spec's own words; every set-word of
// the body (deeply through blocks and parens) is, as is the loop word or word
// block after foreach, remove-each and repeat. The collected words are
// appended after a /local (added when missing). script/bad-func-extern for
// a value of another type in a spec that holds /extern.
void collect_locals(const Cell& spec, const Cell& body);

// Slots from /local on (the refinement plus each word! after it, up to a
// set-word, a refinement or the end) in the spec block `spec` from cell
// index `start`; without /local 0, or -1 with `required`.
i32 count_locals(Node spec, i32 start, bool required);

// Pushes false (the /local flag), then n - 1 times none; nothing for n < 1.
void init_locals(i32 n);

// --- Function values -------------------------------------------------------

// Pushes a new function value and returns its context. A spec whose position
// is past its head is copied from there; a position past the tail counts as
// the tail. `body` may be none. Without a context (0) one is made from the
// spec and the body copy is bound to it. `entry` (compiled code) and `owner`
// (an object's context) are stored when nonzero. `flags` are the attribute
// flags.
Node push(const Cell& spec, const Cell& body, Node context, u32 entry, Node owner, u32 flags);

// What `func` does: validates the spec and pushes a function made from spec
// and body with a new context. Returns the pushed cell.
Cell* make_func(const Cell& spec, const Cell& body);

// The arguments description of a function-like value built from a spec
// block (see the evaluator): per argument a typeset with the fetch kind in
// header bits 20-21, per refinement the refinement, and after the last item
// an integer! with the /local slot count when there is a /local. With
// `native` (natives and actions) each refinement carries its ordinal in
// payload word 3 and an integer! with the refinement count follows when
// there is at least one. Returns the new block's node (not rooted: store it
// before the next allocation).
Node build_arguments(const Cell& spec, bool native);

// What the evaluator needs to know of a description without walking it,
// kept in word 3 (unused by block!) of the cell that caches the description
// (extra-block cell 1 of a function or routine, auxiliary cell 1 of a native
// or action). The description never changes once built, so neither does
// its signature. A cached cell without `valid` (built elsewhere) is walked.
namespace signature {
constexpr u32 valid = 0x80000000;
constexpr u32 integer_pair = 0x40000000;  // items 0 and 1 take evaluated integer!s, no third argument
constexpr u32 plain = 0x20000000;         // only evaluated arguments: no refinement, get- or lit-word
constexpr u32 refinements_shift = 16;     // refinement items (counted up to 255)
constexpr u32 refinements_mask = 0xFF0000;
inline u32 refinements(u32 sig) { return (sig & refinements_mask) >> refinements_shift; }
// Items 0 to arity - 1 are the evaluated arguments taken when no refinement
// is named, and the only ones: such a call takes one loop over those items
// (with `plain` too for a function, whose refinements need slots). Arity and
// the value of the last integer! item (a function's /local slot count, a
// native's refinement count; 0 without one) are kept below, each under 256.
// No direct description has more than most_refinements refinements (the
// most a native's routine takes positions for).
constexpr u32 direct = 0x10000000;
constexpr u32 most_refinements = 32;
inline i32 arity(u32 sig) { return static_cast<i32>(sig & 0xFF); }
inline i32 locals(u32 sig) { return static_cast<i32>((sig >> 8) & 0xFF); }
}  // namespace signature
u32 signature_of(Node desc);

// The arguments description of a function or routine, built and cached in
// extra cell `arguments` on first use.
Node arguments(const Cell& fn);

// Registers function! (parent context!).
void init();

}  // namespace oru::function
