// Mold cycle tracking, indentation of molded blocks, and a pattern fill.
//
// Forming, molding, comparing and copying nested series and objects push the
// node of every series or context they descend into on one 1000-entry cycle
// stack, test it before descending and pop it on the way back, so a value
// that contains itself is written as a marker instead of looping forever.
// A value's identity on the stack is its node: word 1 (the context) for an
// object!, word 2 for series values. Code that pushes should hold a
// cycles::Guard, so that an error raised while the entry is on the stack
// still pops it.
#pragma once

#include "runtime/cell.h"

#include <cstddef>

namespace oru::cycles {

constexpr i32 capacity = 1000;

// Stores the node on top. When the stack becomes full (the 1000th entry) it
// is emptied and internal/too-deep is raised.
void push(Node node);
// Removes the top entry; nothing when the stack is empty.
void pop();
// Removes n entries (at most those on the stack).
void drop(i32 n);
// Empties the stack.
void reset();
// True when the node is on the stack.
bool find(Node node);
// Entries on the stack.
i32 depth();
// Replaces every entry through the collector's node remap map: `lookup`
// returns the new node for an old one, or 0 when the node did not move.
void remap(Node (*lookup)(Node old_node));

// The node that identifies a value on the stack: word 1 of an object!, word 2
// of anything else.
inline Node identity(const Cell& value) { return cell::type_of(value) == type::object ? value.data1 : value.data2; }

// When the value's node is on the stack, appends its marker ("[...]", "(...)",
// "#[...]", "make object! [...]" when molding; "..." for the path family and
// whenever forming) to the buffer string, lowers the budget by the marker's
// length and answers true. Answers false otherwise, and for types without a
// marker.
bool mold_marker(const Cell& value, const Cell& buffer, i32& budget, bool mold);

// Pushes the node for the guard's lifetime; pops it when the guard ends,
// error unwinding included.
class Guard {
public:
    explicit Guard(Node node) { push(node); }
    ~Guard() { pop(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
};

}  // namespace oru::cycles

namespace oru {

// Appends four spaces per level to the buffer string; returns budget - 4 x level.
i32 mold_indent(const Cell& buffer, i32 level, i32 budget);

// Fills count units of unit_size bytes at address from its first unit: the
// copied run doubles at each step, then the remainder is copied.
void fill(void* address, size_t unit_size, size_t count);

}  // namespace oru
