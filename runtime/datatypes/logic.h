// logic!: true and false, and the truth rules every conditional uses.
//
// Header type 4, payload word 1 is 0 (false) or 1 (true). Truth: none and
// false are falsy; every other value, unset included, is truthy. The strict
// test of either, case, while and until raises script/no-return on unset. The
// action table is at the bottom of logic.cpp.
#pragma once

#include "runtime/cell.h"

namespace oru::logic {

// The shared constants: code that needs a logic value copies one of them.
inline constexpr Cell true_value{type::logic, 1, 0, 0};
inline constexpr Cell false_value{type::logic, 0, 0, 0};

inline Cell make(bool b) { return b ? true_value : false_value; }
// The payload of a logic! cell.
inline bool get(const Cell& v) { return v.data1 != 0; }

// The truth of any value: false only for none and false.
inline bool truth(const Cell& v) {
    const u32 t = cell::type_of(v);
    if (t == type::none) return false;
    return t != type::logic || v.data1 != 0;
}

// The strict truth of either, case, while and until: an unset value raises
// script/no-return ("block did not return a value").
bool truth_strict(const Cell& v);

// Turns the result slot into a logic! and returns it.
Cell* box(bool b);
// Pushes a logic! cell.
Cell* push(bool b);
// Appends a logic! cell to a block.
void make_in(const Cell& block, bool b);

// Tests on the data stack:
// true when the result slot holds none or false.
bool false_q();
// The strict test of the result slot.
bool true_top_q();
// The value's truth; with check set, an unset value raises script/no-value
// naming `word`.
bool true_value_q(const Cell& value, bool check, const Cell& word);
// The truth of the most recent value: the last pushed cell when something
// was pushed above the argument base, else the result slot.
bool last_true_q();

// Registers logic! (no parent).
void init();

}  // namespace oru::logic
