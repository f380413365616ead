// The parse engine's machine, shared by its three files: parse.cpp (the
// states, frames, tracing and the native), parse_match.cpp (matching,
// repetition and searching over the input) and parse_capture.cpp (the
// keywords that capture, collect or modify).
//
// Rule stack frames, three cells each, the top frame last:
//
//   block frame     none!            | position record | rules block being left
//   keyword frame   triple or word   | position record | pair! (kind, flag)
//
//   position record: triple! {rule index, input index, remaining length}.
//   The rule index is relative to the index of the block the rule lies in
//   (a block frame: the block being left, so -1 for the first frame); the
//   input index and remaining length are those at the frame's start. When a
//   keyword frame is popped its kind code is written into the remaining
//   length of the frame then on top (keep reads it to learn its rule was a
//   copy; the repetition stop rule compares against it).
//   Keyword frame cell 1: `copy` and `set` keep their target word; the others
//   a triple! {minimum, maximum (-1 none), counter from 1}, where `case`
//   keeps the saved comparison and `collect` the target's index in the
//   maximum. Cell 3: pair! with the kind in x and the `pick` flag of `keep`
//   in y.
//
// The input stack holds one cell per input level, the current level's on
// top; the engine works on its own copy of the current input (Engine::in),
// written back to the top cell only when `into` enters a sub-series.
//
// Every buffer address here is taken from a node again after anything that
// can allocate or run code: the engine keeps positions as indexes (the rule
// position is an absolute cell index in the current rules block), and the
// cells it must keep alive (its input, rules, the value under examination)
// sit on the data stack for the whole run.
#pragma once

#include "interpreter/parse.h"
#include "runtime/cell.h"
#include "runtime/memory.h"

#include <bit>

namespace oru::parse {

// Kind codes of keyword frames. No keyword has -8, -10 or -15.
namespace kind {
constexpr i32 repeat = -1, to = -2, thru = -3, copy = -4, set = -5, not_ = -6, into = -7, remove = -9, while_ = -11,
              collect = -12, keep = -13, keep_paren = -14, ahead = -16, change = -17, change_only = -18, case_ = -19;
}

// The keywords, recognised by canonical symbol (`|` by exact symbol).
enum class Keyword : u8 {
    none_ = 0,  // not a keyword
    any, break_, copy, end, fail, into, opt, not_, quote, case_, reject, set, skip, some, thru, to, none, bar, if_,
    remove, while_, insert, only, collect, keep, pick, ahead, after, change,
};
Keyword keyword_of(const Cell& word);

// The work stacks: the input stack, then the rule stack (block cells kept
// in globals, marked by mark()).
extern Cell work_stacks[2];
inline Cell& input_stack() { return work_stacks[0]; }
inline Cell& rule_stack() { return work_stacks[1]; }

// Cell i of a block's buffer from its first cell, and the cells it holds
// (valid until the next allocation).
inline Cell* cell_at(const Cell& blk, i32 i) {
    return reinterpret_cast<Cell*>(memory::buffer(cell::node(blk))->head_ptr()) + i;
}
inline i32 cells_in(const Cell& blk) {
    const SeriesBuffer* s = memory::buffer(cell::node(blk));
    return static_cast<i32>((s->tail - s->head) / sizeof(Cell));
}

// Thrown when the trace callback answers false or none: parsing stops.
struct Stop {};

enum class State : u8 {
    enter_block,    // 0
    leave_block,    // 1
    push_keyword,   // 2
    resolve,        // 3
    after_rule,     // 4
    match_value,    // 5
    advance,        // 6
    next_rule,      // 7
    match_literal,  // 8
    keyword_rule,   // 9
    backtrack,      // 10
    word_rule,      // 11
    end,            // 12
};

struct Engine {
    // Data-stack cells, fixed for the whole run.
    Cell* result = nullptr;       // the result slot
    Cell* in = nullptr;           // the current input (its index is live)
    Cell* rules = nullptr;        // the current rules block
    Cell* value = nullptr;        // the value under examination
    Cell* paren_value = nullptr;  // the last paren's value (keep of a paren)
    Cell* copy_word = nullptr;    // the word of the last copy resolved (keep of a copy)
    u32 collect_base = 0;         // stack index of the first collect cell
    const Cell* callback = nullptr;

    i32 pos = 0;    // rule position: absolute cell index in *rules
    i32 level = 0;  // input levels entered with `into`
    i32 limit = 0;  // absolute /part limit of the first level, 0 for none
    i32 op = 0;     // comparison: 0 equal, 2 strict-equal
    i32 collect_depth = 0;
    bool match = true;
    bool break_pending = false;
    bool pop = false;
    bool completed = false;  // the last block left had reached its tail
    bool kw_arg = false;     // the word examined is a keyword's argument
    bool from_word = false;  // the value examined is a word's value, not the rule cell
    bool collected = false;
    bool no_cell = false;    // the keyword on top has no rule after it

    // The keyword frame state 2 pushes.
    i32 pend_kind = 0, pend_min = 0, pend_max = 0, pend_flag = 0;
    Cell pend_word{};

    // --- The machine (parse.cpp) ------------------------------------------
    void run();
    State enter_block();
    State leave_block();
    State push_keyword();
    State resolve();
    State after_rule();
    State match_value();
    State match_count();
    i32 rule_end(i32 at) const;
    State advance();
    State next_rule();
    State match_literal();
    State keyword_rule();
    State backtrack();
    State word_rule();
    State start_into();
    void finish_into();
    void end_state();
    void repetition(i32 frame, i32 k);
    void search_block(i32 frame, i32 k);

    // Tracing: calls the callback with the event word; throws Stop when it
    // answers false or none.
    void trace(const Cell& event) {
        if (callback) [[unlikely]] deliver(event);
    }
    void deliver(const Cell& event);

    // Evaluates a paren (the input stack set aside meanwhile) and returns
    // its value; a pending unwinding out of it goes on as the system throw.
    Cell eval_paren(const Cell& paren);
    // After code ran: the rules block's tail again, the position clamped to
    // it (an emptied block leaves it at the tail), the input index clamped
    // to its tail.
    void rules_changed();
    void input_changed();

    // --- Input --------------------------------------------------------------
    i32 idx() const { return cell::head_index(*in); }
    void set_idx(i32 i) { in->data1 = static_cast<u32>(i); }
    i32 in_tail() const {
        const SeriesBuffer* s = memory::buffer(cell::node(*in));
        return static_cast<i32>((s->tail - s->head) >> std::countr_zero(s->unit() | 32u));
    }
    // Units from the index to the tail (0 at or past it).
    i32 remaining() const;
    // The index past which the input counts as ended: its tail, or the /part
    // limit on the first level when that is smaller.
    i32 end_index() const;
    bool end_q() const { return idx() >= end_index(); }
    u32 in_type() const { return cell::type_of(*in); }

    // --- Rules ----------------------------------------------------------------
    i32 rules_len() const { return cells_in(*rules); }
    i32 rules_head() const;
    // The rule cell at an absolute index (valid until the next allocation).
    Cell* rule_at(i32 i) const { return cell_at(*rules, i); }
    bool top_is_keyword() const {
        const i32 top = frame_top();
        return top >= frames_base() && cell::type_of(*frame_cell(top, 0)) != type::none;
    }

    // --- Rule stack -------------------------------------------------------------
    i32 frame_top() const { return cells_in(rule_stack()) - 3; }  // the top frame's first cell
    i32 frames_base() const { return cell::head_index(rule_stack()); }
    Cell* frame_cell(i32 frame, i32 k) const { return cell_at(rule_stack(), frame + k); }
    i32 kind_of(i32 frame) const { return static_cast<i32>(frame_cell(frame, 2)->data2); }
    // Pushes a frame's three cells (script/parse-stack past the limit).
    void push_frame(Cell c1, Cell c2, Cell c3);
    // Drops the top frame; a keyword frame's kind goes into the new top's record.
    void drop_frame();
    Cell position_record() const;
    // Position from a frame's record: the rule index made absolute in the
    // current rules block, clamped to its tail.
    void position_from(i32 frame);

    // --- Matching (parse_match.cpp) ---------------------------------------------
    bool compare_item(i32 index, const Cell& v);
    // The datatype or typeset test at the input position (state 5).
    bool match_type(const Cell& v);
    // The literal match of state 8 at the input position, advancing past it.
    bool match_here(const Cell& v);
    // The fast repetition of a plain value (kinds -1 and -11).
    bool loop_value(const Cell& v, i32 min, i32 max);
    // The search of `to` and `thru` for a plain value: on success the input
    // moves past the match and *start receives where it began.
    bool find_value(const Cell& v, i32* start);

    // --- Captures and edits (parse_capture.cpp) -----------------------------
    State start_copy_set(Keyword k);
    State start_remove();
    State run_insert();
    State start_change();
    State start_collect();
    State start_keep();
    // Resolves a frame of kind -4, -5, -9, -12, -13, -14, -17 or -18.
    void resolve_capture(i32 frame, i32 k);
    // The value of an insert or change: a paren's result, a word's value, or
    // the cell itself.
    Cell edit_value(i32 at, const Cell& keyword);
    // A word (or get-word) whose value is a position in the input series.
    bool mark_q(const Cell& c, Cell* mark) const;
    void keep_value(const Cell& v, bool only);
    void keep_matched(i32 start, bool pick);
    Cell* collect_target();
    void check_target(const Cell& target) const;
    void resolve_collect(i32 frame);
};

// Runs a modifying action or other code with the input stack's index at its
// tail, so that a parse its handlers start stacks above the live cells.
class InputAside {
public:
    InputAside();
    ~InputAside();
    InputAside(const InputAside&) = delete;
    InputAside& operator=(const InputAside&) = delete;

private:
    u32 saved_;
};

// Checks both work stacks against stack_limit (before every push).
void check_limits();

// Spends n of the step budget (nothing without one); raises
// internal/limit-hit once it is used up.
void spend_slow(i64 n);
inline void spend(i64 n) {
    if (step_budget >= 0) [[unlikely]] spend_slow(n);
}

}  // namespace oru::parse
