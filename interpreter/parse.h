// The parse dialect: matching an input series against a block of rules.
//
// `parse` (the native, slot 40) checks its arguments and runs the engine, an
// iterative state machine that never recurses into itself for sub-rules:
// every pending sub-rule and keyword is a three-cell frame on the rule stack,
// every input entered with `into` a cell on the input stack. The two work
// stacks are blocks shared by every parse call (a parse started from code a
// rule runs stacks its entries above the live ones), so the machine stack
// stays flat whatever the depth of the rules; neither may hold more than
// 10000 cells (script/parse-stack). See parse_engine.h for the frames and
// the states.
#pragma once

#include "runtime/cell.h"

namespace oru::parse {

// The most cells either work stack may hold.
constexpr i32 stack_limit = 10000;

// Makes the two work blocks (start-up, after the native table). Until then
// `parse` raises internal/not-done.
void init();

// Marks the work blocks (a collector mark callback; runtime start-up
// registers it).
void mark();

// Runs the engine: `input` (any series, matched from its index) against the
// `rules` block, comparing under `comparison` (0 equal, 2 strict-equal),
// with `limit` an absolute index past which the input counts as ended (0 for
// none) and `callback` the /trace function (null without). Returns the
// result cell, pushed on the data stack: true or false, or the block a
// top-level collect made.
Cell* process(const Cell& input, const Cell& rules, i32 comparison, i32 limit, const Cell* callback);

// The work any parse may still do before raising internal/limit-hit: one
// for each engine step, and the length of the input for each edit or copy of
// it; negative (the default) for no limit. Only test harnesses set it, so
// that rules that loop without end (`while` over a rule that consumes
// nothing) or grow their input without end (inserting it into itself) stop.
extern i64 step_budget;

// Hands the native's routine to the native table.
void register_all();

}  // namespace oru::parse

namespace oru::natives {

// parse: input rules /case /part length /trace callback
u32 parse(bool check, const i32* refinements);

}  // namespace oru::natives
